"""The result's PNG as the native writer makes it, and when Pillow makes it instead."""

import io
import subprocess
import sys
import zlib
from unittest import mock

import pytest
from PIL import Image, ImageFile, PngImagePlugin

from kavira import framekit
from kavira.framekit import Framekit


def chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, found = 8, []
    while at < len(data):
        size = int.from_bytes(data[at:at + 4], "big")
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + size]
        assert int.from_bytes(data[at + 8 + size:at + 12 + size], "big") == zlib.crc32(kind + body)
        found.append((kind, body))
        at += 12 + size
    return found


def pillow_result(data, mode, percent=10, fill=(255, 255, 255, 0)):
    """The result image as the plain pipeline builds it."""
    image = Image.open(io.BytesIO(data)).convert("RGBA")
    w, h = image.size
    scale = percent / 100 + 1
    nw, nh = (int(w * scale), h) if h > w else (w, int(h * scale)) if w > h else (int(w * scale), int(h * scale))
    if mode == "resize":
        return image.resize((nw, nh), Image.Resampling.LANCZOS)
    canvas = Image.new("RGBA", (nw, nh), fill)
    canvas.paste(image, ((nw - w) // 2, (nh - h) // 2), mask=image)
    return canvas


def noisy(width, height, mode="RGBA"):
    image = Image.effect_noise((width, height), 60).convert(mode)
    if mode == "RGBA":
        image.putalpha(Image.linear_gradient("L").resize((width, height)))
    return image


def encoded(image, format="PNG", **options):
    buffer = io.BytesIO()
    image.save(buffer, format, **options)
    return buffer.getvalue()


@pytest.mark.parametrize("mode", ["fill", "resize"])
@pytest.mark.parametrize("size", [(1, 1), (1, 2), (3, 5), (7, 3), (333, 211), (4001, 2), (2, 3001), (1024, 1024)])
def test_round_trip_is_pixel_exact(mode, size):
    data = encoded(noisy(*size))
    out = Framekit(need_adjust=mode).adjust_size(data)
    expected = pillow_result(data, mode)
    got = Image.open(io.BytesIO(out))
    assert (got.format, got.mode, got.size) == ("PNG", "RGBA", expected.size)
    assert got.tobytes() == expected.tobytes()
    assert [kind for kind, _ in chunks(out)][0] == b"IHDR"


def test_fully_transparent_keeps_hidden_colour():
    image = Image.new("RGBA", (300, 200), (12, 34, 56, 0))
    out = Framekit(need_adjust="resize").adjust_size(encoded(image), expand_percent=0)
    assert Image.open(io.BytesIO(out)).tobytes() == image.tobytes()


@pytest.mark.parametrize("threads", ["1", "2", "4", "junk"])
def test_threads_give_the_same_file(monkeypatch, threads):
    data = encoded(noisy(900, 1500))  # several bands
    monkeypatch.setenv("KAVIRA_PNG_THREADS", "1")
    one = Framekit().adjust_size(data)
    monkeypatch.setenv("KAVIRA_PNG_THREADS", threads)
    assert Framekit().adjust_size(data) == one
    assert Image.open(io.BytesIO(one)).tobytes() == pillow_result(data, "fill").tobytes()


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("size", [(5, 3), (900, 1500), (300000, 3)])
def test_idat_is_one_zlib_stream_that_ends_with_the_rows(monkeypatch, threads, size):
    # Each band ends on a sync flush; only the closing block may end the stream.
    monkeypatch.setenv("KAVIRA_PNG_THREADS", threads)
    out = Framekit(need_adjust="resize").adjust_size(encoded(noisy(*size)), expand_percent=0)
    stream = zlib.decompressobj()
    rows = stream.decompress(b"".join(body for kind, body in chunks(out) if kind == b"IDAT"))
    assert stream.eof and not stream.unused_data
    assert len(rows) == size[1] * (size[0] * 4 + 1)


def test_isal_without_its_parallel_compressor_leaves_it_to_pillow():
    pytest.importorskip("isal")
    script = (
        "import io; from isal import isal_zlib; del isal_zlib._ParallelCompress\n"
        "from PIL import Image; from kavira.framekit import Framekit; from kavira import cli\n"
        "b = io.BytesIO(); Image.new('RGBA', (50, 40), 'teal').save(b, 'PNG')\n"
        "out = Framekit().adjust_size(b.getvalue())\n"
        "print(Image.open(io.BytesIO(out)).getpixel((0, 3)), cli.png_writer().split(',')[0])\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "(0, 128, 128, 255) PNG writer: Pillow's save"


def every_blend():
    """Source channels and alphas in every pair: red is x, green 255 - x, alpha y."""
    x = Image.linear_gradient("L").rotate(90).transpose(Image.Transpose.FLIP_LEFT_RIGHT)
    y = Image.linear_gradient("L")
    return Image.merge("RGBA", (x, x.point(lambda v: 255 - v), Image.effect_noise((256, 256), 80), y))


SOURCES = {
    "opaque": lambda: noisy(97, 61, "RGB").convert("RGBA"),
    "transparent": lambda: Image.new("RGBA", (97, 61), (40, 50, 60, 0)),
    "half": lambda: noisy(97, 61),
    "every blend": every_blend,
}
FILLS = [(255, 255, 255, 0), (10, 200, 30), (10, 200, 30, 77), "teal", "#11223380", 0x80402010, 7, None]


@pytest.mark.parametrize("fill", FILLS, ids=repr)
@pytest.mark.parametrize("source", SOURCES)
def test_fill_blends_as_pillows_paste(source, fill):
    data = encoded(SOURCES[source]())
    out = Framekit(need_adjust="fill", fill_color=fill).adjust_size(data, expand_percent=40)
    assert Image.open(io.BytesIO(out)).tobytes() == pillow_result(data, "fill", 40, fill).tobytes()


@pytest.mark.parametrize("group", range(4))
def test_fill_blends_every_fill_value(group):
    data = encoded(every_blend())
    for k in range(16 * group, 16 * group + 16):
        fill = (4 * k, 4 * k + 1, 4 * k + 2, 4 * k + 3)
        out = Framekit(need_adjust="fill", fill_color=fill).adjust_size(data, expand_percent=20)
        assert Image.open(io.BytesIO(out)).tobytes() == pillow_result(data, "fill", 20, fill).tobytes(), fill


@pytest.mark.parametrize("source_mode", ["RGBA", "RGB"])
@pytest.mark.parametrize("threads", ["1", "2", "4"])
def test_fill_bands_of_only_fill_and_the_rows_between(monkeypatch, threads, source_mode):
    # A short wide image in a tall canvas: bands above and below it are fill
    # alone, and the row above each band is sometimes the source's edge; an
    # opaque source's bands wholly inside it (two of 131 rows) are taken as they are.
    monkeypatch.setenv("KAVIRA_PNG_THREADS", threads)
    data = encoded(noisy(2000, 400, source_mode))
    out = Framekit(need_adjust="fill", fill_color=(1, 2, 3, 4)).adjust_size(data, expand_percent=200)
    assert Image.open(io.BytesIO(out)).tobytes() == pillow_result(data, "fill", 200, (1, 2, 3, 4)).tobytes()


@pytest.mark.parametrize("fill, made", [
    ((1, 2, 3, 4), False), ((1, 2, 3), False), (None, False), ("teal", True), ((300, 0, 0), True), (7, True),
])
def test_canvas_is_made_only_when_pillow_must_read_the_colour(fill, made):
    # Without isal's parallel compressor Pillow writes the file, from its own canvas.
    try:
        from isal.isal_zlib import _ParallelCompress  # noqa: F401
    except ImportError:
        made = fill is not None
    data = encoded(noisy(40, 30))
    spy = Spy(Image.core.fill)
    with mock.patch.object(Image.core, "fill", spy):
        out = Framekit(need_adjust="fill", fill_color=fill).adjust_size(data)
    assert bool(spy.calls) == made
    assert Image.open(io.BytesIO(out)).tobytes() == pillow_result(data, "fill", fill=fill).tobytes()


def test_canvas_is_made_when_the_class_has_its_own_attribute_lookup():
    # With __getattr__ on the class a fresh canvas's reads are no longer the class's alone.
    data = encoded(noisy(40, 30))
    spy = Spy(Image.core.fill)
    with mock.patch.object(Image.core, "fill", spy), \
            mock.patch.object(Image.Image, "__getattr__", lambda self, name: object.__getattribute__(self, name),
                              create=True):
        out = Framekit().adjust_size(data)
    assert spy.calls
    assert Image.open(io.BytesIO(out)).tobytes() == pillow_result(data, "fill").tobytes()


@pytest.mark.parametrize("name", ["new", "paste"])
def test_replaced_new_or_paste_is_called(name):
    data = encoded(noisy(40, 30))
    where = Image if name == "new" else Image.Image
    spy = Spy(getattr(where, name))
    with mock.patch.object(where, name, spy if name == "new" else lambda *a, **k: spy(*a, **k)):
        out = Framekit().adjust_size(data)
    assert spy.calls
    assert Image.open(io.BytesIO(out)).tobytes() == pillow_result(data, "fill").tobytes()


@pytest.mark.parametrize("mode, kept", [("resize", True), ("fill", False)])
def test_icc_profile_like_pillow(mode, kept):
    profile = bytes(range(256)) * 3
    data = encoded(noisy(64, 48, "RGB"), "JPEG", icc_profile=profile)
    out = Framekit(need_adjust=mode).adjust_size(data)
    reference = encoded(pillow_result(data, mode), "PNG", quality=95)
    assert [k for k, _ in chunks(out) if k != b"IDAT"] == [k for k, _ in chunks(reference) if k != b"IDAT"]
    assert Image.open(io.BytesIO(out)).info.get("icc_profile") == (profile if kept else None)


class Spy:
    def __init__(self, target):
        self.target, self.calls = target, []

    def __call__(self, *args, **kwargs):
        self.calls.append(kwargs)
        return self.target(*args, **kwargs)


@pytest.mark.parametrize("where, name", [
    (Image.Image, "save"), (framekit, "BytesIO"), (Image, "SAVE"),
])
def test_replaced_path_falls_back_to_save(where, name):
    data = encoded(noisy(40, 30))
    expected = encoded(pillow_result(data, "fill"), "PNG", quality=95)
    if name == "SAVE":
        spy = Spy(PngImagePlugin._save)
        patch = mock.patch.dict(Image.SAVE, {"PNG": spy})
    else:
        spy = Spy(getattr(where, name))
        patch = mock.patch.object(where, name, spy if name != "save" else lambda *a, **k: spy(*a, **k))
    with patch:
        assert Framekit().adjust_size(data) == expected
    assert spy.calls


def test_subclass_result_falls_back():
    class Mine(Image.Image):
        pass

    calls = []
    original_new = Image.new

    def new(*args, **kwargs):
        image = original_new(*args, **kwargs)
        image.__class__ = Mine
        return image

    def save(self, *args, **kwargs):
        calls.append(kwargs)
        return Image.Image.save(self, *args, **kwargs)

    Mine.save = save
    data = encoded(noisy(40, 30))
    with mock.patch.object(framekit.Image, "new", new):
        Framekit().adjust_size(data)
    assert calls == [{"format": "PNG", "quality": 95}]


def test_without_isal_pillow_saves_at_its_fastest_level():
    script = (
        "import sys, io; sys.modules['isal'] = None\n"
        "from PIL import Image; from kavira.framekit import Framekit\n"
        "b = io.BytesIO(); Image.new('RGBA', (50, 40), 'teal').save(b, 'PNG')\n"
        "out = Framekit().adjust_size(b.getvalue())\n"
        "im = Image.open(io.BytesIO(out)); print(im.size, im.getpixel((0, 0)), im.getpixel((0, 3)))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "(50, 44) (255, 255, 255, 0) (0, 128, 128, 255)"


# ---------------------------------------------------------------------------
# The early return after a reader closed the stream

class ClosingImage(ImageFile.ImageFile):
    """Reads everything, then closes the caller's stream, as FTEX does."""
    format = "KVCLOSE"

    def _open(self):
        data = self.fp.read()
        self.fp.close()
        self.fp = io.BytesIO(data)
        self._mode, self._size = "RGB", (16, 9)
        self.tile = [ImageFile._Tile("raw", (0, 0, 16, 9), 6, ("RGB", 0, 1))]


@pytest.fixture
def closing_format():
    Image.register_open(ClosingImage.format, ClosingImage, lambda prefix: prefix[:6] == b"KVCLOS")
    yield
    Image.OPEN.pop(ClosingImage.format)
    Image.ID.remove(ClosingImage.format)


def test_closed_stream_early_return(closing_format):
    data = b"KVCLOS" + bytes(range(16 * 9 * 3 % 256)) * 2 + bytes(16 * 9 * 3)
    assert Framekit("3:4").adjust_size(data, True) == (data, "3:4")
    assert Framekit("3:4").adjust_size(data) == data
    out = Framekit("16:9").adjust_size(data)
    assert Image.open(io.BytesIO(out)).size == (16, 9)


def test_open_stream_early_return_is_the_input_object():
    data = encoded(Image.new("RGB", (64, 36)))
    assert Framekit("3:4").adjust_size(data) is data


@pytest.mark.parametrize("case", ["smaller canvas", "replaced BytesIO"])
def test_canvas_the_writer_cannot_take_is_made_before_the_reads_that_follow_it(monkeypatch, case):
    # The writer leaves the canvas undone only when it will write the file; otherwise
    # Image.new runs where the Python code calls it, before working.width is read.
    events = []
    real_fill, width = Image.core.fill, Image.Image.width
    monkeypatch.setattr(Image.core, "fill", lambda *a: events.append("fill") or real_fill(*a))
    monkeypatch.setattr(Image.Image, "width", property(lambda self: events.append("width") or width.fget(self)))
    if case == "replaced BytesIO":
        monkeypatch.setattr(framekit, "BytesIO", lambda *a: io.BytesIO(*a))
    Framekit().adjust_size(encoded(noisy(40, 30)), expand_percent=-20 if case == "smaller canvas" else 10)
    assert events == ["fill", "width"]
