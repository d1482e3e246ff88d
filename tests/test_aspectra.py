import inspect
import io
import threading
import time

import pytest
from conftest import solid_png
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
