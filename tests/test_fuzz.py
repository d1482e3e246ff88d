"""Hostile input for every entry point: the process never crashes, and every
failure is an ordinary Python exception.

KAVIRA_FUZZ_EXAMPLES sets the examples per test (default 60; the long run
in the README uses 100000)."""

import io
import os
import struct
import zlib

import pytest
from conftest import encode
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from PIL import Image
from svcfault import PromptBanError, ServiceError

from kavira.aspectra import ImageAspectra
from kavira.framekit import Framekit
from kavira.lumen import LumenImageScale
from kavira.resize import image_resize
from kavira.tessel import TesselSizeCalculator
from kavira.wordgate import PromptBanChecker, _xor

EXAMPLES = int(os.environ.get("KAVIRA_FUZZ_EXAMPLES", "60"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))

# What Pillow and the interpreter may raise on hostile input; anything else fails.
EXPECTED = (ValueError, TypeError, OSError, SyntaxError, ZeroDivisionError, OverflowError, EOFError,
            IndexError, KeyError, AttributeError, MemoryError, Image.DecompressionBombError, ServiceError,
            PromptBanError, struct.error, zlib.error, UnicodeError, NotImplementedError)


def sample_files():
    image = Image.new("RGBA", (37, 23), (10, 200, 30, 128))
    files = [encode(image, "PNG"), encode(image, "GIF"), encode(image, "WEBP"), encode(image, "TIFF"),
             encode(image.convert("RGB"), "JPEG")]
    return files


FILES = sample_files()


def huge_png(width, height):
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    chunk = b"IHDR" + header
    return b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + chunk + struct.pack(">I", zlib.crc32(chunk))


image_bytes = st.one_of(
    st.binary(max_size=512),
    st.builds(lambda f, n: f[:n], st.sampled_from(FILES), st.integers(0, 400)),
    st.builds(lambda f, i, b: f[:i] + bytes([b]) + f[i + 1:], st.sampled_from(FILES), st.integers(0, 300),
              st.integers(0, 255)),
    st.builds(huge_png, st.integers(0, 2**31 - 1), st.integers(0, 2**31 - 1)),
)


def run_image_paths(data):
    for call in (lambda: Framekit().adjust_size(data), lambda: Framekit("1:1").adjust_size(data, True),
                 lambda: Framekit(need_adjust="resize").adjust_size(data, expand_percent=-5),
                 lambda: ImageAspectra().get_raw_simple_ratio(data),
                 lambda: ImageAspectra(3).get_approx_simple_ratio(data)):
        try:
            call()
        except EXPECTED:
            pass


@fuzz
@given(image_bytes)
def test_hostile_image_bytes(data):
    run_image_paths(data)


numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-2**80, 2**80),
                    st.just(float("nan")), st.just(float("inf")), st.just(-float("inf")), st.booleans())


@fuzz
@given(numbers)
def test_hostile_percentages_and_sizes(value):
    # Pillow allocates whatever canvas is asked for, so the growth stays within memory here.
    grows_sanely = not isinstance(value, (int, float)) or not abs(value) < float("inf") or abs(value) < 1000
    for call in (lambda: Framekit().adjust_size(FILES[0], expand_percent=value) if grows_sanely else None,
                 lambda: ImageAspectra(value) if not isinstance(value, float) or abs(value) < 1e3 else None,
                 lambda: TesselSizeCalculator.round_to_multiple(value),
                 lambda: TesselSizeCalculator.floor_to_multiple(value, value),
                 lambda: TesselSizeCalculator.is_valid_image_size(value, value),
                 lambda: Framekit()._get_closest_standard_ratio(value, value),
                 lambda: image_resize(Image.new("RGB", (4, 4)), value, 3) if abs(value) < 5000 else None):
        try:
            call()
        except EXPECTED:
            pass


junk_text = st.one_of(
    st.text(),
    st.text(alphabet=st.sampled_from("0123456789:+-_ \t０１２３４５６７８９\x00\u3000kK٣")),
    st.builds(lambda a, b: f"{a}:{b}", st.integers(-10**30, 10**30), st.integers(-10**30, 10**30)),
    st.text(alphabet=st.characters(blacklist_categories=())),
)


@fuzz
@given(junk_text, junk_text, st.booleans())
def test_hostile_ratio_and_tier_words(ratio, tier, strict):
    for call in (lambda: TesselSizeCalculator.calc_size(ratio, tier, strict), lambda: Framekit._parse_ratio(ratio),
                 lambda: Framekit(ratio), lambda: Framekit(ratio).adjust_size(FILES[0])):
        try:
            call()
        except EXPECTED:
            pass


class Str(str):
    pass


class Bytes(bytes):
    pass


class List(list):
    pass


class Raising:
    def __int__(self):
        raise RuntimeError("int")

    __index__ = __int__

    def __float__(self):
        raise RuntimeError("float")

    def strip(self):
        raise RuntimeError("strip")

    def lower(self):
        raise RuntimeError("lower")


class WrongType:
    def __int__(self):
        return "x"

    def __index__(self):
        return 1.5

    def __float__(self):
        return "y"

    def strip(self):
        return 3

    def lower(self):
        return None


HOSTILE_OBJECTS = [Str("1:1"), Bytes(FILES[0]), List(["a"]), Raising(), WrongType(), None, object(), 3.5, b"", ""]


@pytest.mark.parametrize("value", HOSTILE_OBJECTS, ids=lambda v: type(v).__name__)
def test_hostile_objects_everywhere(value):
    calls = [
        lambda: Framekit(value), lambda: Framekit(need_adjust=value), lambda: Framekit._parse_ratio(value),
        lambda: Framekit()._get_closest_standard_ratio(value, 1), lambda: Framekit().adjust_size(value),
        lambda: Framekit().adjust_size(FILES[0], value, value), lambda: ImageAspectra(value),
        lambda: ImageAspectra._gcd(value, value), lambda: ImageAspectra().get_raw_simple_ratio(value),
        lambda: TesselSizeCalculator.calc_size(value), lambda: TesselSizeCalculator.calc_size("1:1", value, value),
        lambda: TesselSizeCalculator.round_to_multiple(value, value),
        lambda: TesselSizeCalculator.is_valid_image_size(value, 2), lambda: LumenImageScale(value).start(),
        lambda: image_resize(value, 2, 2), lambda: image_resize(Image.new("RGB", (2, 2)), value, 2, value),
        lambda: PromptBanChecker(value), lambda: PromptBanChecker(builtin_words=value, use_default=False),
        lambda: PromptBanChecker(exclude_words=value, use_default=False),
        lambda: PromptBanChecker(builtin_words=[value], use_default=False),
        lambda: PromptBanChecker(use_default=False, builtin_words=["a"], exclude_words=[value]),
        lambda: PromptBanChecker(use_default=False).check(value), lambda: _xor(value, b"k"),
        lambda: PromptBanChecker.create_pickle_file([value], os.devnull),
    ]
    for call in calls:
        try:
            call()
        except (RuntimeError,) + EXPECTED:
            pass


@fuzz
@given(st.lists(st.text(max_size=12), max_size=80), st.text(max_size=400), st.booleans(), st.integers(1, 80))
def test_word_lists_and_prompts(words, prompt, ignore_case, threshold):
    import kavira.wordgate as wordgate

    saved = wordgate._AC_THRESHOLD
    wordgate._AC_THRESHOLD = threshold
    try:
        checker = PromptBanChecker(use_default=False, builtin_words=words, ignore_case=ignore_case)
        found = checker.find_matched_words(prompt)
        try:
            assert checker.check(prompt) is prompt
            assert found == []
        except PromptBanError as error:
            assert error.data and error.error_msg == "违禁词: " + ",".join(error.data)
    finally:
        wordgate._AC_THRESHOLD = saved


def test_large_word_list_and_prompt():
    words = [f"w{i}x" for i in range(100_000)]
    checker = PromptBanChecker(use_default=False, builtin_words=words)
    prompt = "clean " * 175_000
    assert checker.check(prompt) is prompt
    with pytest.raises(PromptBanError) as raised:
        checker.check(prompt + "w99999x")
    assert "w99999x" in raised.value.data


def test_decompression_bomb_passes_through(monkeypatch):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    data = encode(Image.new("RGB", (40, 40)), "PNG")
    with pytest.raises(Image.DecompressionBombError):
        Framekit().adjust_size(data)
    with pytest.raises(Image.DecompressionBombError):
        ImageAspectra().get_raw_simple_ratio(data)
