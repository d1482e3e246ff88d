"""Scaling image objects to the nearest preferred resolution."""

from typing import ClassVar, List, Tuple

from PIL import Image as Image

class LumenImageScale:
    PREFERED_LUMEN_RESOLUTIONS: ClassVar[List[Tuple[int, int]]]
    image: Image.Image
    def __init__(self, image: Image.Image) -> None: ...
    def start(self) -> Image.Image: ...
