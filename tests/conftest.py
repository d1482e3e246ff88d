import io

import pytest
from PIL import Image


def encode(image, format="PNG", **options):
    buffer = io.BytesIO()
    image.save(buffer, format=format, **options)
    return buffer.getvalue()


def decode(data):
    return Image.open(io.BytesIO(data))


def solid_png(width, height, color=(200, 30, 30), mode="RGB"):
    return encode(Image.new(mode, (width, height), color))


@pytest.fixture
def png_1920x1080():
    return solid_png(1920, 1080)


def pytest_configure(config):
    # Read by the leak check of tests/refleaks.py.
    config.addinivalue_line(
        "markers", "refleaks_exempt(reason): the test's growth is another library's, shown by "
                   "its plain-Python rendering growing alike; it runs once, unmeasured")
