"""Letterbox fitting of image objects into a box."""

from typing import Any

from PIL import Image as Image

def image_resize(image: Image.Image, target_w: float, target_h: float, bg_color: Any = (0, 0, 0)) -> Image.Image: ...
