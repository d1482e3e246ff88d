import io
from io import BytesIO
from typing import Optional, Tuple

from PIL import Image
import re
import math

from ._entry import as_float, as_int, exactly, unpack


class Framekit:
    STANDARD_RATIO_LIST = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

    def __init__(self, proportion: Optional[str] = None, need_adjust: str = "fill",
                 fill_color=(255, 255, 255, 0), **kwargs):
        proportion = exactly("proportion", proportion, str, optional=True)
        need_adjust = exactly("need_adjust", need_adjust, str)
        if isinstance(proportion, str) and proportion.strip() == "":
            proportion = None
        self.proportion = proportion
        self.need_adjust = need_adjust
        self.fill_color = fill_color
        self.kwargs = kwargs
        self._std_ratio_map = {}
        for r in self.STANDARD_RATIO_LIST:
            w, h = unpack(self._parse_ratio(r), 2)
            self._std_ratio_map[r] = w / h

    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]:
        ratio_str = exactly("ratio_str", ratio_str, str)
        m = re.match(r"(\d+):(\d+)", ratio_str.strip())
        if not m:
            raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
        return int(m.group(1)), int(m.group(2))

    def _get_closest_standard_ratio(self, width: int, height: int) -> str:
        width = as_int("width", width)
        height = as_int("height", height)
        img_ratio = width / height
        min_diff = float("inf")
        best_ratio = self.STANDARD_RATIO_LIST[0]
        for entry in self._std_ratio_map.items():
            ratio, value = unpack(entry, 2)
            diff = abs(img_ratio - value)
            if diff < min_diff:
                min_diff = diff
                best_ratio = ratio
        return best_ratio

    def adjust_size(self, image_bytes: bytes, return_origin_ratio: bool = False, expand_percent: float = 10):
        image_bytes = exactly("image_bytes", image_bytes, bytes)
        return_origin_ratio = bool(return_origin_ratio)
        expand_percent = as_float("expand_percent", expand_percent)
        scale = expand_percent / 100 + 1
        buffer = BytesIO(image_bytes)
        img = Image.open(buffer).convert("RGBA")
        ori_w, ori_h = unpack(img.size, 2)
        closest_ratio = self._get_closest_standard_ratio(ori_w, ori_h)

        if self.proportion is not None and self.proportion != closest_ratio:
            if type(buffer) is io.BytesIO and buffer.closed:
                original = image_bytes  # a reader closed it; its content is image_bytes
            else:
                buffer.seek(0)
                original = buffer.read()
            return (original, self.proportion) if return_origin_ratio else original

        if ori_h > ori_w:
            new_w, new_h = int(ori_w * scale), ori_h
        elif ori_w > ori_h:
            new_w, new_h = ori_w, int(ori_h * scale)
        else:
            new_w, new_h = int(ori_w * scale), int(ori_h * scale)

        if self.need_adjust == "resize":
            result = img.resize((new_w, new_h), Image.Resampling.LANCZOS)
        elif self.need_adjust == "fill":
            result = Image.new("RGBA", (new_w, new_h), self.fill_color)
            paste_x = (new_w - img.width) // 2
            paste_y = (new_h - img.height) // 2
            result.paste(img, (paste_x, paste_y), mask=img if img.mode == "RGBA" else None)
        else:
            raise ValueError("need_adjust 仅支持 resize / fill")

        output_format = img.format or "PNG"
        output = BytesIO()
        result.save(output, format=output_format, quality=95)
        output.seek(0)
        encoded = output.read()
        return (encoded, closest_ratio) if return_origin_ratio else encoded
