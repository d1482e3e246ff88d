import math
from fractions import Fraction

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from svcfault import ServiceError

from kavira import tessel
from kavira.tessel import TesselSizeCalculator as Calc

TABLE = [
    ("1:1", "1k", 1254, 1254), ("1:1", "2k", 2560, 2560), ("1:1", "4k", 2880, 2880),
    ("16:9", "1k", 1672, 940), ("16:9", "2k", 3414, 1920), ("16:9", "4k", 3840, 2160),
    ("9:16", "4k", 2160, 3840), ("4:3", "4k", 3322, 2492), ("2:3", "4k", 2348, 3524),
    ("7:10", "2k", 2142, 3060), ("21:9", "2k", 3840, 1646), ("3:1", "2k", 3840, 1280),
    ("5:1", "2k", 3840, 1280), ("3:10", "1k", 724, 2172), ("auto", "2k", 2560, 2560),
    ("AUTO", "2k", 2560, 2560), ("", "2k", 2560, 2560), ("16:9", "8K", 3414, 1920),
    (" 16 : 9 ", "2K", 3414, 1920), ("1_6:+9", "2k", 3414, 1920),
    ("100000000000000000000:1", "2k", 3840, 1280), ("1:100000000000000000000", "2k", 1280, 3840),
]


@pytest.mark.parametrize("ratio, tier, width, height", TABLE)
def test_size_table(ratio, tier, width, height):
    result = Calc.calc_size(ratio, tier)
    assert result == {
        "width": width, "height": height, "size": f"{width}x{height}", "pixels": width * height,
        "aspect_ratio": ratio, "resolution": tier.lower(), "valid": True,
    }
    assert list(result) == ["width", "height", "size", "pixels", "aspect_ratio", "resolution", "valid"]


@pytest.mark.parametrize("word", ["AuTo", "autO", "aUTO"])
def test_auto_in_any_case_is_square(word):
    assert Calc.calc_size(word) == {**Calc.calc_size("1:1"), "aspect_ratio": word}


@pytest.mark.parametrize("word", ["aut0", "auto:", "autoo", "`uto", "@UTO", "ａｕｔｏ", "auto\x00"])
def test_words_near_auto_are_parsed(word):
    with pytest.raises(ValueError, match="invalid literal|need more than"):
        Calc.calc_size(word)


@pytest.mark.parametrize("ratio", ["5:1", "1:5", "100000000000000000000:1", "10:3"])
def test_strict_refuses_steep_ratios(ratio):
    with pytest.raises(ServiceError) as raised:
        Calc.calc_size(ratio, "2k", strict=True)
    assert raised.value.message == "图像宽高比不合法, 相差太大"
    assert raised.value.aspect_ratio == ratio


def test_strict_accepts_the_limit_and_raises_through_the_module_global(monkeypatch):
    assert Calc.calc_size("3:1", strict=True)["valid"] and Calc.calc_size("1:3", strict=1)["valid"]

    class Other(Exception):
        def __init__(self, message, aspect_ratio):
            super().__init__(message, aspect_ratio)

    monkeypatch.setattr(tessel, "ServiceError", Other)
    with pytest.raises(Other):
        Calc.calc_size("5:1", strict=True)


def test_strict_raises_before_any_preset_is_read():
    class Untouchable(dict):
        def __getitem__(self, key):
            raise AssertionError("preset read")

        get = __getitem__

    class NoPreset(Calc):
        RESOLUTION_PRESET = Untouchable()

    with pytest.raises(ServiceError):
        NoPreset.calc_size("9:1", strict=True)
    with pytest.raises(AssertionError):
        NoPreset.calc_size("9:1")


def test_both_parts_negative_runs_out_of_iterations():
    assert Calc.calc_size("-10:-1", "2k") == {
        "width": 3840, "height": 382, "size": "3840x382", "pixels": 3840 * 382,
        "aspect_ratio": "-10:-1", "resolution": "2k", "valid": False,
    }


@pytest.mark.parametrize(
    "ratio, error, message",
    [("16", ValueError, "need more than 1 value to unpack"),
     ("1:2:3", ValueError, "too many values to unpack (expected 2)"),
     ("1:2:x", ValueError, "invalid literal for int() with base 10: 'x'"),
     ("x", ValueError, "invalid literal"), ("1__6:9", ValueError, "invalid literal"),
     ("16:0", ZeroDivisionError, ""), ("0:16", ZeroDivisionError, ""), ("-1:16", ValueError, "math domain error")],
)
def test_malformed_words(ratio, error, message):
    with pytest.raises(error) as raised:
        Calc.calc_size(ratio)
    assert message in str(raised.value)


def test_missing_2k_preset(monkeypatch):
    monkeypatch.setattr(Calc, "RESOLUTION_PRESET", {"1k": 1572516})
    with pytest.raises(KeyError):
        Calc.calc_size("1:1", "1k")


def test_changed_preset_changes_results(monkeypatch):
    monkeypatch.setitem(Calc.RESOLUTION_PRESET, "1k", 1000000)
    assert Calc.calc_size("1:1", "1k")["width"] == 1000


@pytest.mark.parametrize(
    "size, valid",
    [((3840, 2160), True), ((3842, 2160), False), ((1023, 640), False), ((1024, 640), True), ((1022, 640), False),
     ((3840, 1280), True), ((3840, 1278), False), ((1024.9, 640), True)],
)
def test_is_valid_image_size(size, valid):
    assert Calc.is_valid_image_size(*size) is valid


def test_is_valid_zero_side():
    with pytest.raises(ZeroDivisionError):
        Calc.is_valid_image_size(0, 10)
    with pytest.raises(TypeError, match="Argument 'height' has incorrect type \\(expected int, got str\\)"):
        Calc.is_valid_image_size(10, "10")


@pytest.mark.parametrize(
    "method, value, multiple, expected",
    [("round_to_multiple", 5, None, 4), ("round_to_multiple", 7, None, 8), ("round_to_multiple", 1255, None, 1256),
     ("round_to_multiple", 1253, None, 1252), ("round_to_multiple", 1, None, 2), ("round_to_multiple", 0, None, 2),
     ("round_to_multiple", -10, None, 2), ("round_to_multiple", 10, 4, 8), ("round_to_multiple", 14, 4, 16),
     ("round_to_multiple", 3, 2.0, 4), ("round_to_multiple", 627.5 * 2, None, 1256),
     ("floor_to_multiple", 7, None, 6), ("floor_to_multiple", 1255.9, None, 1254), ("floor_to_multiple", 1, None, 2),
     ("floor_to_multiple", -3, None, 2), ("floor_to_multiple", 15, 4, 12), ("floor_to_multiple", 1, 2.0, 2),
     ("round_to_multiple", Fraction(7, 2), None, 4), ("floor_to_multiple", 10**30 + 1, None, math.floor((10**30 + 1) / 2) * 2)],
)
def test_alignment(method, value, multiple, expected):
    result = getattr(Calc, method)(value, multiple)
    assert result == expected and type(result) is int


class Opaque:
    """A multiple that arithmetic accepts but that is no number itself."""

    def __rtruediv__(self, other):
        return 1.0

    def __rmul__(self, other):
        return 0

    def __lt__(self, other):
        return False


def test_alignment_result_must_be_a_number():
    with pytest.raises(TypeError, match="Expected int, got Opaque"):
        Calc.round_to_multiple(1, Opaque())


def test_subclass_constants_and_methods():
    class Sixteen(Calc):
        MULTIPLE = 16

    result = Sixteen.calc_size("16:9", "2k")
    assert result["width"] % 16 == 0 and result["height"] % 16 == 0 and result["valid"]
    assert Sixteen().calc_size("16:9", "2k") == result

    class Never(Calc):
        @classmethod
        def is_valid_image_size(cls, width, height):
            return False

    assert Never.calc_size("1:1")["valid"] is False

    class FloatPixels(Calc):
        MAX_PIXELS = 8294400.0
        MAX_RATIO = Fraction(3)

    assert FloatPixels.calc_size("4:3", "4k")["size"] == "3322x2492"


def test_math_global_is_looked_up(monkeypatch):
    calls = []

    class Math:
        def sqrt(self, x):
            calls.append("sqrt")
            return math.sqrt(x)

        def floor(self, x):
            calls.append("floor")
            return math.floor(x)

    monkeypatch.setattr(tessel, "math", Math())
    assert Calc.calc_size("16:9", "2k")["size"] == "3414x1920"
    assert "sqrt" in calls


class Int(int):
    pass


class Float(float):
    pass


class Exact(Calc):
    """Equal constants that are not native, so the exact rendering runs."""

    MIN_PIXELS = Int(655360)
    MAX_PIXELS = Int(8294400)
    MAX_EDGE = Int(3840)
    MULTIPLE = Int(2)
    MAX_RATIO = Float(3.0)


def outcome(cls, ratio, tier, strict):
    try:
        return cls.calc_size(ratio, tier, strict)
    except Exception as error:  # the same exception from both renderings
        return type(error), str(error)


parts = st.one_of(st.integers(-50, 50), st.integers(-10**6, 10**6), st.integers(-10**25, 10**25))
tiers = st.sampled_from(["1k", "2k", "4k", "8K", "", "2K"])


@settings(max_examples=400, deadline=None)
@given(parts, parts, tiers, st.booleans())
@example(16, 9, "2k", False)
@example(-10, -1, "2k", False)
@example(10**20, 1, "4k", False)
def test_native_and_exact_renderings_agree(w, h, tier, strict):
    word = f"{w}:{h}"
    assert outcome(Calc, word, tier, strict) == outcome(Exact, word, tier, strict)


@settings(max_examples=200, deadline=None)
@given(st.floats(-1e6, 1e6, allow_nan=False), st.integers(1, 64))
def test_alignment_native_and_exact_agree(value, multiple):
    assert Calc.round_to_multiple(value, multiple) == Calc.round_to_multiple(value, Int(multiple))
    assert Calc.floor_to_multiple(value, multiple) == Calc.floor_to_multiple(value, Int(multiple))


@settings(max_examples=300, deadline=None)
@given(st.text())
@example("İSTANBUL")
@example("ΣΑΣ")
@example("ǅ")
def test_tier_is_lower_cased_like_str_lower(tier):
    assert Calc.calc_size("1:1", tier)["resolution"] == tier.lower()


# Limits up to the edges of what the native rendering admits (and past them),
# with ratios as steep as its parts allow: the two renderings still agree.
limit_values = {
    "MIN_PIXELS": st.one_of(st.integers(1, 2**24), st.just(2**24 + 1)),
    "MAX_PIXELS": st.one_of(st.integers(1, 2**31 - 1), st.just(2**31)),
    "MAX_EDGE": st.integers(1, 2**31 - 1),
    "MULTIPLE": st.one_of(st.integers(1, 64), st.integers(1, 2**16), st.just(2**16 + 1)),
    "MAX_RATIO": st.one_of(st.floats(1.0, 2.0**21), st.just(math.inf), st.just(0.5)),
}
steep_parts = st.one_of(st.integers(1, 20), st.integers(1, 2**20), st.just(2**20 + 1))


@settings(max_examples=300, deadline=None)
@given(st.fixed_dictionaries(limit_values), steep_parts, steep_parts, st.integers(-2**31, 2**31), st.booleans())
@example({"MIN_PIXELS": 655360, "MAX_PIXELS": 8294400, "MAX_EDGE": 3840, "MULTIPLE": 2, "MAX_RATIO": math.inf},
         1, 2**20, 6553600, False)  # a side shrinks below 1: ZeroDivisionError from the final check
def test_renderings_agree_at_the_native_bounds(limits, w, h, target, strict):
    native = type("Native", (Calc,), dict(limits, RESOLUTION_PRESET={"2k": target}))
    exact = type("Exact", (Calc,), {name: (Float if isinstance(value, float) else Int)(value)
                                    for name, value in limits.items()} | {"RESOLUTION_PRESET": {"2k": Int(target)}})
    word = f"{w}:{h}"
    assert outcome(native, word, "2k", strict) == outcome(exact, word, "2k", strict)
