"""The native modules against their plain-Python rendering, event by event.

Each scenario runs once per side with fresh spies; the event log of the
spies, followed by the outcome, must be identical.
"""

import difflib
import importlib
import io
import math
import pickle
import re
import sys
from contextlib import ExitStack
from pathlib import Path
from types import SimpleNamespace
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

import plain.aspectra  # noqa: E402
import plain.framekit  # noqa: E402
import plain.lumen  # noqa: E402
import plain.resize  # noqa: E402
import plain.tessel  # noqa: E402
import plain.wordgate  # noqa: E402
from kavira import aspectra, framekit, lumen, resize, tessel, wordgate  # noqa: E402
from spies import Call, Limit, Proxy, Recorder, Thing, logged_str, number_type, watched  # noqa: E402

MODULES = ("framekit", "aspectra", "tessel", "lumen", "resize", "wordgate")
NATIVE = {name: globals()[name] for name in MODULES}
PLAIN = {name: getattr(plain, name) for name in MODULES}
FEW = settings(max_examples=40, deadline=None)


class Side(SimpleNamespace):
    def fake(self, module, *names, keep=()):
        """Replace module globals by logging stand-ins of what they are now."""
        for name in names:
            self.patch(module, name, self.rec.wrap(getattr(module, name), name, keep))

    def patch(self, target, name, value):
        self.stack.enter_context(mock.patch.object(target, name, value))

    def spy(self, module, name):
        self.patch(module, name, Call(getattr(module, name), self.rec, name))


def differential(scenario):
    logs = {}
    for side_name, modules in (("native", NATIVE), ("plain", PLAIN)):
        with ExitStack() as stack:
            side = Side(name=side_name, rec=Recorder(), stack=stack, **modules)
            try:
                outcome = ("result", type(result := scenario(side)).__name__, side.rec.describe(result))
            except (NameError, SyntaxError):
                raise
            except Exception as error:
                message = re.sub(" at 0x[0-9a-f]+", "", str(error))
                outcome = ("raise", type(error).__name__, message, side.rec.describe(getattr(error, "data", None)))
        logs[side_name] = side.rec.events + [outcome]
    if logs["native"] != logs["plain"]:
        diff = difflib.unified_diff([repr(e) for e in logs["plain"]], [repr(e) for e in logs["native"]],
                                    "plain", "native", lineterm="", n=2)
        raise AssertionError("event logs differ:\n" + "\n".join(diff))
    return logs["native"][-1]


def png(width, height, mode="RGB"):
    buffer = io.BytesIO()
    Image.new(mode, (width, height), "teal").save(buffer, "PNG")
    return buffer.getvalue()


PNG = png(64, 36)


def pixels(data):
    image = Image.open(io.BytesIO(data))
    return image.mode, image.size, image.tobytes()

# ---------------------------------------------------------------------------
# Arguments checked on entry

INT_LIKE = {
    "index": ("__index__",), "int": ("__int__",), "int+index": ("__int__", "__index__"),
    "float-only": ("__float__",), "bool-only": ("__bool__",),
}
INT_ENTRIES = {
    "ImageAspectra": lambda m, x: m.aspectra.ImageAspectra(x).approx_search_range,
    "_gcd": lambda m, x: m.aspectra.ImageAspectra._gcd(x, 6),
    "_get_closest_standard_ratio": lambda m, x: m.framekit.Framekit()._get_closest_standard_ratio(x, 700),
    "is_valid_image_size": lambda m, x: m.tessel.TesselSizeCalculator.is_valid_image_size(x, 1280),
    "image_resize": lambda m, x: m.resize.image_resize(Image.new("RGB", (8, 8)), x, 16).size,
    # The encoders may differ in bytes, never in pixels.
    "adjust_size expand_percent": lambda m, x: pixels(m.framekit.Framekit().adjust_size(PNG, expand_percent=x)),
}


@pytest.mark.parametrize("entry", INT_ENTRIES)
@pytest.mark.parametrize("kind", [*INT_LIKE, "float", "str", "True", "float-subclass"])
def test_number_arguments(entry, kind):
    def scenario(side):
        if kind in INT_LIKE:
            value = number_type(*INT_LIKE[kind])(3840, side.rec)
        elif kind == "float-subclass":
            value = number_type("__float__", "__int__", base=float)(3840.5, side.rec)
        else:
            value = {"float": 3840.9, "str": "3840", "True": True}[kind]
        return INT_ENTRIES[entry](side, value)
    differential(scenario)


StrSub = type("StrSub", (str,), {})
BytesSub = type("BytesSub", (bytes,), {})
ListSub = type("ListSub", (list,), {})
EXACT_ENTRIES = {
    "Framekit proportion": lambda m, v: m.framekit.Framekit(proportion=v).proportion,
    "Framekit need_adjust": lambda m, v: m.framekit.Framekit(need_adjust=v).need_adjust,
    "_parse_ratio": lambda m, v: m.framekit.Framekit._parse_ratio(v),
    "adjust_size": lambda m, v: m.framekit.Framekit().adjust_size(v),
    "get_raw_simple_ratio": lambda m, v: m.aspectra.ImageAspectra().get_raw_simple_ratio(v),
    "get_approx_simple_ratio": lambda m, v: m.aspectra.ImageAspectra().get_approx_simple_ratio(v),
    "calc_size aspect_ratio": lambda m, v: m.tessel.TesselSizeCalculator.calc_size(v),
    "calc_size resolution": lambda m, v: m.tessel.TesselSizeCalculator.calc_size("1:1", v),
    "_xor data": lambda m, v: m.wordgate._xor(v, b"k"),
    "_xor key": lambda m, v: m.wordgate._xor(b"data", v),
    "ban_word_file": lambda m, v: m.wordgate.PromptBanChecker(v, use_default=False).banned_words,
    "builtin_words": lambda m, v: m.wordgate.PromptBanChecker(builtin_words=v, use_default=False).banned_words,
    "exclude_words": lambda m, v: m.wordgate.PromptBanChecker(exclude_words=v, use_default=False).banned_words,
    "_load_from_file": lambda m, v: m.wordgate.PromptBanChecker._load_from_file(v),
    "create_pickle_file words": lambda m, v: m.wordgate.PromptBanChecker.create_pickle_file(v, "/nonexistent/x"),
    "create_pickle_file output_path": lambda m, v: m.wordgate.PromptBanChecker.create_pickle_file([], v),
    "check": lambda m, v: m.wordgate.PromptBanChecker(use_default=False, builtin_words=["a"]).check(v),
    "find_matched_words": lambda m, v: m.wordgate.PromptBanChecker(use_default=False).find_matched_words(v),
    "_has_banned_word": lambda m, v: m.wordgate.PromptBanChecker(use_default=False)._has_banned_word(v),
}


@pytest.mark.parametrize("entry", EXACT_ENTRIES)
@pytest.mark.parametrize("value", [StrSub("1:1"), BytesSub(PNG), bytearray(PNG), ListSub(["a"]), ("a",), None, 3],
                         ids=["str-subclass", "bytes-subclass", "bytearray", "list-subclass", "tuple", "None", "int"])
def test_exact_type_arguments(entry, value):
    differential(lambda side: EXACT_ENTRIES[entry](side, value))


BOOL_ENTRIES = {
    "strict": lambda m, b: m.tessel.TesselSizeCalculator.calc_size("5:1", "2k", b),
    "return_origin_ratio": lambda m, b: m.framekit.Framekit("3:4").adjust_size(PNG, b),
    "ignore_case": lambda m, b: m.wordgate.PromptBanChecker(ignore_case=b, use_default=False).ignore_case,
    "use_default": lambda m, b: m.wordgate.PromptBanChecker(use_default=b).use_default,
}


@pytest.mark.parametrize("entry", BOOL_ENTRIES)
@pytest.mark.parametrize("truth", [0, 1, None])
def test_bool_arguments(entry, truth):
    class Flag:
        def __init__(self, rec):
            self.rec = rec

        def __bool__(self):
            self.rec.log("bool", "flag")
            if truth is None:
                raise RuntimeError("no truth")
            return bool(truth)
    differential(lambda side: BOOL_ENTRIES[entry](side, Flag(side.rec)))


# ---------------------------------------------------------------------------
# framekit

@pytest.mark.parametrize("proportion, mode, size", [
    (None, "fill", (60, 80)), (None, "resize", (80, 60)), (None, "fill", (50, 50)), ("3:4", "fill", (64, 36)),
    ("16:9", "fill", (64, 36)), (None, "stretch", (64, 36)), ("3:4", "stretch", (64, 36)),
])
@pytest.mark.parametrize("percent", [10, -10])
def test_adjust_size_events(proportion, mode, size, percent):
    data = png(*size, mode="RGBA")

    def scenario(side):
        side.fake(side.framekit, "Image", "BytesIO")
        kit = side.framekit.Framekit(proportion, mode, (0, 0, 0, 255))
        kit.__class__ = watched(side.framekit.Framekit, side.rec)
        return kit.adjust_size(data, True, percent)
    differential(scenario)


@pytest.mark.parametrize("proportion", [None, " 3:4 ", " \u3000", "3:4"])
def test_framekit_constructor_events(proportion):
    def scenario(side):
        side.fake(side.framekit, "re")
        kit = watched(side.framekit.Framekit, side.rec)(proportion, "fill", extra=1)
        return kit.proportion, kit.kwargs, kit._std_ratio_map
    differential(scenario)


@FEW
@given(st.text(alphabet="0123456789:３ x+", max_size=8))
def test_parse_ratio_through_replaced_re(text):
    def scenario(side):
        side.fake(side.framekit, "re")
        return side.framekit.Framekit._parse_ratio(text)
    differential(scenario)


def test_patched_re_match_is_used():
    def scenario(side):
        side.stack.enter_context(mock.patch("re.match", Call(re.match, side.rec, "re.match")))
        return side.framekit.Framekit()._std_ratio_map
    differential(scenario)


@FEW
@given(st.integers(1, 5000), st.integers(1, 5000), st.lists(st.sampled_from(["1:1", "16:9", "4:3", "0:1"]), max_size=3))
def test_closest_ratio_with_replaced_table(width, height, table):
    def scenario(side):
        kit = side.framekit.Framekit()
        kit.__class__ = watched(side.framekit.Framekit, side.rec)
        kit.STANDARD_RATIO_LIST = table
        return kit._get_closest_standard_ratio(number_type("__index__")(width, side.rec), height)
    differential(scenario)


# ---------------------------------------------------------------------------
# aspectra

@FEW
@given(st.integers(1, 3000), st.integers(1, 3000), st.integers(-2, 12))
def test_aspectra_events(width, height, limit):
    data = png(width, height)

    def scenario(side):
        side.fake(side.aspectra, "Image", "BytesIO")
        analyser = watched(side.aspectra.ImageAspectra, side.rec)(limit)
        return analyser.get_raw_simple_ratio(data), analyser.get_approx_simple_ratio(data)
    differential(scenario)


def test_aspectra_undecodable_bytes_close_the_stream():
    def scenario(side):
        side.fake(side.aspectra, "Image", "BytesIO")
        return side.aspectra.ImageAspectra().get_raw_simple_ratio(b"not an image")
    differential(scenario)


class Formatted(int):
    def __format__(self, format_spec):
        return f"<{int(self)}>"

    def __floordiv__(self, other):
        return Formatted(int(self) // other)


class SizedImage:
    def __init__(self, size):
        self.size = size

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


@pytest.mark.parametrize("limit", [0, 3])
@pytest.mark.parametrize("method", ["get_raw_simple_ratio", "get_approx_simple_ratio"])
def test_aspectra_formats_sizes_as_the_f_string_does(method, limit):
    def scenario(side):
        side.patch(side.aspectra, "Image", SimpleNamespace(open=lambda buf: SizedImage((Formatted(64), Formatted(36)))))
        return getattr(side.aspectra.ImageAspectra(limit), method)(PNG)
    differential(scenario)


@pytest.mark.parametrize("limit", [-1, 0, 3])
def test_approx_search_adds_one_to_the_limit_for_every_range(limit):
    def scenario(side):
        class Limit(int):
            def __add__(self, other):
                side.rec.log("add", int(self), other)
                return int(self) + other
        analyser = side.aspectra.ImageAspectra()
        analyser.approx_search_range = Limit(limit)
        return analyser.get_approx_simple_ratio(PNG)
    differential(scenario)


# ---------------------------------------------------------------------------
# tessel

WORDS = st.sampled_from(["1:1", "16:9", "9:16", "4:3", "21:9", "3:1", "5:1", "3:10", "auto", "", "-10:-1", "0:1",
                         "1:0", "16", "1:2:3", "a:b", " 16 : 9 ", "１６:９"])
TIERS = st.sampled_from(["1k", "2K", "4k", "8k", "", "ǅ"])


@FEW
@given(WORDS, TIERS, st.booleans())
def test_calc_size_through_replaced_math(word, tier, strict):
    def scenario(side):
        side.fake(side.tessel, "math", "ServiceError")
        return side.tessel.TesselSizeCalculator.calc_size(word, tier, strict)
    differential(scenario)


@pytest.mark.parametrize("answer", [None, int], ids=["bool", "int"])
@pytest.mark.parametrize("call", [
    lambda T: T.calc_size("16:9", "4k"), lambda T: T.calc_size("7:1", "1k"),
    lambda T: T.is_valid_image_size(3840, 1280), lambda T: T.is_valid_image_size(1022, 640),
    lambda T: T.round_to_multiple(7), lambda T: T.floor_to_multiple(1255.9),
], ids=["calc_size", "clamped", "valid", "invalid", "round", "floor"])
def test_tessel_limits_that_log(call, answer):
    def scenario(side):
        rec = side.rec
        limits = {name: Limit(getattr(side.tessel.TesselSizeCalculator, name), rec, name, answer)
                  for name in ("MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MAX_RATIO")}
        return call(type("Sub", (side.tessel.TesselSizeCalculator,), limits))
    differential(scenario)


def logging_class(base, rec):
    """A subclass of base whose every class-attribute read is logged, in order."""
    class Meta(type):
        def __getattribute__(cls, name):
            if not name.startswith("__"):
                rec.log("get", "cls", name)
            return type.__getattribute__(cls, name)
    return Meta("Logged", (base,), {})


@pytest.mark.parametrize("word, tier, strict", [
    ("16:9", "2k", False), ("4:3", "4k", False), ("21:9", "2k", False), ("5:1", "2k", False), ("5:1", "2k", True),
    ("3:10", "1k", False), ("-10:-1", "2k", False), ("auto", "8k", False), ("0:1", "2k", False),
])
def test_calc_size_class_reads_in_order(word, tier, strict):
    def scenario(side):
        return logging_class(side.tessel.TesselSizeCalculator, side.rec).calc_size(word, tier, strict)
    differential(scenario)


@pytest.mark.parametrize("value, multiple", [(5, None), (3, 2.0), (1255.9, 4), (-3, None), (7.5, 2.5)])
def test_multiple_alignment(value, multiple):
    def scenario(side):
        side.fake(side.tessel, "math")
        T = side.tessel.TesselSizeCalculator
        return T.round_to_multiple(value, multiple), T.floor_to_multiple(value, multiple)
    differential(scenario)


def preset_key(hash_of, on_eq):
    class Key:
        def __hash__(self):
            return hash(hash_of)

        def __eq__(self, other):
            return on_eq(other)
    return Key()


def test_preset_key_rebinding_the_preset_keeps_the_old_fallback():
    def scenario(side):
        T = type("T", (side.tessel.TesselSizeCalculator,), {})

        def rebind(other):
            side.rec.log("eq", other)
            T.RESOLUTION_PRESET = {"2k": 6553600}
            return False
        T.RESOLUTION_PRESET = {preset_key("8k", rebind): 1, "2k": int("1572516")}
        return T.calc_size("1:1", "8k")
    assert differential(scenario)[2]["width"] == "1254"


@pytest.mark.parametrize("fallback", [10**20, 6553600.0, "2k"], ids=["big", "float", "missing"])
def test_preset_key_compares_once_when_the_target_is_not_native(fallback):
    def scenario(side):
        T = type("T", (side.tessel.TesselSizeCalculator,), {})

        def compare(other):
            side.rec.log("eq", other)
            return False
        T.RESOLUTION_PRESET = {preset_key("8k", compare): 1}
        if fallback != "2k":
            T.RESOLUTION_PRESET["2k"] = fallback
        return T.calc_size("1:1", "8k")
    differential(scenario)


@pytest.mark.parametrize("method", ["round_to_multiple", "floor_to_multiple", "is_valid_image_size"])
def test_overridden_methods_are_called(method):
    def scenario(side):
        base = side.tessel.TesselSizeCalculator
        real = getattr(base, method).__func__

        def spy(cls, *args):
            side.rec.log("call", method, args)
            return real(cls, *args)
        T = type("T", (base,), {method: classmethod(spy)})
        # "-10:-1" never validates, so every method runs on every pass.
        return T.calc_size("-10:-1", "2k"), T.calc_size("16:9", "1k")
    differential(scenario)


def test_preset_key_that_raises():
    def scenario(side):
        T = type("T", (side.tessel.TesselSizeCalculator,), {})
        T.RESOLUTION_PRESET = {preset_key("1k", lambda other: 1 / 0): 1, "2k": 6553600}
        return T.calc_size("1:1", "1k")
    assert differential(scenario)[1] == "ZeroDivisionError"


@pytest.mark.parametrize("limit", ["MAX_PIXELS", "MAX_EDGE", "MIN_PIXELS"])
def test_rescaling_multiplies_in_place(limit):
    def scenario(side):
        class Side(float):
            def __imul__(self, other):
                side.rec.log("imul", float(self), other)
                return Side(float(self) * other)
        real = math.sqrt
        side.patch(math, "sqrt", lambda x: Side(real(x)))
        T = type("T", (side.tessel.TesselSizeCalculator,), {limit: {"MIN_PIXELS": 10**8}.get(limit, 1000)})
        return T.calc_size("3:2", "2k")
    differential(scenario)


@pytest.mark.parametrize("word", ["2:3", "-10:-1"])
@pytest.mark.parametrize("name", ["math.sqrt", "math.floor", "builtins.round"])
def test_patched_math_functions_are_used(name, word):
    module, attribute = name.split(".")
    original = getattr(importlib.import_module(module), attribute)

    def scenario(side):
        side.stack.enter_context(mock.patch(name, Call(original, side.rec, name)))
        T = side.tessel.TesselSizeCalculator
        return T.calc_size(word, "4k"), T.floor_to_multiple(9.5), T.round_to_multiple(9.5)
    differential(scenario)


# ---------------------------------------------------------------------------
# lumen and resize

@FEW
@given(st.integers(1, 400), st.integers(1, 400))
def test_lumen_events(width, height):
    def scenario(side):
        side.fake(side.lumen, "Resampling")
        image = Proxy(Image.new("L", (width, height)), side.rec, "image")
        scaler = watched(side.lumen.LumenImageScale, side.rec)(image)
        return scaler.start()
    differential(scenario)


@pytest.mark.parametrize("table", [[], [(1, 2, 3)], [(2, 1), (1, 2)]])
def test_lumen_replaced_table(table):
    def scenario(side):
        scaler = side.lumen.LumenImageScale(Thing(side.rec, "image", width=3, height=0.5, resize=lambda *a: a))
        scaler.PREFERED_LUMEN_RESOLUTIONS = table
        return scaler.start()
    differential(scenario)


@FEW
@given(st.integers(1, 300), st.integers(1, 300), st.integers(1, 300), st.integers(1, 300))
def test_image_resize_events(source_w, source_h, box_w, box_h):
    def scenario(side):
        side.fake(side.resize, "Image", "Resampling")
        image = Proxy(Image.new("RGBA", (source_w, source_h), (9, 9, 9, 9)), side.rec, "image")
        return side.resize.image_resize(image, box_w, box_h, (1, 2, 3))
    differential(scenario)


class IterReturnsInt:
    def __iter__(self):
        return 5


class IterRaisesTypeError:
    def __iter__(self):
        raise TypeError("no iteration today")


@pytest.mark.parametrize("size", [(0, "x"), (1000, 1), (3,), "ab", IterReturnsInt(), IterRaisesTypeError()])
def test_image_resize_odd_sources(size):
    def scenario(side):
        side.fake(side.resize, "Image")
        return side.resize.image_resize(Thing(side.rec, "image", size=size, resize=lambda *a: Image.new("RGB", (1, 1))),
                                        100, 100)
    outcome = differential(scenario)
    if size == (0, "x"):
        assert outcome[1] == "ZeroDivisionError"


# Entries that are no pair: a for target unpacks them as the modules unpack a size.
ODD_PAIRS = [("1:1",), (), ("1:1", 1.0, 2), 5, IterReturnsInt(), IterRaisesTypeError()]


class Entries:
    def __init__(self, entries):
        self.entries = entries

    def items(self, *text):
        return self.entries

    iter = items


@pytest.mark.parametrize("entry", ODD_PAIRS)
def test_closest_ratio_unpacks_odd_entries(entry):
    def scenario(side):
        framer = side.framekit.Framekit()
        framer._std_ratio_map = Entries([entry])
        return framer._get_closest_standard_ratio(4, 3)
    differential(scenario)


@pytest.mark.parametrize("entry", [*ODD_PAIRS, None])
def test_matched_words_unpack_odd_hits_and_hash_each_once(entry):
    def scenario(side):
        class Word(str):
            def __hash__(self):
                side.rec.log("hash", str(self))
                return str.__hash__(self)

            def __eq__(self, other):
                side.rec.log("eq", str(self))
                return str.__eq__(self, other)
        check = side.wordgate.PromptBanChecker(use_default=False)
        hits = [(0, Word("a")), (1, Word("a")), (2, Word("b"))] + ([] if entry is None else [entry])
        check._automaton = Entries(hits)
        return check.find_matched_words("aab")
    differential(scenario)


# ---------------------------------------------------------------------------
# wordgate

def checker(side, **options):
    side.fake(side.wordgate, "re", "os", "pickle", keep=("Unpickler", "UnpicklingError"))
    if side.wordgate._HAS_AC:
        side.fake(side.wordgate, "ahocorasick")
    options.setdefault("use_default", False)
    return watched(side.wordgate.PromptBanChecker, side.rec)(**options)


def queries(check, text):
    return check._has_banned_word(text), check.find_matched_words(text)


@FEW
@given(st.lists(st.text(alphabet="abAB .+", max_size=4), max_size=8), st.text(alphabet="abAB .+", max_size=12),
       st.booleans(), st.sampled_from([50, 1]))
def test_checker_events(words, text, ignore_case, threshold):
    def scenario(side):
        side.patch(side.wordgate, "_AC_THRESHOLD", threshold)
        check = checker(side, builtin_words=words, ignore_case=ignore_case, exclude_words=["b "])
        return queries(check, text), check.banned_words
    differential(scenario)


@pytest.mark.parametrize("threshold", [50, 2])
def test_checker_with_words_that_log(threshold):
    def scenario(side):
        Word = logged_str(side.rec)
        side.patch(side.wordgate, "_AC_THRESHOLD", Limit(threshold, side.rec, "threshold"))
        check = checker(side, builtin_words=[Word(" Foo "), Word("foo"), Word("x"), Word("")],
                        exclude_words=[Word(" X "), Word(" ")])
        return queries(check, "FOO foo"), check.check("clean")
    differential(scenario)


@pytest.mark.parametrize("threshold", [50, 1])
def test_check_raises_through_patched_error(threshold):
    def scenario(side):
        side.patch(side.wordgate, "_AC_THRESHOLD", threshold)
        side.spy(side.wordgate, "PromptBanError")
        return checker(side, builtin_words=["ab", "bc", "b"]).check("xabcx b ab")
    differential(scenario)


def test_failed_compile_keeps_the_old_engine():
    def scenario(side):
        check = checker(side, builtin_words=["old"])
        side.patch(re, "compile", Call(lambda *a, **k: 1 / 0, side.rec, "compile"))
        check.builtin_words.append("new")
        try:
            check.load_banned_words()
        except ZeroDivisionError:
            pass
        return check.banned_words, check._ban_regex.pattern, check._automaton
    differential(scenario)


WORD_FILES = {
    "words.txt": "\ufeffa\r\nb\r\n\r\n c \n#d\n".encode(),
    "bad.txt": b"\xff\xfe",
    "WORDS.PKL": pickle.dumps([1, " b", "a"]),
    "x.pickle": pickle.dumps(("a",)),
    "evil.pkl": pickle.dumps([print]),
    "nested.pkl": pickle.dumps(["a", 1, [["b"]], "c"]),
    "sets.pickle": pickle.dumps([2.5, frozenset({1}), {"x": 1}]),
    ".pkl": b"plain\n",
    "directory": None,
}


@pytest.mark.parametrize("name", WORD_FILES)
def test_word_files(tmp_path, name):
    path = tmp_path / name
    if WORD_FILES[name] is None:
        path.mkdir()
    else:
        path.write_bytes(WORD_FILES[name])

    def scenario(side):
        check = checker(side, ban_word_file=str(path))
        return check.banned_words, side.wordgate.PromptBanChecker._load_from_file(str(path))
    differential(scenario)


def test_missing_word_file():
    differential(lambda side: checker(side, ban_word_file="/no/such/file.txt"))


def test_create_pickle_file(tmp_path):
    def scenario(side):
        side.fake(side.wordgate, "pickle")
        Word = logged_str(side.rec)
        path = str(tmp_path / f"{side.name}.pkl")
        side.wordgate.PromptBanChecker.create_pickle_file([Word(" a "), "", None, Word(" "), "b"], path)
        return Path(path).read_bytes()
    differential(scenario)


@pytest.mark.parametrize("xor", ["real", "raises", "not-a-list", "strip-less"])
def test_default_words(xor):
    def scenario(side):
        side.fake(side.wordgate, "pickle")
        replacement = {
            "raises": lambda data, key: 1 / 0,
            "not-a-list": lambda data, key: pickle.dumps({"a": 1}),
            "strip-less": lambda data, key: pickle.dumps(["a", 7]),
        }.get(xor)
        if replacement:
            side.patch(side.wordgate, "_xor", Call(replacement, side.rec, "_xor"))
        else:
            side.spy(side.wordgate, "_xor")
        words = side.wordgate._load_default_words()
        return len(words), len(side.wordgate.PromptBanChecker(builtin_words=["zz"]).banned_words)
    differential(scenario)


def test_xor_round_trip():
    differential(lambda side: [side.wordgate._xor(d, k) for d, k in ((b"", b""), (b"abc", b"k"), (b"abc", b""))])


@pytest.mark.parametrize("replace", [None, "Unpickler"])
def test_pickle_word_file_through_replaced_pickle(tmp_path, replace):
    path = tmp_path / "words.pkl"
    path.write_bytes(pickle.dumps(["b", " a"]))

    def scenario(side):
        if replace:
            rec = side.rec

            class Logging(pickle.Unpickler):
                def load(self):
                    rec.log("load", type(self).__name__)
                    return super().load()
            side.patch(pickle, "Unpickler", Logging)
        return checker(side, ban_word_file=str(path)).banned_words
    differential(scenario)


@pytest.mark.parametrize("words", [["bb", "a"], ["bb", StrSub("a")]], ids=["str", "str-subclass"])
def test_word_lengths_through_a_module_global_len(words):
    def scenario(side):
        side.stack.enter_context(mock.patch.object(side.wordgate, "len", Call(len, side.rec, "len"), create=True))
        return side.wordgate.PromptBanChecker(builtin_words=words, use_default=False).banned_words
    differential(scenario)


@pytest.mark.parametrize("source", ["builtin_words", "ban_word_file"])
def test_word_list_tests_membership_then_adds(tmp_path, source):
    path = tmp_path / "words.txt"
    path.write_text("a\n")

    def scenario(side):
        class Word(str):
            def __hash__(self):
                side.rec.log("hash", str(self))
                return str.__hash__(self)

            def strip(self):
                return self
        words = [Word("a"), Word("a"), Word("b")]
        if source == "builtin_words":
            return side.wordgate.PromptBanChecker(builtin_words=words, use_default=False).banned_words
        side.patch(side.wordgate.PromptBanChecker, "_load_from_file", staticmethod(lambda file_path: words))
        return side.wordgate.PromptBanChecker(ban_word_file=str(path), use_default=False).banned_words
    differential(scenario)


class PosingAsList:
    """Claims list through __class__, which isinstance() reads and a type test does not."""

    def __init__(self, rec):
        self.rec = rec

    @property
    def __class__(self):
        self.rec.log("__class__")
        return list

    def __iter__(self):
        return iter(["posed"])


@pytest.mark.parametrize("source", ["default words", "word file"])
def test_loaded_words_are_lists_by_isinstance(tmp_path, source):
    path = tmp_path / "words.pkl"
    path.write_bytes(pickle.dumps(["b"]))

    def scenario(side):
        class Posing(pickle.Unpickler):
            def load(self):
                return PosingAsList(side.rec)
        side.patch(pickle, "Unpickler", Posing)
        side.patch(pickle, "loads", lambda raw: PosingAsList(side.rec))
        if source == "default words":
            return list(side.wordgate._load_default_words())
        return side.wordgate.PromptBanChecker._load_from_file(str(path))
    differential(scenario)


@pytest.mark.parametrize("make", ["exception", "callable", "not-an-exception", "raises"])
def test_refused_global_raises_through_the_live_error_class(tmp_path, make):
    path = tmp_path / "evil.pkl"
    path.write_bytes(pickle.dumps(["a", print]))

    def scenario(side):
        rec = side.rec

        class Hostile(pickle.UnpicklingError):
            def __init__(self, *args):
                rec.log("init", args)
                super().__init__(*args)

        def factory(message):
            rec.log("call", message)
            if make == "raises":
                raise RuntimeError("from the error class")
            return 42 if make == "not-an-exception" else KeyError(message)
        side.patch(pickle, "UnpicklingError", Hostile if make == "exception" else factory)
        return side.wordgate.PromptBanChecker._load_from_file(str(path))
    differential(scenario)


@pytest.mark.parametrize("threshold", [50, 1])
@pytest.mark.parametrize("words", [[], ["b", "Ab"], ["Ab", 3]], ids=["empty", "words", "not-str"])
def test_engines_built_directly(threshold, words):
    def scenario(side):
        side.patch(side.wordgate, "_AC_THRESHOLD", threshold)
        check = checker(side, builtin_words=["seed"])
        check.banned_words = words
        rec = side.rec

        class Flag:
            def __bool__(self):
                rec.log("bool", "ignore_case")
                return True

            def __repr__(self):
                return "Flag()"
        check.ignore_case = Flag()
        automaton = check._build_automaton() if side.wordgate._HAS_AC else None
        check._build_engine()
        return (sorted(automaton.keys()) if automaton is not None else None,
                queries(check, "xAbx"), check._ban_regex is None, check._automaton is None)
    differential(scenario)


@pytest.mark.parametrize("name", ["MAX_RATIO", "MIN_PIXELS", "RESOLUTION_PRESET", "round_to_multiple"])
@pytest.mark.parametrize("word", ["16:9", "7:1"])
def test_calc_size_with_a_descriptor_class_attribute(name, word):
    def scenario(side):
        rec = side.rec
        base = side.tessel.TesselSizeCalculator
        real = vars(base)[name]

        class Logged:
            def __get__(self, instance, owner):
                rec.log("__get__", name)
                return real.__get__(instance, owner) if hasattr(real, "__get__") else real
        return type("Sub", (base,), {name: Logged()}).calc_size(word, "2k")
    differential(scenario)


@pytest.mark.parametrize("returned", ["class", "non-exception class"])
def test_check_raises_a_class_the_error_factory_returns(returned):
    # `raise X` with a class instantiates it at the raise, logging its __init__.
    def scenario(side):
        class Refused(Exception):
            def __init__(self):
                side.rec.log("init", "Refused")
                super().__init__("refused")

        made = Refused if returned == "class" else type("NotAnError", (), {})
        side.patch(side.wordgate, "PromptBanError", lambda **kwargs: made)
        return checker(side, builtin_words=["ab"]).check("xabx")
    differential(scenario)


# The raise paths that return their error instead of throwing it: the same
# exception as the plain rendering, chained to the one being handled, and
# with a traceback, from a call made inside an except block.
RAISE_PATHS = {
    "refused prompt": lambda m, tmp: m["wordgate"].PromptBanChecker(
        use_default=False, builtin_words=["bad", "worse"]).check("so bad"),
    "prompt not str": lambda m, tmp: m["wordgate"].PromptBanChecker(use_default=False).check(None),
    "ratio text": lambda m, tmp: m["framekit"].Framekit._parse_ratio("16/9"),
    "ratio not str": lambda m, tmp: m["framekit"].Framekit._parse_ratio(3),
    "steep strict": lambda m, tmp: m["tessel"].TesselSizeCalculator.calc_size("5:1", "2k", True),
    "third piece": lambda m, tmp: m["tessel"].TesselSizeCalculator.calc_size("16:9:x", "2k"),
    "missing file": lambda m, tmp: m["wordgate"].PromptBanChecker(ban_word_file=str(tmp / "no.txt"),
                                                                  use_default=False),
}


@pytest.mark.parametrize("path", RAISE_PATHS)
def test_returned_raises_match_plain_and_chain(path, tmp_path):
    caught = []
    for side in (NATIVE, PLAIN):
        try:
            try:
                raise KeyError("handled")
            except KeyError:
                RAISE_PATHS[path](side, tmp_path)
        except Exception as error:
            caught.append(error)
    native, python = caught
    assert (type(native), str(native)) == (type(python), str(python))
    assert isinstance(native.__context__, KeyError) and native.__traceback__ is not None


class Verdict:
    def __bool__(self):
        raise RuntimeError("no verdict")


@pytest.mark.parametrize("exit", [lambda *exc: Verdict(), lambda kind, error, tb: (_ for _ in ()).throw(error)],
                         ids=["verdict raises", "re-raises"])
def test_exit_errors_chain_as_in_a_with_statement(exit):
    def refuse(buf):
        raise ValueError("not an image")

    manager = type("Manager", (), {"__init__": lambda self, data: None, "__enter__": lambda self: self,
                                   "__exit__": lambda self, *exc: exit(*exc)})
    chains = []
    for modules in (NATIVE, PLAIN):
        with mock.patch.object(modules["aspectra"], "BytesIO", manager), \
                mock.patch.object(modules["aspectra"], "Image", SimpleNamespace(open=refuse)):
            with pytest.raises(Exception) as caught:
                modules["aspectra"].ImageAspectra().get_raw_simple_ratio(b"x")
        error = caught.value
        chains.append((repr(error), repr(error.__context__), error.__context__ is error))
    assert chains[0] == chains[1]
