import inspect
import io
import json
import math
import os
import random
import subprocess
import sys
import threading
import time

import pytest
from conftest import solid_png
from hypothesis import given, settings
from hypothesis import strategies as st
from PIL import Image

from kavira import aspectra
from kavira.aspectra import ImageAspectra


@pytest.mark.parametrize(
    "size, raw, approx10, approx16",
    [((1920, 1080), "16:9", "9:5", "16:9"), ((1080, 1920), "9:16", "5:9", "9:16"),
     ((2560, 1080), "64:27", "7:3", "12:5"), ((1366, 768), "683:384", "9:5", "16:9"),
     ((800, 600), "4:3", "4:3", "4:3"), ((1024, 1024), "1:1", "1:1", "1:1")],
)
def test_ratio_table(size, raw, approx10, approx16):
    data = solid_png(*size)
    assert ImageAspectra().get_raw_simple_ratio(data) == raw
    assert ImageAspectra().get_approx_simple_ratio(data) == approx10
    assert ImageAspectra(16).get_approx_simple_ratio(data) == approx16


@pytest.mark.parametrize("limit, expected", [(1, "1:1"), (0, "1920:1080"), (-5, "1920:1080")])
def test_search_range_edges(limit, expected):
    assert ImageAspectra(limit).get_approx_simple_ratio(solid_png(1920, 1080)) == expected


def test_tie_goes_to_the_first_pair_and_range_is_read_per_call():
    a = ImageAspectra(2)
    assert a.get_approx_simple_ratio(solid_png(3, 4)) == "1:1"
    a.approx_search_range = 16
    assert a.get_approx_simple_ratio(solid_png(1920, 1080)) == "16:9"


def test_non_integer_range_raises():
    a = ImageAspectra()
    a.approx_search_range = 2.5
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        a.get_approx_simple_ratio(solid_png(2, 2))


@pytest.mark.parametrize("a, b, expected", [(0, 0, 0), (12, 0, 12), (0, 5, 5), (-4, 6, 2), (4, -6, -2),
                                            (2**70, 2**68 * 3, 2**68), (-(2**63), 6, 2)])
def test_gcd(a, b, expected):
    assert ImageAspectra._gcd(a, b) == expected == ImageAspectra()._gcd(a, b)


def test_constructor_conversion_and_types():
    assert ImageAspectra(3.9).approx_search_range == 3
    with pytest.raises(TypeError, match="expected int, got str"):
        ImageAspectra("10")
    for bad in (bytearray(b"x"), None, memoryview(b"x")):
        with pytest.raises(TypeError, match="Argument 'image_bytes' has incorrect type"):
            ImageAspectra().get_raw_simple_ratio(bad)
    with pytest.raises(Image.UnidentifiedImageError):
        ImageAspectra().get_approx_simple_ratio(b"not an image")


def test_gcd_is_called_through_the_instance():
    a = ImageAspectra()
    a._gcd = lambda w, h: 1
    assert a.get_raw_simple_ratio(solid_png(20, 10)) == "20:10"


def test_zero_sizes():
    class Sized:
        def __init__(self, size):
            self.size = size

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

    class FakeImage:
        size = None

        @staticmethod
        def open(stream):
            return Sized(FakeImage.size)

    original = aspectra.Image
    aspectra.Image = FakeImage
    try:
        FakeImage.size = (5, 0)
        assert ImageAspectra().get_raw_simple_ratio(b"") == "1:0"
        with pytest.raises(ZeroDivisionError):
            ImageAspectra().get_approx_simple_ratio(b"")
        FakeImage.size = (0, 0)
        with pytest.raises(ZeroDivisionError):
            ImageAspectra().get_raw_simple_ratio(b"")
    finally:
        aspectra.Image = original


def test_context_managers_exit_inner_first_on_failure(monkeypatch):
    events = []

    class Stream(io.BytesIO):
        def __exit__(self, *exc):
            events.append(("stream", exc[0]))
            return super().__exit__(*exc)

    class Opened:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            events.append(("image", exc[0]))

        @property
        def size(self):
            raise RuntimeError("size")

    class FakeImage:
        @staticmethod
        def open(stream):
            return Opened()

    monkeypatch.setattr(aspectra, "BytesIO", Stream)
    monkeypatch.setattr(aspectra, "Image", FakeImage)
    with pytest.raises(RuntimeError, match="size"):
        ImageAspectra().get_raw_simple_ratio(b"x")
    assert events == [("image", RuntimeError), ("stream", RuntimeError)]


def test_only_the_size_is_read(monkeypatch):
    from PIL import ImageFile

    def refuse(self):
        raise AssertionError("pixels loaded")

    data = solid_png(30, 20)
    monkeypatch.setattr(ImageFile.ImageFile, "load", refuse)
    assert ImageAspectra().get_raw_simple_ratio(data) == "3:2"
    assert ImageAspectra().get_approx_simple_ratio(data) == "3:2"


def test_docstrings_and_metadata():
    assert ImageAspectra._gcd.__doc__ == "计算最大公约数"
    assert ImageAspectra.get_raw_simple_ratio.__doc__.splitlines()[-2] == '            最简比例字符串，如 "16:9"'
    assert inspect.cleandoc(ImageAspectra.__doc__).splitlines()[0] == "图片比例分析工具。"
    assert ImageAspectra.__init__.__defaults__ == (10,)
    assert ImageAspectra._gcd.__annotations__ == {"a": "int", "b": "int", "return": "int"}


def test_long_search_lets_other_threads_run():
    a = ImageAspectra(50_000_000)  # a tenth of a second or more
    data = solid_png(1366, 768)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        start = time.perf_counter()
        ratio = a.get_approx_simple_ratio(data)
        elapsed = time.perf_counter() - start
    finally:
        done.set()
        thread.join()
    assert ratio == "683:384"
    # The ticker ran during the search, not only after it.
    assert elapsed < 0.02 or len(ticks) > 3


# ---------------------------------------------------------------------------
# The search against the plain loop that visits every pair

def every_pair(width, height, limit):
    """The search as the plain loop makes it (bench/plain/aspectra.py), which
    the package checks cannot import: every pair, the first strict minimum."""
    target = width / height
    min_error = float("inf")
    best_w, best_h = width, height
    for i in range(1, limit + 1):
        for j in range(1, limit + 1):
            error = abs(i / j - target)
            if error < min_error:
                min_error = error
                best_w, best_h = i, j
    return f"{best_w}:{best_h}"


class SizeOnly:
    """Stands in for PIL.Image: every image opened has the size `current`."""

    current = None

    def __init__(self):
        self.size = SizeOnly.current

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    @staticmethod
    def open(stream):
        return SizeOnly()


@pytest.fixture
def sized(monkeypatch):
    monkeypatch.setattr(aspectra, "Image", SizeOnly)

    def search(width, height, limit):
        SizeOnly.current = (width, height)
        return ImageAspectra(limit).get_approx_simple_ratio(b"")
    return search


def midpoints(limit, count, rng):
    """Sizes whose ratio lies halfway between two fractions of the range: ties but for rounding."""
    out = []
    for _ in range(count):
        p, q, r, s = (rng.randint(1, limit) for _ in range(4))
        out.append((p * s + r * q, 2 * q * s))
    return out


def near(limit, count, rng):
    """Sizes a hair either side of a fraction of the range, or on it."""
    return [(p * 10**12 + d, q * 10**12) for p, q, d in
            ((rng.randint(1, limit), rng.randint(1, limit), rng.choice((-1, 0, 1))) for _ in range(count))]


def adjacent(limit, count, rng):
    """Ratios one double either side of a fraction of the range, or on it: target * h rounds to an integer."""
    return [(math.nextafter(p / q, direction), 1.0) for p, q, direction in
            ((rng.randint(1, limit), rng.randint(1, limit), rng.choice((-math.inf, 0, math.inf)))
             for _ in range(count))]


EXTREMES = [(1, 1), (2, 1), (1, 2), (16, 9), (3, 2), (1366, 768), (0, 5), (-5, 3), (10**6, 1), (1, 10**6),
            (10**30, 1), (1, 10**30), (1, 10**320), (2**50 + 7, 3), (2**60, 7), (1.5, 1.0),
            (math.nan, 1.0), (math.inf, 1.0), (-math.inf, 1.0)]
# Below three (a window shorter than its three rows), at three, and beyond.
LIMITS = [1, 2, 3, 4, 5, 6, 7, 9, 10, 13, 16, 17, 31, 64, 101]


@pytest.mark.parametrize("limit", LIMITS)
@pytest.mark.parametrize("kind", ["images", "midpoints", "near", "adjacent", "extremes"])
def test_search_matches_the_plain_loop(sized, kind, limit):
    rng = random.Random(f"{kind}{limit}")
    sizes = {"images": lambda: [(rng.randint(1, 4000), rng.randint(1, 4000)) for _ in range(40)],
             "midpoints": lambda: midpoints(limit, 40, rng), "near": lambda: near(limit, 40, rng),
             "adjacent": lambda: adjacent(limit, 40, rng), "extremes": lambda: EXTREMES}[kind]()
    for width, height in sizes:
        assert sized(width, height, limit) == every_pair(width, height, limit), (width, height)


@pytest.mark.parametrize("width, height, limit", [(2**50 + 7, 3, 300), (2**47 + 1, 1, 257), (3, 2**45 + 1, 200),
                                                  (1366, 768, 400)])
def test_longer_ranges_match_the_plain_loop(sized, width, height, limit):
    # In the first three, many rows of a column round to one distance, so
    # windows widen, some of them far.
    assert sized(width, height, limit) == every_pair(width, height, limit)


# No other pair comes within rounding of these ratios, and their columns lie
# past the first chunk of the search, or their rows far up one column. The
# sizes are twice the pair, so that an unreduced answer is told apart.
EXACT_IN_REACH = [(1_400_002, 1_000_000, 1_000_000, "700001:500000"), (6, 2**21 + 2, 2**21, "3:1048577"),
                  (2**21 + 2, 6, 2**21, "1048577:3")]


@pytest.mark.parametrize("width, height, limit, expected", EXACT_IN_REACH)
def test_an_exact_ratio_in_reach_wins_wherever_it_lies(sized, width, height, limit, expected):
    assert sized(width, height, limit) == expected


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 10**7), st.integers(1, 10**7), st.integers(1, 40))
def test_any_size_matches_the_plain_loop(width, height, limit):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(aspectra, "Image", SizeOnly)
        SizeOnly.current = (width, height)
        assert ImageAspectra(limit).get_approx_simple_ratio(b"") == every_pair(width, height, limit)


# The object loop (a limit beyond native range) under a timer signal and a
# ticking thread, in a child process so that a search that ignores both
# fails the test instead of hanging the suite.
OBJECT_LOOP_SCRIPT = """
import signal, sys, threading, time
from kavira import aspectra

class SizeOnly:
    size = (1366, 768)
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return False

class Alarm(Exception):
    pass

def ring(signum, frame):
    raise Alarm

aspectra.Image = type("Image", (), {"open": staticmethod(lambda stream: SizeOnly())})
ticks = []
done = threading.Event()

def tick():
    while not done.is_set():
        ticks.append(1)
        time.sleep(0.001)

thread = threading.Thread(target=tick)
thread.start()
signal.signal(signal.SIGALRM, ring)
signal.setitimer(signal.ITIMER_REAL, 0.3)
start = time.perf_counter()
try:
    aspectra.ImageAspectra(int(sys.argv[1])).get_approx_simple_ratio(b"")
    print("finished")
except Alarm:
    print("interrupted", time.perf_counter() - start, len(ticks))
finally:
    done.set()
    thread.join()
"""


@pytest.mark.parametrize("limit", [2**40, 2**31])
def test_object_loop_search_is_interruptible(limit):
    done = subprocess.run([sys.executable, "-c", OBJECT_LOOP_SCRIPT, str(limit)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    word, elapsed, ticks = done.stdout.split()
    assert word == "interrupted"
    assert float(elapsed) < 1.5
    # The ticker ran while the search held the interpreter.
    assert int(ticks) > 10
