"""The ``kavira`` command: one host request, start to finish, on an image file.

It checks a prompt, measures the image, adjusts it to a target ratio and
computes the output size to ask the service for, then prints a JSON summary.

Every failure ends the same way: one line on standard error, a documented
exit status, and no output file. A regular file (or the file a symlink leads
to) is written to a temporary file in its own folder and renamed over it only
once the summary has gone out; anything else -o names, a device or a FIFO, is
written in place, as a shell's redirection would.
"""

from __future__ import annotations

import argparse
import errno
import importlib
import io
import json
import math
import os
import pickle
import platform
import re
import socket
import stat
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

# The library's own messages are in Chinese and are kept as they are. The
# English beside them comes from the exception's type and the call that raised
# it, never from the wording, so a reworded message cannot change it.
STANDALONE_HINT = ('; the host application provides svcfault, or install kavira with the stand-in: '
                   'pip install "kavira[standalone]"')
FAST_EXTRA = 'pip install "kavira[fast]"'
# The distributions --version reports, by the name pip knows them by.
REPORTED_DISTRIBUTIONS = ("Pillow", "pyahocorasick", "isal")

# The extension a written file takes for the format of the bytes in it.
EXTENSIONS = {"PNG": ".png", "JPEG": ".jpg", "MPO": ".jpg", "WEBP": ".webp", "GIF": ".gif", "BMP": ".bmp",
              "TIFF": ".tif"}


class UserError(Exception):
    """A failure reported as one line without a traceback."""

    def __init__(self, message: str, status: int = EXIT_INPUT, closed_pipe: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.closed_pipe = closed_pipe


def with_original(english: str, original: object) -> str:
    return f"{english} (original message: {original})"


class Parser(argparse.ArgumentParser):
    # argparse prints the usage and then the error: two lines. One is the rule.
    def error(self, message: str) -> NoReturn:
        raise UserError(f"{message} (see kavira --help)", EXIT_USAGE)

    # Some 3.11 releases let a closed pipe's error out of argparse's own
    # print and others swallow every OSError; neither is what we promise.
    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            print_text(message, sys.stdout if file is None else file)


class VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: Optional[str] = None) -> None:
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> NoReturn:
        print_text(version_text())
        parser.exit()


def print_text(text: str, stream: Optional[IO[str]] = None) -> None:
    """Help and version text: a reader that closed early wanted no more of it, which is no failure."""
    stream = sys.stdout if stream is None else stream
    try:
        write_stream(stream, text, "the help or version text")
    except UserError as error:
        if not error.closed_pipe:
            raise


def distribution_version(name: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def png_writer() -> str:
    """Which writer adjust_size encodes with: framekit's own needs these names of isal's zlib module."""
    try:
        zlib = importlib.import_module("isal.isal_zlib")
    except ImportError:
        zlib = None
    if zlib is not None and hasattr(zlib, "_ParallelCompress"):
        return "PNG writer: native, compressing with isal"
    return (f"PNG writer: Pillow's save, since isal is not installed ({FAST_EXTRA} for the native writer, "
            f"2-3 times faster)")


def version_text() -> str:
    from kavira import __version__

    lines = [f"kavira {__version__}", f"Python {platform.python_version()}"]
    lines += [f"{name} {distribution_version(name)}" for name in REPORTED_DISTRIBUTIONS]
    lines.append(png_writer())
    return "\n".join(lines) + "\n"


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
    parser = Parser(
        prog="kavira",
        description="Prepare an image-generation request: check the prompt, measure and adjust "
        "the image, and compute the output size to request.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("image", nargs="?",
                        help="image file to process, - for standard input (default: a generated sample image)")
    parser.add_argument("--version", action=VersionAction,
                        help="show the versions of kavira and what it uses, and which PNG writer runs, then exit")
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
                hint = STANDALONE_HINT
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
            raise UserError(with_original("word file not found", error)) from None
        except UnicodeDecodeError:
            raise UserError(f"cannot read word file {word_file}: it is not UTF-8 text") from None
        except OSError as error:
            raise UserError(f"cannot read word file {word_file}: {error.strerror or error}") from None
        except pickle.UnpicklingError as error:
            raise UserError(f"cannot read word file {word_file}: " + with_original(
                "not a readable pickle file, or one that refers to Python objects, which are refused", error)) \
                from None
        except EOFError as error:
            raise UserError(f"cannot read word file {word_file}: not a readable pickle file ({error})") from None
        except ValueError as error:
            # The loader's one ValueError of its own: a pickle of something other than a list.
            raise UserError(f"cannot read word file {word_file}: "
                            + with_original("the pickle word file does not hold a list", error)) from None
        except (TypeError, AttributeError) as error:
            raise UserError(f"cannot read word file {word_file}: {error}") from None
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
        raise UserError(f"cannot adjust image: {error}") from None
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


def ratio_used(word: str, resolution: str) -> Tuple[str, bool]:
    """The ratio the size was computed for: the word, or the calculator's limit where it clamped.

    Whether it clamped is the calculator's own answer: its strict mode
    refuses exactly the ratios its lenient mode clamps.
    """
    from kavira.tessel import TesselSizeCalculator

    from svcfault import ServiceError

    if word.lower() == "auto":
        return "1:1", False
    try:
        TesselSizeCalculator.calc_size(word, resolution, True)
    except ServiceError:
        width, height = (int(part) for part in word.split(":"))
        limit = f"{TesselSizeCalculator.MAX_RATIO:g}"
        return (f"{limit}:1" if width >= height else f"1:{limit}"), True
    return word, False


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
        raise UserError(f"cannot compute a size for aspect ratio {word}: {error}", EXIT_USAGE) from None
    used, clamped = ratio_used(word, args.resolution)
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


def write_all(write: Any, data: Any) -> None:
    """Calls write until all of data is taken: a pipe or a replaced stream may take less at a time."""
    if not isinstance(data, str):
        data = memoryview(data).cast("B")
    total, done = len(data), 0
    while done < total:
        count = write(data[done:])
        if not count:  # None (would block) or 0: another call would take no more
            raise OSError(errno.EIO, f"only {done} of {total} bytes were taken")
        done += count


def write_stream(stream: Optional[IO[Any]], data: Any, what: str) -> None:
    if stream is None:
        raise UserError(f"cannot write {what}: standard output is closed", EXIT_OUTPUT)
    try:
        write_all(stream.write, data)
        stream.flush()
    except BrokenPipeError:
        silence_stdout()
        raise UserError(f"cannot write {what}: the reading end of the pipe was closed", EXIT_OUTPUT,
                        closed_pipe=True) from None
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


def cannot_write(path: str, error: OSError) -> UserError:
    return UserError(f"cannot write {path}: {error.strerror or error}", EXIT_OUTPUT)


def write_in_place(target: str, image: bytes, output: str) -> bool:
    """Writes a device, FIFO or socket as it is; False if target turned out to be a regular file."""
    if stat.S_ISSOCK(os.stat(target).st_mode):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.connect(target)
            connection.sendall(image)
        return True
    # No O_CREAT: if the node went away meanwhile, this fails rather than
    # leave a half-written regular file where a device was.
    handle = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        if stat.S_ISREG(os.fstat(handle).st_mode):
            return False
        write_all(lambda view: os.write(handle, view), image)
    finally:
        os.close(handle)
    return True


def temporary_beside(target: str, existing: Optional[os.stat_result]) -> Tuple[int, str]:
    """A temporary file in target's folder, with the owner and mode that target has, or a new file would."""
    folder = os.path.dirname(target) or "."
    handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".part", dir=folder)
    try:
        if existing is None:
            # mkstemp makes the file private; give it the mode a plain open() would.
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(handle, 0o666 & ~umask)
        else:
            try:
                os.fchown(handle, existing.st_uid, existing.st_gid)
            except OSError:  # only root may give a file away; the group alone may still be ours to keep
                try:
                    os.fchown(handle, -1, existing.st_gid)
                except OSError:
                    pass
            # After the chown, which clears the set-id bits.
            os.fchmod(handle, stat.S_IMODE(existing.st_mode))
    except BaseException:
        os.close(handle)
        os.unlink(temporary)
        raise
    return handle, temporary


def deliver(image: bytes, output: str, summary: Dict[str, Any]) -> None:
    """Writes the image and the summary, or, on any failure, neither file where it can help it."""
    if output == STDIO:
        if sys.stdout is not None and sys.stdout.isatty():
            raise UserError("refusing to write image data to a terminal: redirect standard output or name a file "
                            "with -o", EXIT_USAGE)
        write_stream(getattr(sys.stdout, "buffer", None), image, "the image to standard output")
        write_stream(sys.stderr, summary_text(summary, sys.stderr), "the summary to standard error")
        return
    # Through a symlink to what it names: the link stays a link.
    target = os.path.realpath(output)
    try:
        existing: Optional[os.stat_result] = os.stat(target)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise cannot_write(output, error) from None
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        raise UserError(f"cannot write {output}: it is a folder", EXIT_USAGE)
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        try:
            written = write_in_place(target, image, output)
        except OSError as error:
            raise cannot_write(output, error) from None
        if written:
            write_stream(sys.stdout, summary_text(summary, sys.stdout), "the summary to standard output")
            return
    try:
        handle, temporary = temporary_beside(target, existing)
    except OSError as error:
        raise cannot_write(output, error) from None
    try:
        try:
            with os.fdopen(handle, "wb", buffering=0) as stream:
                write_all(stream.write, image)
        except OSError as error:
            raise cannot_write(output, error) from None
        write_stream(sys.stdout, summary_text(summary, sys.stdout), "the summary to standard output")
        try:
            os.replace(temporary, target)
        except OSError as error:
            raise cannot_write(output, error) from None
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
