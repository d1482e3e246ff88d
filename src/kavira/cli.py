"""The ``kavira`` command: one host request, start to finish, on an image file.

It checks a prompt, measures the image, adjusts it to a target ratio and
computes the output size to ask the service for, then prints a JSON summary.
"""

from __future__ import annotations

import argparse
import io
import json
import pickle
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_BANNED = 3
EXIT_INPUT = 4

SAMPLE_SIZE = (1366, 768)
SAMPLE_PROMPT = "a lighthouse on a cliff at dawn, watercolour"

EPILOG = """\
examples:
  kavira                                  run on a built-in sample image
  kavira photo.jpg --prompt "a red fox in snow" --ratio 16:9 --mode fill
  kavira photo.png --expand-percent 20 --fill-color 0,0,0,255 -o out.png
  kavira photo.png --aspect-ratio 21:9 --resolution 4k --strict
  kavira photo.png --prompt "..." --word-file extra.txt --word forbidden

exit status: 0 success, 2 usage error, 3 prompt refused, 4 unreadable input
"""


class UserError(Exception):
    """A problem with the user's input, reported as one line without a traceback."""

    def __init__(self, message: str, status: int = EXIT_INPUT) -> None:
        super().__init__(message)
        self.status = status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kavira",
        description="Prepare an image-generation request: check the prompt, measure and adjust "
        "the image, and compute the output size to request.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("image", nargs="?", help="image file to process (default: a generated sample image)")
    prompt = parser.add_argument_group("prompt check")
    prompt.add_argument("--prompt", default=None, help="prompt text to check (default: a harmless sample prompt)")
    prompt.add_argument("--word-file", action="append", default=[], metavar="PATH",
                        help="extra banned-word file, text or .pkl/.pickle (repeatable)")
    prompt.add_argument("--word", action="append", default=[], metavar="WORD",
                        help="extra banned word (repeatable)")
    prompt.add_argument("--exclude", action="append", default=[], metavar="WORD",
                        help="word to remove from the banned list (repeatable)")
    prompt.add_argument("--no-default-words", action="store_true", help="do not load the built-in word list")
    prompt.add_argument("--case-sensitive", action="store_true", help="match banned words with case")
    image = parser.add_argument_group("image adjustment")
    image.add_argument("--ratio", default=None, metavar="W:H",
                       help="target ratio; an image whose nearest standard ratio differs is left unchanged")
    image.add_argument("--mode", choices=["fill", "resize"], default="fill",
                       help="grow the shorter side by filling around the image or by stretching it")
    image.add_argument("--expand-percent", type=float, default=10.0, metavar="N",
                       help="percentage to grow the shorter side by (negative shrinks; default 10)")
    image.add_argument("--fill-color", default="255,255,255,0", metavar="R,G,B,A",
                       help="fill colour for --mode fill (default transparent white)")
    image.add_argument("--approx-range", type=int, default=10, metavar="N",
                       help="largest numerator and denominator of the approximate ratio (default 10)")
    image.add_argument("-o", "--output", default="kavira-adjusted.png", metavar="PATH",
                       help="where to write the adjusted image (default kavira-adjusted.png)")
    size = parser.add_argument_group("service size")
    size.add_argument("--aspect-ratio", default=None, metavar="WORD",
                      help='ratio word for the output size, e.g. 16:9 or auto (default: the image\'s nearest ratio)')
    size.add_argument("--resolution", default="2k", metavar="TIER", help="resolution tier: 1k, 2k or 4k (default 2k)")
    size.add_argument("--strict", action="store_true", help="refuse ratios steeper than 3:1 instead of clamping")
    return parser


def parse_colour(text: str) -> tuple[int, ...]:
    try:
        parts = tuple(int(p) for p in text.split(","))
    except ValueError:
        parts = ()
    if len(parts) not in (3, 4) or not all(0 <= p <= 255 for p in parts):
        raise UserError(f"invalid --fill-color {text!r}: give R,G,B or R,G,B,A with values 0-255", EXIT_USAGE)
    return parts


def sample_image() -> bytes:
    """A gradient with a disc on it, so that a newcomer sees the tool work at once."""
    from PIL import Image, ImageDraw

    width, height = SAMPLE_SIZE
    image = Image.linear_gradient("L").resize(SAMPLE_SIZE).convert("RGB")
    ImageDraw.Draw(image).ellipse((width // 3, height // 4, width // 3 + height // 2, 3 * height // 4),
                                  fill=(240, 160, 40))
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    return buffer.getvalue()


def read_image(path: Optional[str]) -> tuple[bytes, str]:
    if path is None:
        return sample_image(), "built-in sample"
    try:
        return Path(path).read_bytes(), path
    except FileNotFoundError:
        raise UserError(f"image file not found: {path}") from None
    except OSError as error:
        raise UserError(f"cannot read image file {path}: {error.strerror or error}") from None


def check_prompt(args: argparse.Namespace) -> Dict[str, Any]:
    from kavira.wordgate import PromptBanChecker

    from svcfault import PromptBanError

    prompt = SAMPLE_PROMPT if args.prompt is None else args.prompt
    checkers = []
    try:
        if args.word_file:
            for word_file in args.word_file:
                checkers.append(PromptBanChecker(word_file, not args.case_sensitive, list(args.word),
                                                 not args.no_default_words, list(args.exclude)))
        else:
            checkers.append(PromptBanChecker(None, not args.case_sensitive, list(args.word),
                                             not args.no_default_words, list(args.exclude)))
    except FileNotFoundError as error:
        raise UserError(str(error)) from None
    except (ValueError, OSError, EOFError, pickle.UnpicklingError) as error:
        raise UserError(f"cannot read word file: {error}") from None
    for checker in checkers:
        try:
            checker.check(prompt)
        except PromptBanError as error:
            raise UserError(f"prompt refused: {error}", EXIT_BANNED) from None
    return {"prompt": prompt, "banned": False, "word_count": len(checkers[0].banned_words)}


def measure(data: bytes, source: str, approx_range: int) -> Dict[str, Any]:
    from PIL import Image, UnidentifiedImageError

    from kavira.aspectra import ImageAspectra

    try:
        with Image.open(io.BytesIO(data)) as image:
            width, height = image.size
            image_format = image.format
        analyser = ImageAspectra(approx_range)
        exact = analyser.get_raw_simple_ratio(data)
        approx = analyser.get_approx_simple_ratio(data)
    except UnidentifiedImageError:
        raise UserError(f"cannot read image {source}: not an image format Pillow recognises") from None
    except (OSError, SyntaxError, ValueError) as error:
        raise UserError(f"cannot read image {source}: {error}") from None
    return {"source": source, "format": image_format, "width": width, "height": height,
            "exact_ratio": exact, "approx_ratio": approx}


def adjust(data: bytes, args: argparse.Namespace) -> Dict[str, Any]:
    from PIL import Image

    from kavira.framekit import Framekit

    try:
        framekit = Framekit(args.ratio, args.mode, parse_colour(args.fill_color))
        adjusted, ratio = framekit.adjust_size(data, True, args.expand_percent)
    except ValueError as error:
        raise UserError(f"cannot adjust image: {error}") from None
    except OSError as error:
        raise UserError(f"cannot adjust image: {error}") from None
    changed = adjusted is not data
    try:
        Path(args.output).write_bytes(adjusted)
    except OSError as error:
        raise UserError(f"cannot write {args.output}: {error.strerror or error}") from None
    with Image.open(io.BytesIO(adjusted)) as image:
        size = image.size
    return {"output": args.output, "changed": changed, "ratio": ratio, "width": size[0], "height": size[1],
            "bytes": len(adjusted)}


def service_size(word: str, args: argparse.Namespace) -> Dict[str, Any]:
    from kavira.tessel import TesselSizeCalculator

    from svcfault import ServiceError

    try:
        return dict(TesselSizeCalculator.calc_size(word, args.resolution, args.strict))
    except ServiceError as error:
        raise UserError(f"aspect ratio refused: {error}") from None
    except (ValueError, ZeroDivisionError) as error:
        raise UserError(f"malformed aspect ratio {word!r}: {error or 'zero part'}") from None


def run(argv: Optional[Sequence[str]] = None) -> Dict[str, Any]:
    args = build_parser().parse_args(argv)
    summary: Dict[str, Any] = {"prompt": check_prompt(args)}
    data, source = read_image(args.image)
    summary["image"] = measure(data, source, args.approx_range)
    summary["adjusted"] = adjust(data, args)
    word = args.aspect_ratio if args.aspect_ratio is not None else summary["adjusted"]["ratio"]
    summary["service_size"] = service_size(word, args)
    return summary


def main(argv: Optional[List[str]] = None) -> int:
    try:
        summary = run(argv)
    except UserError as error:
        print(f"kavira: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("kavira: interrupted", file=sys.stderr)
        return 130
    json.dump(summary, sys.stdout, ensure_ascii=False, indent=2)
    sys.stdout.write("\n")
    return EXIT_OK
