"""How a host application prepares one image-generation request with kavira.

Run it with an image path and, optionally, a prompt:

    python examples/host_request.py photo.jpg "a quiet harbour"
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Optional, Tuple

from svcfault import PromptBanError, ServiceError

from kavira.framekit import Framekit
from kavira.tessel import TesselSizeCalculator
from kavira.wordgate import PromptBanChecker

if TYPE_CHECKING:
    # SizeResult exists only in the stubs, for type checkers; importing it at
    # run time fails.
    from kavira.tessel import SizeResult

CHECKER = PromptBanChecker(builtin_words=["forbidden"])


def prepare(prompt: str, image_bytes: bytes, ratio: Optional[str], tier: str) -> Tuple[bytes, SizeResult]:
    checked: str = CHECKER.check(prompt)
    assert checked is prompt
    adjusted, closest = Framekit(proportion=ratio).adjust_size(image_bytes, return_origin_ratio=True)
    size: SizeResult = TesselSizeCalculator.calc_size(closest, tier, strict=True)
    return adjusted, size


def main(argv: list[str]) -> int:
    with open(argv[1], "rb") as f:
        data = f.read()
    try:
        adjusted, size = prepare(argv[2] if len(argv) > 2 else "a quiet harbour", data, None, "2k")
    except PromptBanError as error:
        print(f"refused: {error.error_msg}", file=sys.stderr)
        return 1
    except ServiceError as error:
        print(f"refused: {error.message}", file=sys.stderr)
        return 1
    width: int = size["width"]
    print(f"{len(adjusted)} bytes, request {size['size']} ({width} wide)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
