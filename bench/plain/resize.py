from PIL import Image
from PIL.Image import Resampling

from ._entry import as_int, unpack


def image_resize(image: "Image", target_w: int, target_h: int, bg_color=(0, 0, 0)) -> "Image":
    target_w = as_int("target_w", target_w)
    target_h = as_int("target_h", target_h)
    canvas = Image.new("RGB", (target_w, target_h), bg_color)
    s_w, s_h = unpack(image.size, 2)
    ratio = min(target_w / s_w, target_h / s_h)
    new_w = int(s_w * ratio)
    new_h = int(s_h * ratio)
    resized_img = image.resize((new_w, new_h), Resampling.LANCZOS)
    paste_x = (target_w - new_w) // 2
    paste_y = (target_h - new_h) // 2
    canvas.paste(resized_img, (paste_x, paste_y))
    return canvas
