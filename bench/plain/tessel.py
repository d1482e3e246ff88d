import math

from svcfault import ServiceError

from ._entry import as_int, exactly, unpack


def _result_int(value):
    # The return annotation "int": anything int() takes is converted.
    if type(value) is int:
        return value
    kind = type(value)
    if hasattr(kind, "__index__") or hasattr(kind, "__int__"):
        return int(value)
    raise TypeError(f"Expected int, got {kind.__name__}")


class TesselSizeCalculator:
    MIN_PIXELS = 655360
    MAX_PIXELS = 8294400
    MAX_EDGE = 3840
    MULTIPLE = 2
    MAX_RATIO = 3.0
    RESOLUTION_PRESET = {"1k": 1572516, "2k": 6553600, "4k": 8294400}

    def __init__(self):
        pass

    @classmethod
    def round_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = round(value / multiple) * multiple
        return _result_int(max(multiple, int(val)))

    @classmethod
    def floor_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = math.floor(value / multiple) * multiple
        return _result_int(max(multiple, int(val)))

    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool:
        width = as_int("width", width)
        height = as_int("height", height)
        pixels = width * height
        long_edge = max(width, height)
        short_edge = min(width, height)
        ratio = long_edge / short_edge
        edge_ok = long_edge <= cls.MAX_EDGE
        width_ok = width % cls.MULTIPLE == 0
        height_ok = height % cls.MULTIPLE == 0
        ratio_ok = ratio <= cls.MAX_RATIO
        pixels_ok = cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS
        return bool(edge_ok and width_ok and height_ok and ratio_ok and pixels_ok)

    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k", strict: bool = False):
        aspect_ratio = exactly("aspect_ratio", aspect_ratio, str)
        resolution = exactly("resolution", resolution, str)
        strict = bool(strict)
        resolution = resolution.lower()
        if aspect_ratio == "" or aspect_ratio.lower() == "auto":
            rw, rh = 1, 1
        else:
            rw, rh = unpack(map(int, aspect_ratio.split(":")), 2)
        ratio = rw / rh
        long_r = max(rw, rh)
        short_r = min(rw, rh)
        if long_r / short_r > cls.MAX_RATIO:
            if strict:
                raise ServiceError("图像宽高比不合法, 相差太大", aspect_ratio=aspect_ratio)
            if rw >= rh:
                rw = int(cls.MAX_RATIO * short_r)
                rh = short_r
            else:
                rw = short_r
                rh = int(cls.MAX_RATIO * short_r)
            ratio = rw / rh

        target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
        target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
        w = math.sqrt(target_pixels * ratio)
        h = w / ratio

        max_loop = 20
        for _ in range(max_loop):
            w_align = cls.round_to_multiple(w)
            h_align = cls.round_to_multiple(h)
            current_pixels = w_align * h_align
            if cls.is_valid_image_size(w_align, h_align):
                w, h = w_align, h_align
                break
            if current_pixels > cls.MAX_PIXELS:
                scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
                w *= scale
                h *= scale
                continue
            long_e = max(w, h)
            if long_e > cls.MAX_EDGE:
                scale = cls.MAX_EDGE / long_e
                w *= scale
                h *= scale
                continue
            if current_pixels < cls.MIN_PIXELS:
                scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
                w *= scale
                h *= scale
                continue
            w = cls.floor_to_multiple(w)
            h = cls.floor_to_multiple(h)

        width = int(w)
        height = int(h)
        final_pixels = width * height
        return {
            "width": width,
            "height": height,
            "size": f"{width}x{height}",
            "pixels": final_pixels,
            "aspect_ratio": aspect_ratio,
            "resolution": resolution,
            "valid": cls.is_valid_image_size(width, height),
        }
