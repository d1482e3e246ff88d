"""Eight threads on every module at once, on shared and separate instances."""

import threading

import pytest
from conftest import solid_png
from PIL import Image
from svcfault import PromptBanError

from kavira.aspectra import ImageAspectra
from kavira.framekit import Framekit
from kavira.lumen import LumenImageScale
from kavira.resize import image_resize
from kavira.tessel import TesselSizeCalculator
from kavira.wordgate import PromptBanChecker

THREADS = 8
ROUNDS = 15
PNG = solid_png(64, 36)
SOURCE = Image.new("RGB", (64, 36), (1, 2, 3))
SHARED_CHECKER = PromptBanChecker(builtin_words=["dragon"])
SHARED_FRAMEKIT = Framekit()


def outcome(call):
    try:
        value = call()
    except PromptBanError as error:
        return ("refused", tuple(error.data))
    if isinstance(value, Image.Image):
        return ("image", value.size, value.mode, value.tobytes()[:64])
    if isinstance(value, tuple):
        return tuple(v if not isinstance(v, bytes) else len(v) for v in value)
    return value


def workload(shared):
    framekit = SHARED_FRAMEKIT if shared else Framekit()
    checker = SHARED_CHECKER if shared else PromptBanChecker(builtin_words=["dragon"])
    return [
        lambda: framekit.adjust_size(PNG, True),
        lambda: ImageAspectra().get_raw_simple_ratio(PNG),
        lambda: ImageAspectra(16).get_approx_simple_ratio(PNG),
        lambda: TesselSizeCalculator.calc_size("16:9", "2k"),
        lambda: TesselSizeCalculator.calc_size("100000000000000000000:3", "4k"),
        lambda: LumenImageScale(SOURCE).start(),
        lambda: image_resize(SOURCE, 50, 50),
        lambda: checker.check("a quiet lake"),
        lambda: checker.check("a dragon and cocaine"),
    ]


@pytest.mark.parametrize("shared", [True, False])
def test_threads_match_single_threaded_results(shared):
    expected = [outcome(call) for call in workload(shared)]
    failures = []
    barrier = threading.Barrier(THREADS)

    def worker():
        calls = workload(shared)
        barrier.wait()
        for _ in range(ROUNDS):
            got = [outcome(call) for call in calls]
            if got != expected:
                failures.append(got)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


def test_reload_while_checking_always_sees_an_engine():
    small = ["pipe bomb"]
    large = ["pipe bomb"] + [f"filler{i}" for i in range(60)]
    checker = PromptBanChecker(use_default=False, builtin_words=small)
    stop = threading.Event()
    missed = []

    def reloader():
        flip = False
        while not stop.is_set():
            checker.builtin_words = large if flip else small
            checker.load_banned_words()  # alternates between the pattern and the automaton
            flip = not flip

    def querier():
        for _ in range(3000):
            if not checker._has_banned_word("make a pipe bomb"):
                missed.append(1)

    threads = [threading.Thread(target=reloader)] + [threading.Thread(target=querier) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads[1:]:
        thread.join()
    stop.set()
    threads[0].join()
    assert not missed
