"""Hostile callers: keys and properties that run code, patched module
functions, subclasses, signals, and the lifetime of modules and functions."""

import gc
import io
import pickle
import signal
import subprocess
import sys
import textwrap
import weakref
from unittest import mock

import pytest
from conftest import solid_png
from PIL import Image

from kavira import aspectra, framekit, lumen, resize, tessel
from kavira.aspectra import ImageAspectra
from kavira.framekit import Framekit
from kavira.lumen import LumenImageScale
from kavira.resize import image_resize
from kavira.tessel import TesselSizeCalculator


def test_preset_key_that_rebinds_the_preset_keeps_the_old_value_alive():
    class T(TesselSizeCalculator):
        pass

    class Evil:
        def __hash__(self):
            return hash("8k")

        def __eq__(self, other):
            T.RESOLUTION_PRESET = {"2k": 6553600}
            gc.collect()
            return False

    T.RESOLUTION_PRESET = {Evil(): 1, "2k": int("1572516")}
    assert T.calc_size("1:1", "8k")["size"] == "1254x1254"


def test_preset_key_whose_eq_raises_propagates():
    class Boom(Exception):
        pass

    class Evil:
        def __hash__(self):
            return hash("8k")

        def __eq__(self, other):
            raise Boom

    class T(TesselSizeCalculator):
        RESOLUTION_PRESET = {Evil(): 1, "2k": 6553600}

    with pytest.raises(Boom):
        T.calc_size("1:1", "8k")


@pytest.mark.parametrize("name", ["sqrt", "floor"])
def test_patched_math_functions_take_effect(name):
    import math

    real = getattr(math, name)
    calls = []

    def spy(x):
        calls.append(x)
        return real(x)

    with mock.patch(f"math.{name}", spy):
        # A negative pair never validates, so floor_to_multiple runs too.
        TesselSizeCalculator.calc_size("-10:-1", "2k")
        TesselSizeCalculator.floor_to_multiple(7)
    assert calls


def test_patched_re_match_takes_effect():
    with mock.patch("re.match", return_value=None):
        with pytest.raises(ValueError, match="比例格式错误"):
            Framekit._parse_ratio("16:9")
    assert Framekit._parse_ratio("16:9") == (16, 9)


@pytest.mark.parametrize("kind", ["module __getattr__", "module subclass", "missing"])
def test_module_attributes_through_the_full_protocol(monkeypatch, kind):
    import re
    import types

    import kavira.framekit as framekit_module

    seen = []
    if kind == "module subclass":
        class Loud(types.ModuleType):
            def __getattribute__(self, name):
                seen.append(name)
                return getattr(re, name)
        stand_in = Loud("re")
    else:
        stand_in = types.ModuleType("re")
        if kind == "module __getattr__":
            def module_getattr(name):
                seen.append(name)
                return getattr(re, name)
            stand_in.__getattr__ = module_getattr
    monkeypatch.setattr(framekit_module, "re", stand_in)
    if kind == "missing":
        with pytest.raises(AttributeError, match="module 're' has no attribute 'match'"):
            Framekit._parse_ratio("16:9")
    else:
        assert Framekit._parse_ratio("16:9") == (16, 9)
        assert "match" in seen


def test_is_valid_image_size_returns_a_bool():
    class Limit(int):
        def __ge__(self, other):
            return 1

    class T(TesselSizeCalculator):
        MAX_EDGE = Limit(3840)

    assert T.is_valid_image_size(3840, 2160) is True
    assert TesselSizeCalculator.is_valid_image_size(3841, 2160) is False


class Log:
    """An object whose attribute reads are logged, delegating to `inner`."""

    def __init__(self, inner, events, name):
        object.__setattr__(self, "_inner", (inner, events, name))

    def __getattr__(self, attribute):
        inner, events, name = object.__getattribute__(self, "_inner")
        events.append(f"{name}.{attribute}")
        return getattr(inner, attribute)


def test_lumen_reads_width_before_height():
    events = []
    LumenImageScale(Log(Image.new("RGB", (40, 30)), events, "image")).start()
    assert events == ["image.width", "image.height", "image.resize"]


def test_resize_divides_by_the_width_first():
    class Fake:
        size = (0, "x")

    with pytest.raises(ZeroDivisionError):
        image_resize(Fake(), 10, 10)


def test_framekit_looks_methods_up_before_their_arguments(monkeypatch):
    events = []

    class Spied(Framekit):
        @property
        def fill_color(self):
            events.append("self.fill_color")
            return (0, 0, 0, 0)

        @fill_color.setter
        def fill_color(self, value):
            pass

    monkeypatch.setattr(framekit, "Image", Log(Image, events, "Image"))
    Spied().adjust_size(solid_png(30, 20))
    assert events.index("Image.new") < events.index("self.fill_color")


@pytest.mark.parametrize("limit", [0, -1, -2**63 - 1, -10**30])
def test_limit_at_or_below_zero_gives_the_unreduced_size(limit):
    assert ImageAspectra(limit).get_approx_simple_ratio(solid_png(48, 27)) == "48:27"


@pytest.mark.parametrize("value", [3.9, True, 7])
def test_int_parameters_convert_what_int_converts(value):
    assert ImageAspectra(value).approx_search_range == int(value)


def test_int_parameters_refuse_float_only_objects_at_entry():
    class OnlyFloat:
        def __float__(self):
            return 3.0

    with pytest.raises(TypeError, match=r"Argument 'approx_search_range' has incorrect type \(expected int, got OnlyFloat\)"):
        ImageAspectra(OnlyFloat())


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_a_long_search_is_interrupted_by_a_signal():
    class Alarm(Exception):
        pass

    def ring(signum, frame):
        raise Alarm

    import threading
    import time

    # Another thread keeps running while the search holds no GIL.
    ticks = [0]
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    previous = signal.signal(signal.SIGALRM, ring)
    counter.start()
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        start = time.perf_counter()
        with pytest.raises(Alarm):
            # The largest native range: seconds of search even a few rows per column.
            ImageAspectra(2**31 - 1).get_approx_simple_ratio(solid_png(16, 9))
        assert time.perf_counter() - start < 1.5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        done.set()
        counter.join()
    assert ticks[0] >= 20


def test_modules_are_freed_after_removal(tmp_path):
    code = textwrap.dedent("""
        import gc, sys, weakref
        names = ["kavira.framekit", "kavira.aspectra", "kavira.tessel", "kavira.lumen",
                 "kavira.resize", "kavira.wordgate", "kavira._wordvault"]
        for _ in range(3):
            refs = []
            for name in names:
                __import__(name)
                refs.append(weakref.ref(sys.modules.pop(name)))
            import kavira
            for name in names:
                vars(kavira).pop(name.rsplit(".", 1)[1], None)
            gc.collect()
            alive = [r() for r in refs if r() is not None]
            assert not alive, alive
        print("freed")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert result.stdout.strip() == "freed", result.stderr


def test_function_type_refcount_stays_flat(tmp_path, monkeypatch):
    import pickle as real_pickle
    import types

    from kavira import wordgate

    path = tmp_path / "words.pkl"
    path.write_bytes(real_pickle.dumps(["a"]))
    # A replaced pickle module makes a fresh function for each unpickler.
    monkeypatch.setattr(wordgate, "pickle", types.SimpleNamespace(**vars(real_pickle)))
    function_type = type(wordgate._xor)
    wordgate.PromptBanChecker._load_from_file(str(path))
    gc.collect()
    before = sys.getrefcount(function_type)
    for _ in range(1000):
        wordgate.PromptBanChecker._load_from_file(str(path))
    gc.collect()
    assert sys.getrefcount(function_type) - before < 5


@pytest.mark.parametrize("function", [image_resize, Framekit.adjust_size, ImageAspectra._gcd,
                                      TesselSizeCalculator.__init__])
def test_functions_are_weakly_referenced_pickled_and_copied_like_python_functions(function):
    import copy

    assert weakref.ref(function)() is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function


def test_bound_methods_survive_weak_method_and_pickle():
    scaler = ImageAspectra(7)
    method = weakref.WeakMethod(scaler.get_raw_simple_ratio)
    assert method() == scaler.get_raw_simple_ratio
    assert pickle.loads(pickle.dumps(TesselSizeCalculator.calc_size))("16:9")["size"] == "3414x1920"


@pytest.mark.parametrize("rebound", [None, ()], ids=["None", "empty"])
def test_signature_reads_the_defaults_once(rebound):
    function = TesselSizeCalculator.__dict__["calc_size"].__func__
    defaults, annotations = function.__defaults__, function.__annotations__

    class Key:
        def __hash__(self):
            return hash("cls")

        def __eq__(self, other):
            function.__defaults__ = rebound
            return False

    function.__annotations__ = {Key(): int}
    try:
        signature = function.__signature__
    finally:
        function.__defaults__, function.__annotations__ = defaults, annotations
    assert [p.default for p in signature.parameters.values()][1:] == list(defaults)
