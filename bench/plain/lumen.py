from PIL import Image
from PIL.Image import Resampling

from ._entry import unpack


class LumenImageScale:
    PREFERED_LUMEN_RESOLUTIONS = [
        (672, 1568), (688, 1504), (720, 1456), (752, 1392), (800, 1328), (832, 1248),
        (880, 1184), (944, 1104), (1024, 1024), (1104, 944), (1184, 880), (1248, 832),
        (1328, 800), (1392, 752), (1456, 720), (1504, 688), (1568, 672),
    ]

    def __init__(self, image: "Image"):
        self.image = image

    def start(self) -> "Image":
        aspect_ratio = self.image.width / self.image.height
        best = min(
            (abs(aspect_ratio - w / h), w, h) for w, h in (unpack(pair, 2) for pair in self.PREFERED_LUMEN_RESOLUTIONS)
        )
        _, output_width, output_height = best
        return self.image.resize((output_width, output_height), Resampling.LANCZOS)
