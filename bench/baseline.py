"""Plain-Python renderings of kavira's rules, used only as benchmark baselines.

Nothing imports this outside bench/. Each class follows the same rules as
its native counterpart, written the obvious way in Python.
"""

import math
import os
import pickle
import re
from io import BytesIO
from typing import List, Optional, Tuple

from PIL import Image


class Framekit:
    STANDARD_RATIO_LIST = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

    def __init__(self, proportion: Optional[str] = None, need_adjust: str = "fill",
                 fill_color=(255, 255, 255, 0), **kwargs):
        self.proportion = None if isinstance(proportion, str) and proportion.strip() == "" else proportion
        self.need_adjust = need_adjust
        self.fill_color = fill_color
        self.kwargs = kwargs
        self._std_ratio_map = {}
        for r in self.STANDARD_RATIO_LIST:
            w, h = self._parse_ratio(r)
            self._std_ratio_map[r] = w / h

    @staticmethod
    def _parse_ratio(ratio_str: str) -> Tuple[int, int]:
        m = re.match(r"(\d+):(\d+)", ratio_str.strip())
        if not m:
            raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
        return int(m.group(1)), int(m.group(2))

    def _get_closest_standard_ratio(self, width: int, height: int) -> str:
        img_ratio = width / height
        min_diff = float("inf")
        best = self.STANDARD_RATIO_LIST[0]
        for ratio, value in self._std_ratio_map.items():
            diff = abs(img_ratio - value)
            if diff < min_diff:
                min_diff, best = diff, ratio
        return best


class ImageAspectra:
    def __init__(self, approx_search_range: int = 10):
        self.approx_search_range = approx_search_range

    def get_approx_simple_ratio(self, image_bytes: bytes) -> str:
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = img.size
        target = width / height
        min_error = float("inf")
        best_w, best_h = width, height
        limit = self.approx_search_range
        for i in range(1, limit + 1):
            for j in range(1, limit + 1):
                error = abs(i / j - target)
                if error < min_error:
                    min_error, best_w, best_h = error, i, j
        return f"{best_w}:{best_h}"


class TesselSizeCalculator:
    MIN_PIXELS = 655360
    MAX_PIXELS = 8294400
    MAX_EDGE = 3840
    MULTIPLE = 2
    MAX_RATIO = 3.0
    RESOLUTION_PRESET = {"1k": 1572516, "2k": 6553600, "4k": 8294400}

    @classmethod
    def round_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = round(value / multiple) * multiple
        return max(multiple, int(val))

    @classmethod
    def floor_to_multiple(cls, value, multiple=None) -> int:
        if multiple is None:
            multiple = cls.MULTIPLE
        val = math.floor(value / multiple) * multiple
        return max(multiple, int(val))

    @classmethod
    def is_valid_image_size(cls, width: int, height: int) -> bool:
        pixels = width * height
        long_edge, short_edge = max(width, height), min(width, height)
        ratio = long_edge / short_edge
        return (long_edge <= cls.MAX_EDGE and width % cls.MULTIPLE == 0 and height % cls.MULTIPLE == 0
                and ratio <= cls.MAX_RATIO and cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS)

    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k", strict: bool = False):
        resolution = resolution.lower()
        if aspect_ratio == "" or aspect_ratio.lower() == "auto":
            rw, rh = 1, 1
        else:
            rw, rh = map(int, aspect_ratio.split(":"))
        ratio = rw / rh
        long_r, short_r = max(rw, rh), min(rw, rh)
        if long_r / short_r > cls.MAX_RATIO:
            if strict:
                raise ValueError("图像宽高比不合法, 相差太大")
            if rw >= rh:
                rw, rh = int(cls.MAX_RATIO * short_r), short_r
            else:
                rw, rh = short_r, int(cls.MAX_RATIO * short_r)
            ratio = rw / rh
        target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
        target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
        w = math.sqrt(target_pixels * ratio)
        h = w / ratio
        for _ in range(20):
            w_align, h_align = cls.round_to_multiple(w), cls.round_to_multiple(h)
            current_pixels = w_align * h_align
            if cls.is_valid_image_size(w_align, h_align):
                w, h = w_align, h_align
                break
            if current_pixels > cls.MAX_PIXELS:
                scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
                w, h = w * scale, h * scale
                continue
            long_e = max(w, h)
            if long_e > cls.MAX_EDGE:
                scale = cls.MAX_EDGE / long_e
                w, h = w * scale, h * scale
                continue
            if current_pixels < cls.MIN_PIXELS:
                scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
                w, h = w * scale, h * scale
                continue
            w, h = cls.floor_to_multiple(w), cls.floor_to_multiple(h)
        width, height = int(w), int(h)
        final_pixels = width * height
        return {"width": width, "height": height, "size": f"{width}x{height}", "pixels": final_pixels,
                "aspect_ratio": aspect_ratio, "resolution": resolution,
                "valid": cls.is_valid_image_size(width, height)}


def _xor(data: bytes, key: bytes) -> bytes:
    return bytes(b ^ key[i % len(key)] for i, b in enumerate(data))


def _load_default_words() -> List[str]:
    try:
        from kavira._wordvault import _ED, _EK

        return pickle.loads(_xor(_ED, _EK))
    except Exception:
        return []


class PromptBanChecker:
    def __init__(self, ban_word_file=None, ignore_case=True, builtin_words=None, use_default=True,
                 exclude_words=None):
        self.ban_word_file = ban_word_file
        self.ignore_case = bool(ignore_case)
        self.builtin_words = builtin_words if builtin_words else []
        self.use_default = bool(use_default)
        self.exclude_words = exclude_words if exclude_words else []
        self.banned_words: List[str] = []
        self._ban_regex = None
        self._automaton = None
        self.load_banned_words()

    def load_banned_words(self) -> None:
        seen, word_list = set(), []

        def _add_words(words):
            for item in words:
                w = item.strip()
                if w and w not in seen:
                    seen.add(w)
                    word_list.append(w)

        if self.use_default:
            _add_words(_load_default_words())
        _add_words(self.builtin_words)
        if self.ban_word_file:
            if not os.path.exists(self.ban_word_file):
                raise FileNotFoundError(f"违禁词文件不存在: {self.ban_word_file}")
        if self.exclude_words:
            if self.ignore_case:
                exclude = {w.strip().lower() for w in self.exclude_words if w.strip()}
                word_list = [w for w in word_list if w.lower() not in exclude]
            else:
                exclude = {w.strip() for w in self.exclude_words if w.strip()}
                word_list = [w for w in word_list if w not in exclude]
        word_list.sort(key=len, reverse=True)
        self.banned_words = word_list
        self._build_engine()

    def _build_engine(self) -> None:
        import ahocorasick

        if not self.banned_words:
            self._ban_regex = self._automaton = None
        elif len(self.banned_words) >= 50:
            auto = ahocorasick.Automaton()
            for word in self.banned_words:
                auto.add_word(word.lower() if self.ignore_case else word, word)
            auto.make_automaton()
            self._automaton, self._ban_regex = auto, None
        else:
            self._automaton = None
            pattern = "|".join(re.escape(w) for w in self.banned_words)
            self._ban_regex = re.compile(pattern, flags=re.IGNORECASE if self.ignore_case else 0)
