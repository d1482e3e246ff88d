"""Hostile input for every entry point, natively and in the plain-Python
rendering under bench/plain: both give the same result, or raise the same
exception type with the same message.

KAVIRA_FUZZ_EXAMPLES sets the examples per test (default 60; the long run
in the README uses 100000)."""

import hashlib
import io
import os
import re
import struct
import sys
import zlib
from pathlib import Path
from types import SimpleNamespace

import pytest
from conftest import encode
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from PIL import Image
from svcfault import PromptBanError

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

import plain.aspectra  # noqa: E402
import plain.framekit  # noqa: E402
import plain.lumen  # noqa: E402
import plain.resize  # noqa: E402
import plain.tessel  # noqa: E402
import plain.wordgate  # noqa: E402
from kavira import aspectra, framekit, lumen, resize, tessel, wordgate  # noqa: E402

EXAMPLES = int(os.environ.get("KAVIRA_FUZZ_EXAMPLES", "60"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))

NATIVE = SimpleNamespace(framekit=framekit, aspectra=aspectra, tessel=tessel, lumen=lumen, resize=resize,
                         wordgate=wordgate)
PLAIN = SimpleNamespace(framekit=plain.framekit, aspectra=plain.aspectra, tessel=plain.tessel, lumen=plain.lumen,
                        resize=plain.resize, wordgate=plain.wordgate)


def describe(value):
    """What two renderings must agree on: images by their pixels, instances by their state."""
    if isinstance(value, Image.Image):
        return "Image", value.mode, value.size, hashlib.sha1(value.tobytes()).hexdigest()
    if isinstance(value, bytes) and value.startswith(b"\x89PNG\r\n\x1a\n"):
        # Encoders may differ in their deflate; the pixels and ICC profile may not.
        with Image.open(io.BytesIO(value)) as image:
            return "PNG", describe(image.convert(image.mode)), image.info.get("icc_profile")
    if isinstance(value, (tuple, list)):
        return type(value).__name__, [describe(v) for v in value]
    if isinstance(value, dict):
        return {k: describe(v) for k, v in value.items()}
    if type(value).__module__.startswith(("kavira.", "plain.")):
        return type(value).__name__, describe(vars(value))
    return value


def outcome(call, m):
    try:
        return "result", describe(call(m))
    except Exception as error:
        message = re.sub(" at 0x[0-9a-f]+", "", str(error))
        return "raise", type(error).__name__, message, describe(getattr(error, "data", None))


def same(*calls):
    for call in calls:
        native = outcome(call, NATIVE)
        assert native == outcome(call, PLAIN)


def sample_files():
    image = Image.new("RGBA", (37, 23), (10, 200, 30, 128))
    return [encode(image, "PNG"), encode(image, "GIF"), encode(image, "WEBP"), encode(image, "TIFF"),
            encode(image.convert("RGB"), "JPEG")]


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


# Pillow's TIFF reader keeps one reference per truncated file it opens,
# under kavira and the plain rendering alike.
@pytest.mark.refleaks_exempt("Pillow's TIFF reader, on truncated files")
@fuzz
@given(image_bytes)
def test_hostile_image_bytes(data):
    same(lambda m: m.framekit.Framekit().adjust_size(data), lambda m: m.framekit.Framekit("1:1").adjust_size(data, True),
         lambda m: m.framekit.Framekit(need_adjust="resize").adjust_size(data, expand_percent=-5),
         lambda m: m.aspectra.ImageAspectra().get_raw_simple_ratio(data),
         lambda m: m.aspectra.ImageAspectra(3).get_approx_simple_ratio(data))


numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-2**80, 2**80),
                    st.just(float("nan")), st.just(float("inf")), st.just(-float("inf")), st.booleans())


@fuzz
@given(numbers)
def test_hostile_percentages_and_sizes(value):
    calls = [lambda m: m.tessel.TesselSizeCalculator.round_to_multiple(value),
             lambda m: m.tessel.TesselSizeCalculator.floor_to_multiple(value, value),
             lambda m: m.tessel.TesselSizeCalculator.is_valid_image_size(value, value),
             lambda m: m.framekit.Framekit()._get_closest_standard_ratio(value, value)]
    # Pillow allocates whatever canvas is asked for, so the growth stays within memory here.
    if not isinstance(value, (int, float)) or not abs(value) < float("inf") or abs(value) < 1000:
        calls.append(lambda m: m.framekit.Framekit().adjust_size(FILES[0], expand_percent=value))
    if not isinstance(value, float) or abs(value) < 1e3:
        calls.append(lambda m: m.aspectra.ImageAspectra(value))
    if abs(value) < 5000:
        calls.append(lambda m: m.resize.image_resize(Image.new("RGB", (4, 4)), value, 3))
    same(*calls)


junk_text = st.one_of(
    st.text(),
    st.text(alphabet=st.sampled_from("0123456789:+-_ \t０１２３４５６７８９\x00\u3000kK٣")),
    st.builds(lambda a, b: f"{a}:{b}", st.integers(-10**30, 10**30), st.integers(-10**30, 10**30)),
    st.text(alphabet=st.characters(blacklist_categories=())),
)


@fuzz
@given(junk_text, junk_text, st.booleans())
def test_hostile_ratio_and_tier_words(ratio, tier, strict):
    same(lambda m: m.tessel.TesselSizeCalculator.calc_size(ratio, tier, strict),
         lambda m: m.framekit.Framekit._parse_ratio(ratio), lambda m: m.framekit.Framekit(ratio),
         lambda m: m.framekit.Framekit(ratio).adjust_size(FILES[0]))


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
HOSTILE_CALLS = {
    "Framekit": lambda m, v: m.framekit.Framekit(v),
    "Framekit need_adjust": lambda m, v: m.framekit.Framekit(need_adjust=v),
    "_parse_ratio": lambda m, v: m.framekit.Framekit._parse_ratio(v),
    "_get_closest_standard_ratio": lambda m, v: m.framekit.Framekit()._get_closest_standard_ratio(v, 1),
    "adjust_size": lambda m, v: m.framekit.Framekit().adjust_size(v),
    "adjust_size options": lambda m, v: m.framekit.Framekit().adjust_size(FILES[0], v, v),
    "ImageAspectra": lambda m, v: m.aspectra.ImageAspectra(v),
    "_gcd": lambda m, v: m.aspectra.ImageAspectra._gcd(v, v),
    "get_raw_simple_ratio": lambda m, v: m.aspectra.ImageAspectra().get_raw_simple_ratio(v),
    "calc_size": lambda m, v: m.tessel.TesselSizeCalculator.calc_size(v),
    "calc_size tier": lambda m, v: m.tessel.TesselSizeCalculator.calc_size("1:1", v, v),
    "round_to_multiple": lambda m, v: m.tessel.TesselSizeCalculator.round_to_multiple(v, v),
    "is_valid_image_size": lambda m, v: m.tessel.TesselSizeCalculator.is_valid_image_size(v, 2),
    "LumenImageScale": lambda m, v: m.lumen.LumenImageScale(v).start(),
    "image_resize": lambda m, v: m.resize.image_resize(v, 2, 2),
    "image_resize options": lambda m, v: m.resize.image_resize(Image.new("RGB", (2, 2)), v, 2, v),
    "PromptBanChecker": lambda m, v: m.wordgate.PromptBanChecker(v).banned_words,
    "builtin_words": lambda m, v: m.wordgate.PromptBanChecker(builtin_words=v, use_default=False),
    "exclude_words": lambda m, v: m.wordgate.PromptBanChecker(exclude_words=v, use_default=False),
    "a builtin word": lambda m, v: m.wordgate.PromptBanChecker(builtin_words=[v], use_default=False),
    "an exclude word": lambda m, v: m.wordgate.PromptBanChecker(use_default=False, builtin_words=["a"],
                                                                 exclude_words=[v]),
    "check": lambda m, v: m.wordgate.PromptBanChecker(use_default=False).check(v),
    "_xor": lambda m, v: m.wordgate._xor(v, b"k"),
    "create_pickle_file": lambda m, v: m.wordgate.PromptBanChecker.create_pickle_file([v], os.devnull),
}


@pytest.mark.parametrize("call", HOSTILE_CALLS)
@pytest.mark.parametrize("value", HOSTILE_OBJECTS, ids=lambda v: type(v).__name__)
def test_hostile_objects_everywhere(call, value):
    same(lambda m: HOSTILE_CALLS[call](m, value))


@fuzz
@given(st.lists(st.text(max_size=12), max_size=80), st.text(max_size=400), st.booleans(), st.integers(1, 80))
def test_word_lists_and_prompts(words, prompt, ignore_case, threshold):
    def run(m):
        checker = m.wordgate.PromptBanChecker(use_default=False, builtin_words=words, ignore_case=ignore_case)
        found = checker.find_matched_words(prompt)
        try:
            return found, checker.check(prompt) is prompt
        except PromptBanError as error:
            assert error.data and error.error_msg == "违禁词: " + ",".join(error.data)
            return found, error.data

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(wordgate, "_AC_THRESHOLD", threshold)
        patch.setattr(plain.wordgate, "_AC_THRESHOLD", threshold)
        same(run)


def test_large_word_list_and_prompt():
    words = [f"w{i}x" for i in range(100_000)]
    checker = wordgate.PromptBanChecker(use_default=False, builtin_words=words)
    prompt = "clean " * 175_000
    assert checker.check(prompt) is prompt
    with pytest.raises(PromptBanError) as raised:
        checker.check(prompt + "w99999x")
    assert "w99999x" in raised.value.data


def test_decompression_bomb_passes_through(monkeypatch):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    data = encode(Image.new("RGB", (40, 40)), "PNG")
    with pytest.raises(Image.DecompressionBombError):
        framekit.Framekit().adjust_size(data)
    with pytest.raises(Image.DecompressionBombError):
        aspectra.ImageAspectra().get_raw_simple_ratio(data)
