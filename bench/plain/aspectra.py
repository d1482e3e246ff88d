from io import BytesIO

from PIL import Image

from ._entry import as_int, exactly, unpack


class ImageAspectra:
    def __init__(self, approx_search_range: int = 10):
        self.approx_search_range = as_int("approx_search_range", approx_search_range)

    @staticmethod
    def _gcd(a: int, b: int) -> int:
        a = as_int("a", a)
        b = as_int("b", b)
        while b:
            a, b = b, a % b
        return a

    def get_raw_simple_ratio(self, image_bytes: bytes) -> str:
        image_bytes = exactly("image_bytes", image_bytes, bytes)
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = unpack(img.size, 2)
        div = self._gcd(width, height)
        w = width // div
        h = height // div
        return f"{w}:{h}"

    def get_approx_simple_ratio(self, image_bytes: bytes) -> str:
        image_bytes = exactly("image_bytes", image_bytes, bytes)
        with BytesIO(image_bytes) as buf:
            with Image.open(buf) as img:
                width, height = unpack(img.size, 2)
        target = width / height
        min_error = float("inf")
        best_w, best_h = width, height
        limit = self.approx_search_range
        for i in range(1, limit + 1):
            for j in range(1, limit + 1):
                current = i / j
                error = abs(current - target)
                if error < min_error:
                    min_error = error
                    best_w, best_h = i, j
        return f"{best_w}:{best_h}"
