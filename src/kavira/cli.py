"""The ``kavira`` command: one host request, start to finish, on an image file.

It checks a prompt, measures the image, adjusts it to a target ratio and
computes the output size to ask the service for, then prints a JSON summary.

Every failure ends the same way: one line on standard error, a documented
exit status, and no output file. The image is written to a temporary file
beside its destination and renamed only once the summary has gone out.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import pickle
import re
import sys
import tempfile
import warnings
from pathlib import Path
from typing import IO, Any, Dict, List, NoReturn, Optional, Sequence, Tuple

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_REFUSED = 3
EXIT_INPUT = 4
EXIT_OUTPUT = 5
EXIT_ENVIRONMENT = 6
EXIT_INTERRUPTED = 130

SAMPLE_SIZE = (1366, 768)
SAMPLE_PROMPT = "a lighthouse on a cliff at dawn, watercolour"
DEFAULT_OUTPUT_STEM = "kavira-adjusted"
STDIO = "-"
RESOLUTIONS = ("1k", "2k", "4k")
# Ratio parts beyond this are no picture's shape, and far larger ones
# overflow the library's float arithmetic.
MAX_RATIO_PART = 999_999
MAX_APPROX_RANGE = 100_000

EPILOG = """\
examples:
  kavira                                  run on a built-in sample image
  kavira photo.jpg --prompt "a red fox in snow" --ratio 16:9 --mode fill
  kavira photo.png --expand-percent 20 --fill-color 0,0,0,255 -o out.png
  kavira photo.png --aspect-ratio 21:9 --resolution 4k --strict
  kavira photo.png --prompt "..." --word-file extra.txt --word forbidden
  kavira - -o - < photo.jpg > out.png     standard input and output; the summary goes to standard error

exit status:
  0 success           3 refused: a banned word, or a ratio over 3:1 with --strict
  1 internal error    4 an input cannot be read (image, word file, standard input)
  2 usage error       5 the output cannot be written
                      6 kavira cannot run here (svcfault or Pillow missing)
"""

# The library's own messages are in Chinese and are kept as they are; the
# command says in English what happened and quotes them beside it.
SYSTEM_MESSAGES = [
    ("违禁词文件不存在: ", "word file not found"),
    ("违禁词: ", "the prompt holds banned words"),
    ("pickle 文件内容必须是 list", "the pickle word file does not hold a list"),
    ("pickle 词表文件只能包含", "the pickle word file refers to Python objects, which are refused"),
    ("比例格式错误", "malformed ratio"),
    ("need_adjust 仅支持", "the mode must be resize or fill"),
    ("图像宽高比不合法", "the aspect ratio is steeper than the service accepts"),
]

# The extension a written file takes for the format of the bytes in it.
EXTENSIONS = {"PNG": ".png", "JPEG": ".jpg", "MPO": ".jpg", "WEBP": ".webp", "GIF": ".gif", "BMP": ".bmp",
              "TIFF": ".tif"}


class UserError(Exception):
    """A failure reported as one line without a traceback."""

    def __init__(self, message: str, status: int = EXIT_INPUT) -> None:
        super().__init__(message)
        self.status = status


def with_original(english: str, original: object) -> str:
    return f"{english} (original message: {original})"


def explain(error: BaseException) -> str:
    """English for a library error, with the library's own message kept."""
    text = str(error)
    for prefix, english in SYSTEM_MESSAGES:
        if text.startswith(prefix):
            return with_original(english, text)
    return text


class Parser(argparse.ArgumentParser):
    # argparse prints the usage and then the error: two lines. One is the rule.
    def error(self, message: str) -> NoReturn:
        raise UserError(f"{message} (see kavira --help)", EXIT_USAGE)


def option_value(kind: Any) -> Any:
    """Wraps a check so that argparse reports its message as it stands."""

    def convert(text: str) -> Any:
        try:
            return kind(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    convert.__name__ = kind.__name__
    return convert


def ratio_word(text: str) -> str:
    match = re.fullmatch(r"\s*([0-9]+):([0-9]+)\s*", text)
    if not match or not all(1 <= int(part) <= MAX_RATIO_PART for part in match.groups()):
        raise ValueError(f"invalid ratio {text!r}: give W:H with whole numbers from 1 to {MAX_RATIO_PART}, e.g. 16:9")
    return f"{int(match[1])}:{int(match[2])}"


def aspect_word(text: str) -> str:
    if text.strip().lower() == "auto":
        return text.strip()
    return ratio_word(text)


def resolution_tier(text: str) -> str:
    tier = text.strip().lower()
    if tier not in RESOLUTIONS:
        raise ValueError(f"invalid resolution {text!r}: give 1k, 2k or 4k")
    return tier


def percentage(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"invalid percentage {text!r}: give a number such as 10 or -5") from None
    if not math.isfinite(value) or value <= -100:
        raise ValueError(f"invalid percentage {text!r}: give a finite number above -100")
    return value


def search_range(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_APPROX_RANGE:
        raise ValueError(f"invalid range {text!r}: give a whole number from 1 to {MAX_APPROX_RANGE}")
    return value


def colour(text: str) -> Tuple[int, ...]:
    try:
        parts = tuple(int(p) for p in text.split(","))
    except ValueError:
        parts = ()
    if len(parts) not in (3, 4) or not all(0 <= p <= 255 for p in parts):
        raise ValueError(f"invalid colour {text!r}: give R,G,B or R,G,B,A with values 0-255")
    return parts


def build_parser() -> argparse.ArgumentParser:
    from kavira import __version__

    parser = Parser(
        prog="kavira",
        description="Prepare an image-generation request: check the prompt, measure and adjust "
        "the image, and compute the output size to request.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("image", nargs="?",
                        help="image file to process, - for standard input (default: a generated sample image)")
    parser.add_argument("--version", action="version", version=f"kavira {__version__}")
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
    image.add_argument("--ratio", default=None, metavar="W:H", type=option_value(ratio_word),
                       help="target ratio, one of the standard ratios 1:1, 2:3, 3:2, 3:4, 4:3, 4:5, 5:4, 9:16, "
                       "16:9, 21:9; an image whose nearest standard ratio differs is left unchanged")
    image.add_argument("--mode", choices=["fill", "resize"], default="fill",
                       help="grow the shorter side by filling around the image or by stretching it")
    image.add_argument("--expand-percent", type=option_value(percentage), default=10.0, metavar="N",
                       help="percentage to grow the shorter side by, above -100 (negative shrinks; default 10)")
    image.add_argument("--fill-color", type=option_value(colour), default=(255, 255, 255, 0), metavar="R,G,B,A",
                       help="fill colour for --mode fill (default transparent white)")
    image.add_argument("--approx-range", type=option_value(search_range), default=10, metavar="N",
                       help="largest numerator and denominator of the approximate ratio (default 10)")
    image.add_argument("-o", "--output", default=None, metavar="PATH",
                       help="where to write the image, - for standard output (default kavira-adjusted.png, "
                       "or kavira-adjusted.jpg etc. when the image is left unchanged); the name's extension "
                       "must match the format written")
    size = parser.add_argument_group("service size")
    size.add_argument("--aspect-ratio", default=None, metavar="WORD", type=option_value(aspect_word),
                      help="ratio word for the output size, W:H or auto (default: the adjusted image's ratio)")
    size.add_argument("--resolution", default="2k", metavar="TIER", type=option_value(resolution_tier),
                      help="resolution tier: 1k, 2k or 4k (default 2k)")
    size.add_argument("--strict", action="store_true", help="refuse ratios steeper than 3:1 instead of clamping")
    return parser


def import_library() -> None:
    """Imports what the request needs, so that a missing piece is one clear line."""
    import importlib

    for name in ["PIL.Image", "kavira.wordgate", "kavira.framekit", "kavira.aspectra", "kavira.tessel"]:
        try:
            importlib.import_module(name)
        except ImportError as error:
            hint = ""
            if error.name == "svcfault":
                hint = '; the host application provides svcfault, or install the stand-in: pip install "kavira[standalone]"'
            elif error.name in ("PIL", "PIL.Image"):
                hint = "; install Pillow: pip install Pillow"
            raise UserError(f"cannot import {name}: {error}{hint}", EXIT_ENVIRONMENT) from None


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


def read_image(path: Optional[str]) -> Tuple[bytes, str]:
    if path is None:
        return sample_image(), "built-in sample"
    if path == STDIO:
        stream = sys.stdin
        if stream is None:
            raise UserError("cannot read the image from standard input: it is closed")
        if stream.isatty():
            raise UserError("refusing to read image data from a terminal: redirect standard input", EXIT_USAGE)
        try:
            return stream.buffer.read(), "standard input"
        except OSError as error:
            raise UserError(f"cannot read the image from standard input: {error.strerror or error}") from None
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
    for word_file in args.word_file or [None]:
        try:
            checkers.append(PromptBanChecker(word_file, not args.case_sensitive, list(args.word),
                                             not args.no_default_words, list(args.exclude)))
        except FileNotFoundError as error:
            raise UserError(explain(error)) from None
        except UnicodeDecodeError:
            raise UserError(f"cannot read word file {word_file}: it is not UTF-8 text") from None
        except OSError as error:
            raise UserError(f"cannot read word file {word_file}: {error.strerror or error}") from None
        except (EOFError, pickle.UnpicklingError) as error:
            raise UserError(f"cannot read word file {word_file}: not a readable pickle file ({explain(error)})") \
                from None
        except (ValueError, TypeError, AttributeError) as error:
            raise UserError(f"cannot read word file {word_file}: {explain(error)}") from None
    for checker in checkers:
        try:
            checker.check(prompt)
        except PromptBanError as error:
            words = getattr(error, "data", None)
            original = getattr(error, "error_msg", None) or str(error)
            listed = ", ".join(map(str, words)) if isinstance(words, list) else "see below"
            raise UserError(with_original(f"prompt refused: it holds the banned words {listed}", original),
                            EXIT_REFUSED) from None
    return {"prompt": prompt, "banned": False, "word_count": len(checkers[0].banned_words)}


def image_problem(source: str, error: BaseException) -> UserError:
    from PIL import Image, UnidentifiedImageError

    if isinstance(error, UnidentifiedImageError):
        return UserError(f"cannot read image {source}: not an image format Pillow recognises")
    if isinstance(error, (Image.DecompressionBombError, Image.DecompressionBombWarning)):
        return UserError(f"cannot read image {source}: it is too large to decode safely (Pillow: {error})")
    if isinstance(error, MemoryError):
        return UserError(f"cannot read image {source}: not enough memory to decode it")
    return UserError(f"cannot read image {source}: the file is damaged or not a supported image (Pillow: {error})")


def measure(data: bytes, source: str, approx_range: int) -> Dict[str, Any]:
    from PIL import Image

    from kavira.aspectra import ImageAspectra

    try:
        with Image.open(io.BytesIO(data)) as image:
            width, height = image.size
            image_format = image.format
        if width < 1 or height < 1:
            raise UserError(f"cannot read image {source}: it has no pixels ({width}x{height})")
        analyser = ImageAspectra(approx_range)
        exact = analyser.get_raw_simple_ratio(data)
        approx = analyser.get_approx_simple_ratio(data)
    except (OSError, SyntaxError, ValueError, MemoryError, Image.DecompressionBombError,
            Image.DecompressionBombWarning) as error:
        raise image_problem(source, error) from None
    return {"source": source, "format": image_format, "width": width, "height": height,
            "exact_ratio": exact, "approx_ratio": approx}


def planned_size(width: int, height: int, percent: float) -> Tuple[int, int]:
    """The size the adjustment makes: only the shorter side (both for a square) changes."""
    scale = percent / 100 + 1

    def grow(side: int) -> int:
        return int(side * scale)

    if height > width:
        return grow(width), height
    if width > height:
        return width, grow(height)
    return grow(width), grow(height)


def adjust(data: bytes, measured: Dict[str, Any], args: argparse.Namespace) -> Tuple[bytes, Dict[str, Any]]:
    from PIL import Image

    from kavira.framekit import Framekit

    framekit = Framekit(args.ratio, args.mode, args.fill_color)
    width, height = measured["width"], measured["height"]
    closest = framekit._get_closest_standard_ratio(width, height)
    # Refuse before the library tries to allocate an absurd canvas.
    if args.ratio is None or args.ratio == closest:
        new_width, new_height = planned_size(width, height, args.expand_percent)
        if new_width < 1 or new_height < 1:
            raise UserError(f"--expand-percent {args.expand_percent:g} would leave a {width}x{height} image "
                            f"without pixels ({new_width}x{new_height})", EXIT_USAGE)
        limit = Image.MAX_IMAGE_PIXELS
        if limit and new_width * new_height > limit:
            raise UserError(f"--expand-percent {args.expand_percent:g} would make a {width}x{height} image "
                            f"{new_width}x{new_height}, over the limit of {limit} pixels", EXIT_USAGE)
    try:
        adjusted, ratio = framekit.adjust_size(data, True, args.expand_percent)
    except (OSError, SyntaxError, MemoryError, Image.DecompressionBombError,
            Image.DecompressionBombWarning) as error:
        raise image_problem(measured["source"], error) from None
    except ValueError as error:
        raise UserError(f"cannot adjust image: {explain(error)}") from None
    changed = adjusted is not data
    if changed:
        with Image.open(io.BytesIO(adjusted)) as image:
            size, image_format = image.size, image.format
    else:
        size, image_format = (width, height), measured["format"]
    info = {"changed": changed, "ratio": ratio, "format": image_format, "width": size[0], "height": size[1],
            "bytes": len(adjusted)}
    if not changed:
        info["note"] = (f"left unchanged: the image's nearest standard ratio is {closest}, "
                        f"not the requested {args.ratio}")
    return adjusted, info


def ratio_used(word: str, max_ratio: float) -> Tuple[str, bool]:
    """The ratio the calculator works with: auto is 1:1; steeper than the limit is clamped to it."""
    if word.strip().lower() in ("", "auto"):
        return "1:1", False
    width, height = (int(part) for part in word.split(":"))
    long_part, short_part = max(width, height), min(width, height)
    if long_part / short_part <= max_ratio:
        return f"{width}:{height}", False
    clamped = int(max_ratio * short_part)
    return (f"{clamped}:{short_part}" if width >= height else f"{short_part}:{clamped}"), True


def service_size(word: str, args: argparse.Namespace) -> Dict[str, Any]:
    from kavira.tessel import TesselSizeCalculator

    from svcfault import ServiceError

    try:
        result = dict(TesselSizeCalculator.calc_size(word, args.resolution, args.strict))
    except ServiceError as error:
        original = getattr(error, "message", None) or str(error)
        raise UserError(with_original(f"aspect ratio {word} refused: it is steeper than "
                                      f"{TesselSizeCalculator.MAX_RATIO:g}:1", original), EXIT_REFUSED) from None
    except (ArithmeticError, ValueError) as error:
        raise UserError(f"cannot compute a size for aspect ratio {word}: {explain(error)}", EXIT_USAGE) from None
    used, clamped = ratio_used(word, TesselSizeCalculator.MAX_RATIO)
    result["ratio_used"] = used
    result["clamped"] = clamped
    if clamped:
        result["note"] = (f"aspect ratio {word} is steeper than {TesselSizeCalculator.MAX_RATIO:g}:1; "
                          f"the size is computed for {used} (--strict refuses it instead)")
    return result


def output_path(args: argparse.Namespace, image_format: str, changed: bool) -> str:
    extension = EXTENSIONS.get(image_format, f".{image_format.lower()}")
    if args.output is None:
        return DEFAULT_OUTPUT_STEM + extension
    if args.output == STDIO:
        return STDIO
    from PIL import Image

    suffix = Path(args.output).suffix.lower()
    named = Image.registered_extensions().get(suffix)
    written = "PNG" if changed else image_format
    if named is not None and EXTENSIONS.get(named, suffix) != EXTENSIONS.get(written, extension):
        why = "the adjusted image is PNG" if changed else f"the image was left unchanged and is {image_format}"
        raise UserError(f"--output {args.output} names a {named} file, but {why}: name it with {extension} "
                        f"or leave out --output", EXIT_USAGE)
    return str(args.output)


def summary_text(summary: Dict[str, Any], stream: Optional[IO[str]]) -> str:
    """The JSON summary, in the stream's encoding where it can hold every character."""
    text = json.dumps(summary, ensure_ascii=False, indent=2) + "\n"
    try:
        text.encode(getattr(stream, "encoding", None) or "utf-8")
    except (UnicodeEncodeError, LookupError):
        text = json.dumps(summary, ensure_ascii=True, indent=2) + "\n"
    return text


def write_stream(stream: Optional[IO[Any]], data: Any, what: str) -> None:
    if stream is None:
        raise UserError(f"cannot write {what}: standard output is closed", EXIT_OUTPUT)
    try:
        stream.write(data)
        stream.flush()
    except BrokenPipeError:
        silence_stdout()
        raise UserError(f"cannot write {what}: the reading end of the pipe was closed", EXIT_OUTPUT) from None
    except OSError as error:
        silence_stdout()
        raise UserError(f"cannot write {what}: {error.strerror or error}", EXIT_OUTPUT) from None


def silence_stdout() -> None:
    """Points standard output at the null device, so that the flush at exit cannot fail a second time."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, AttributeError, ValueError):
        pass


def temporary_beside(path: str) -> Tuple[IO[bytes], str]:
    target = Path(path)
    if target.is_dir():
        raise UserError(f"cannot write {path}: it is a folder", EXIT_USAGE)
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent)
    except OSError as error:
        raise UserError(f"cannot write {path}: {error.strerror or error}", EXIT_OUTPUT) from None
    # mkstemp makes the file private; give it the mode a plain open() would.
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(temporary, 0o666 & ~umask)
    return os.fdopen(handle, "wb"), temporary


def deliver(image: bytes, output: str, summary: Dict[str, Any]) -> None:
    """Writes the image and the summary, or, on any failure, neither file."""
    if output == STDIO:
        if sys.stdout is not None and sys.stdout.isatty():
            raise UserError("refusing to write image data to a terminal: redirect standard output or name a file "
                            "with -o", EXIT_USAGE)
        write_stream(getattr(sys.stdout, "buffer", None), image, "the image to standard output")
        write_stream(sys.stderr, summary_text(summary, sys.stderr), "the summary to standard error")
        return
    stream, temporary = temporary_beside(output)
    try:
        try:
            with stream:
                stream.write(image)
        except OSError as error:
            raise UserError(f"cannot write {output}: {error.strerror or error}", EXIT_OUTPUT) from None
        write_stream(sys.stdout, summary_text(summary, sys.stdout), "the summary to standard output")
        try:
            os.replace(temporary, output)
        except OSError as error:
            raise UserError(f"cannot write {output}: {error.strerror or error}", EXIT_OUTPUT) from None
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def run(argv: Optional[Sequence[str]] = None) -> None:
    args = build_parser().parse_args(argv)
    import_library()
    from kavira.framekit import Framekit
    from PIL import Image

    standard = list(Framekit.STANDARD_RATIO_LIST)
    if args.ratio is not None and args.ratio not in standard:
        raise UserError(f"argument --ratio: {args.ratio} is not a standard ratio; give one of "
                        f"{', '.join(standard)} (see kavira --help)", EXIT_USAGE)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        summary: Dict[str, Any] = {"prompt": check_prompt(args)}
        data, source = read_image(args.image)
        summary["image"] = measure(data, source, args.approx_range)
        adjusted, summary["adjusted"] = adjust(data, summary["image"], args)
        word = args.aspect_ratio if args.aspect_ratio is not None else summary["adjusted"]["ratio"]
        summary["service_size"] = service_size(word, args)
    output = output_path(args, summary["adjusted"]["format"], summary["adjusted"]["changed"])
    summary["adjusted"] = {"output": output, **summary["adjusted"]}
    if caught:
        summary["warnings"] = [" ".join(str(w.message).split()) for w in caught]
    deliver(adjusted, output, summary)


def report(message: str) -> None:
    line = "kavira: " + message.replace("\r", "\\r").replace("\n", "\\n")
    try:
        print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Optional[List[str]] = None) -> int:
    try:
        run(argv)
    except UserError as error:
        report(str(error))
        return error.status
    except KeyboardInterrupt:
        report("interrupted")
        return EXIT_INTERRUPTED
    except SystemExit as done:
        # --help and --version: their text may have met a closed pipe.
        try:
            if sys.stdout is not None:
                sys.stdout.flush()
        except OSError:
            silence_stdout()
        return done.code if isinstance(done.code, int) else EXIT_OK
    except Exception as error:  # a fault of kavira's own: still one line
        if os.environ.get("KAVIRA_TRACEBACK"):
            raise
        report(f"internal error: {type(error).__name__}: {error} (KAVIRA_TRACEBACK=1 shows where; please report it)")
        return EXIT_INTERNAL
    return EXIT_OK
