import io
import re

import pytest
from conftest import decode, encode, solid_png
from hypothesis import example, given, settings
from hypothesis import strategies as st
from PIL import Image

from kavira import framekit
from kavira.framekit import Framekit


def test_defaults():
    f = Framekit()
    assert (f.proportion, f.need_adjust, f.fill_color, f.kwargs) == (None, "fill", (255, 255, 255, 0), {})
    assert list(f._std_ratio_map) == Framekit.STANDARD_RATIO_LIST
    assert f._std_ratio_map["16:9"] == 16 / 9


@pytest.mark.parametrize("given, stored", [("   ", None), ("", None), ("\u3000\t", None), (" 3:4 ", " 3:4 ")])
def test_blank_proportion_is_none(given, stored):
    assert Framekit(given).proportion == stored


def test_stretch_mode_is_accepted_until_used():
    assert Framekit(need_adjust="stretch").need_adjust == "stretch"


@pytest.mark.parametrize(
    "text, expected",
    [(" 16:9 ", (16, 9)), ("16:9x", (16, 9)), ("3:4:5", (3, 4)), ("０７:０１０", (7, 10)), ("３:４", (3, 4)),
     ("0:5", (0, 5)), ("100000000000000000000:3", (100000000000000000000, 3))],
)
def test_parse_ratio(text, expected):
    result = Framekit._parse_ratio(text)
    assert result == expected and all(type(v) is int for v in result)


def regex_parse(text):
    match = re.match(r"(\d+):(\d+)", text.strip())
    return (int(match.group(1)), int(match.group(2))) if match else None


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="0123456789:x \t\n\x0b\x1c\x1f\x85\xa0", max_size=30))
@example("1" * 18 + ":" + "9" * 19)
@example("\x1c" + "9" * 19 + ":" + "1" * 18 + "\x1f")
@example("\x85 16:9")
def test_parse_ratio_matches_the_regex(text):
    expected = regex_parse(text)
    if expected is None:
        with pytest.raises(ValueError):
            Framekit._parse_ratio(text)
    else:
        assert Framekit._parse_ratio(text) == expected


@pytest.mark.parametrize("text", ["16/9", " a:b ", "3 : 4", ":4", "4:", "", "x3:4"])
def test_parse_ratio_rejects(text):
    with pytest.raises(ValueError) as raised:
        Framekit._parse_ratio(text)
    assert str(raised.value) == f"比例格式错误 {text}，示例：3:4"


@pytest.mark.parametrize(
    "width, height, ratio",
    [(1920, 1080, "16:9"), (1080, 1920, "9:16"), (800, 600, "4:3"), (600, 800, "3:4"), (1, 100, "9:16"),
     (100, 1, "21:9"), (2, 1, "16:9"), (9, 8, "1:1"), (9, 10, "1:1"), (31, 40, "3:4"), (1000.9, 1000, "1:1"),
     (True, 1, "1:1")],
)
def test_closest_standard_ratio(width, height, ratio):
    assert Framekit()._get_closest_standard_ratio(width, height) == ratio


def test_closest_ratio_errors():
    f = Framekit()
    with pytest.raises(ZeroDivisionError):
        f._get_closest_standard_ratio(1, 0)
    f.STANDARD_RATIO_LIST = []
    with pytest.raises(IndexError, match="list index out of range"):
        f._get_closest_standard_ratio(1, 1)


def test_closest_ratio_with_non_float_map_values():
    from fractions import Fraction

    f = Framekit()
    f._std_ratio_map = {"a": Fraction(1, 2), "b": Fraction(2, 1)}
    assert f._get_closest_standard_ratio(3, 2) == "b"


def test_subclass_overrides_take_effect():
    class Custom(Framekit):
        STANDARD_RATIO_LIST = ["1:2", "2:1"]

        @staticmethod
        def _parse_ratio(text):
            a, b = text.split(":")
            return int(a), int(b)

    assert Custom()._std_ratio_map == {"1:2": 0.5, "2:1": 2.0}
    assert Custom()._get_closest_standard_ratio(3, 1) == "2:1"


def test_constructor_zero_ratio_fails():
    class Bad(Framekit):
        STANDARD_RATIO_LIST = ["1:0"]

    with pytest.raises(ZeroDivisionError):
        Bad()


@pytest.mark.parametrize("mode", ["resize", "fill"])
def test_unset_proportion_grows_shorter_side(mode, png_1920x1080):
    data, ratio = Framekit(need_adjust=mode).adjust_size(png_1920x1080, return_origin_ratio=True)
    image = decode(data)
    assert (image.format, image.mode, image.size, ratio) == ("PNG", "RGBA", (1920, 1188), "16:9")


def test_matching_proportion_equals_unset(png_1920x1080):
    assert Framekit("16:9").adjust_size(png_1920x1080) == Framekit().adjust_size(png_1920x1080)


@pytest.mark.parametrize("proportion", ["3:4", "bogus", " 16:9"])
def test_mismatching_proportion_returns_input_itself(proportion, png_1920x1080):
    f = Framekit(proportion, need_adjust="invalid")
    assert f.adjust_size(png_1920x1080) is png_1920x1080
    result, ratio = f.adjust_size(png_1920x1080, True)
    assert result is png_1920x1080 and ratio == proportion


@pytest.mark.parametrize(
    "size, percent, expected",
    [((600, 800), 10, (660, 800)), ((800, 600), 10, (800, 660)), ((1000, 1000), 10, (1100, 1100)),
     ((1001, 700), 10, (1001, 770)), ((3, 5), 10, (3, 5)), ((1024, 768), 33.3, (1024, 1023)),
     ((600, 800), -10, (540, 800)), ((601, 800), -10, (540, 800)), ((1, 2), 10, (1, 2)), ((37, 23), 0, (37, 23))],
)
@pytest.mark.parametrize("mode", ["resize", "fill"])
def test_worked_sizes(size, percent, expected, mode):
    out = Framekit(need_adjust=mode).adjust_size(solid_png(*size), expand_percent=percent)
    assert decode(out).size == expected


def test_fill_margins_and_offsets():
    source = Image.new("RGBA", (600, 800), (10, 20, 30, 255))
    out = decode(Framekit().adjust_size(encode(source)))
    assert out.getpixel((29, 400)) == (255, 255, 255, 0)
    assert out.getpixel((30, 400)) == (10, 20, 30, 255)
    assert out.getpixel((629, 400)) == (10, 20, 30, 255)
    assert out.getpixel((630, 400)) == (255, 255, 255, 0)


def test_odd_margin_extra_pixel_on_the_right():
    out = decode(Framekit(fill_color=(0, 0, 0, 255)).adjust_size(solid_png(10, 100), expand_percent=50))
    assert out.size == (15, 100)
    row = [out.getpixel((x, 50))[:3] for x in range(15)]
    assert row[:2] == [(0, 0, 0)] * 2 and row[2] != (0, 0, 0) and row[11] != (0, 0, 0) and row[12:] == [(0, 0, 0)] * 3


def test_negative_percentage_crops_both_sides():
    source = Image.new("RGBA", (601, 800), (0, 0, 255, 255))
    for x in range(31):
        for y in range(800):
            source.putpixel((x, y), (255, 0, 0, 255))
    out = decode(Framekit().adjust_size(encode(source), expand_percent=-10))
    assert out.size == (540, 800)
    assert out.getpixel((0, 0)) == (0, 0, 255, 255)


def test_opaque_fill_and_half_transparent_blend():
    source = Image.new("RGBA", (4, 8), (0, 0, 0, 128))
    out = decode(Framekit().adjust_size(encode(source), expand_percent=100))
    r, g, b, a = out.getpixel((4, 4))
    assert 60 <= a <= 68 and 120 <= r <= 135
    opaque = decode(Framekit(fill_color=(0, 0, 0, 255)).adjust_size(encode(source), expand_percent=100))
    assert opaque.getpixel((0, 0)) == (0, 0, 0, 255)


def test_jpeg_comes_back_png_rgba_same_size():
    jpeg = encode(Image.new("RGB", (64, 48), (1, 2, 3)), "JPEG")
    out = decode(Framekit().adjust_size(jpeg, expand_percent=0))
    assert (out.format, out.mode, out.size) == ("PNG", "RGBA", (64, 48))


def test_invalid_mode_and_bad_input(png_1920x1080):
    with pytest.raises(ValueError, match="need_adjust 仅支持 resize / fill"):
        Framekit(need_adjust="stretch").adjust_size(png_1920x1080)
    with pytest.raises(Image.UnidentifiedImageError):
        Framekit().adjust_size(b"not an image")
    with pytest.raises(OverflowError):
        Framekit().adjust_size(solid_png(4, 8), expand_percent=float("inf"))
    with pytest.raises(ValueError):
        Framekit().adjust_size(solid_png(4, 8), expand_percent=float("nan"))
    with pytest.raises(ValueError):
        Framekit().adjust_size(solid_png(4, 8), expand_percent=-200)


def test_replaced_image_global(monkeypatch, png_1920x1080):
    seen = []

    class Recorder:
        def __getattr__(self, name):
            seen.append(name)
            return getattr(Image, name)

    monkeypatch.setattr(framekit, "Image", Recorder())
    Framekit(need_adjust="resize").adjust_size(png_1920x1080)
    assert seen == ["open", "Resampling"]


def test_fill_colour_read_only_in_fill_mode(png_1920x1080):
    class Watch(Framekit):
        @property
        def fill_color(self):
            raise AssertionError("read")

        @fill_color.setter
        def fill_color(self, value):
            pass

    Watch(need_adjust="resize").adjust_size(png_1920x1080)
    with pytest.raises(AssertionError):
        Watch().adjust_size(png_1920x1080)


def test_stored_orientation_is_not_applied():
    image = Image.new("RGB", (40, 20))
    exif = image.getexif()
    exif[0x0112] = 6
    data = encode(image, "JPEG", exif=exif)
    assert decode(Framekit().adjust_size(data)).size == (40, 22)


def test_changes_to_the_ratio_map_are_seen_at_once():
    f = Framekit()
    assert f._get_closest_standard_ratio(1920, 1080) == "16:9"
    f._std_ratio_map["1:1"] = 16 / 9  # ties with 16:9; the earlier entry wins
    assert f._get_closest_standard_ratio(1920, 1080) == "1:1"
    del f._std_ratio_map["1:1"]
    assert f._get_closest_standard_ratio(1920, 1080) == "16:9"
    f._std_ratio_map = {}
    assert f._get_closest_standard_ratio(1920, 1080) == "1:1"
