"""Output sizes that an image-generation service accepts."""

from typing import ClassVar, Dict, Optional, TypedDict, type_check_only

# For type checkers only: the module has no such name at run time. Import it
# under `if TYPE_CHECKING:`.
@type_check_only
class SizeResult(TypedDict):
    width: int
    height: int
    size: str
    pixels: int
    aspect_ratio: str
    resolution: str
    valid: bool

class TesselSizeCalculator:
    MIN_PIXELS: ClassVar[int]
    MAX_PIXELS: ClassVar[int]
    MAX_EDGE: ClassVar[int]
    MULTIPLE: ClassVar[int]
    MAX_RATIO: ClassVar[float]
    RESOLUTION_PRESET: ClassVar[Dict[str, int]]
    def __init__(self) -> None: ...
    @classmethod
    def round_to_multiple(cls, value: float, multiple: Optional[float] = None) -> int: ...
    @classmethod
    def floor_to_multiple(cls, value: float, multiple: Optional[float] = None) -> int: ...
    @classmethod
    def is_valid_image_size(cls, width: float, height: float) -> bool: ...
    @classmethod
    def calc_size(cls, aspect_ratio: str = "1:1", resolution: str = "2k", strict: object = False) -> SizeResult: ...
