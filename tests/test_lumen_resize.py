import pytest
from PIL import Image

from kavira import lumen, resize
from kavira.lumen import LumenImageScale
from kavira.resize import image_resize


@pytest.mark.parametrize(
    "source, chosen",
    [((1920, 1080), (1392, 752)), ((1080, 1920), (752, 1392)), ((1000, 1000), (1024, 1024)),
     ((4000, 3000), (1184, 880)), ((3000, 4000), (880, 1184)), ((2100, 900), (1568, 672)),
     ((10000, 100), (1568, 672)), ((100, 10000), (672, 1568)), ((64, 59), (1024, 1024)),
     ((64, 69), (944, 1104)), ((1024, 1024), (1024, 1024))],
)
def test_lumen_table(source, chosen):
    image = Image.new("RGB", source)
    result = LumenImageScale(image).start()
    assert result.size == chosen and result is not image and image.size == source


def test_lumen_list_through_instance_and_replaced_image():
    scaler = LumenImageScale(Image.new("RGB", (100, 100)))
    scaler.PREFERED_LUMEN_RESOLUTIONS = [(10, 20), (25, 20)]
    assert scaler.start().size == (25, 20)
    scaler.image = Image.new("RGB", (10, 30))
    assert scaler.start().size == (10, 20)


class FakeImage:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.calls = []

    def resize(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "resized"


def test_lumen_calls_resize_positionally_with_lanczos():
    fake = FakeImage(1000, 1000)
    assert LumenImageScale(fake).start() == "resized"
    assert fake.calls == [(((1024, 1024), Image.Resampling.LANCZOS), {})]


def interpreter_message(call):
    try:
        call()
    except Exception as error:
        return str(error)


@pytest.mark.parametrize(
    "rows, error, message",
    [([], ValueError, interpreter_message(lambda: min([]))), ([(1, 2, 3)], ValueError, "too many values to unpack"),
     ([(1,)], ValueError, "need more than 1 value to unpack"), ([(1, 0)], ZeroDivisionError, "division by zero")],
)
def test_lumen_replaced_list_errors(rows, error, message):
    scaler = LumenImageScale(FakeImage(1, 1))
    scaler.PREFERED_LUMEN_RESOLUTIONS = rows
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        scaler.start()


# An image of 5 x 4 lies exactly midway between 2/1 and 2/4 (0.75 either
# way), so rows of one width tie on the distance and the smaller height wins,
# as min() over the triples decides, whatever their order. Lists of lists
# take the general loop, lists of int tuples the native one.
@pytest.mark.parametrize("rows, chosen", [
    ([(2, 4), (2, 1)], (2, 1)), ([(2, 1), (2, 4)], (2, 1)), ([(3, 9), (2, 4), (2, 1), (9, 1)], (2, 1)),
    ([(4, 1), (2, 4), (2, 1)], (2, 1)), ([(2, 4), (2.0, 1)], (2.0, 1)),
])
@pytest.mark.parametrize("row_type", [tuple, list])
def test_lumen_tie_on_distance_and_width_goes_to_the_smaller_height(rows, chosen, row_type):
    fake = FakeImage(5, 4)
    scaler = LumenImageScale(fake)
    scaler.PREFERED_LUMEN_RESOLUTIONS = [row_type(row) for row in rows]
    scaler.start()
    assert fake.calls[0][0][0] == chosen
    assert min((abs(5 / 4 - w / h), w, h) for w, h in rows)[1:] == chosen


def test_lumen_general_values_and_failures():
    from fractions import Fraction

    fake = FakeImage(Fraction(1), Fraction(1))
    LumenImageScale(fake).start()
    assert fake.calls[0][0][0] == (1024, 1024)
    with pytest.raises(ZeroDivisionError):
        LumenImageScale(FakeImage(1, 0)).start()
    with pytest.raises(AttributeError):
        LumenImageScale(object()).start()


def test_lumen_metadata():
    assert len(LumenImageScale.PREFERED_LUMEN_RESOLUTIONS) == 17
    assert LumenImageScale.__init__.__annotations__ == {"image": "Image"}
    assert LumenImageScale.start.__annotations__ == {"return": "Image"}
    assert LumenImageScale.__doc__.endswith("使用 LANCZOS 算法进行高质量缩放。\n    ")


@pytest.mark.parametrize(
    "source, box, offset, inner",
    [((400, 300), (200, 200), (0, 25), (200, 150)), ((300, 400), (200, 200), (25, 0), (150, 200)),
     ((100, 50), (400, 400), (0, 100), (400, 200)), ((100, 100), (101, 50), (25, 0), (50, 50)),
     ((11, 11), (15, 15), (0, 0), (14, 14)), ((200, 200), (200, 200), (0, 0), (200, 200))],
)
def test_resize_table(source, box, offset, inner):
    image = Image.new("RGBA", source, (255, 255, 255, 255))
    result = image_resize(image, *box)
    assert (result.mode, result.size) == ("RGB", box)
    x, y = offset
    assert result.getbbox() == (x, y, x + inner[0], y + inner[1])


def test_resize_background_and_conversion():
    result = image_resize(Image.new("L", (10, 10), 255), 200.7, 20, (0, 0, 255))
    assert result.size == (200, 20) and result.getpixel((0, 0)) == (0, 0, 255)
    assert result.getpixel((199, 0)) == (0, 0, 255)
    with pytest.raises(TypeError, match="Argument 'target_w' has incorrect type \\(expected int, got str\\)"):
        image_resize(Image.new("RGB", (1, 1)), "200", 20)
    assert image_resize.__defaults__ == ((0, 0, 0),)


def test_resize_transparency_is_not_blended():
    result = image_resize(Image.new("RGBA", (10, 10), (255, 0, 0, 0)), 10, 10, (0, 255, 0))
    assert result.getpixel((5, 5)) == (255, 0, 0)


def test_resize_canvas_first_and_errors(monkeypatch):
    with pytest.raises(ValueError):
        image_resize(object(), -1, 10)  # Pillow refuses the canvas before the source is read
    with pytest.raises(AttributeError):
        image_resize(object(), 10, 10)
    with pytest.raises(ZeroDivisionError):
        image_resize(FakeSized((0, 5)), 10, 10)
    with pytest.raises(ValueError, match="too many values"):
        image_resize(FakeSized((1, 2, 3)), 10, 10)


class FakeSized:
    def __init__(self, size):
        self.size = size


def test_resize_looks_up_globals(monkeypatch):
    made = []

    class Recorder:
        @staticmethod
        def new(*args):
            made.append(args)
            return Image.new(*args)

    monkeypatch.setattr(resize, "Image", Recorder)
    image_resize(Image.new("RGB", (4, 4)), 8, 8, "white")
    assert made == [("RGB", (8, 8), "white")]
