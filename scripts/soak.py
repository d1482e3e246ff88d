"""Leak soak: every public entry point, on success and on each error path,
called many times; reports the growth of sys.getallocatedblocks() and of RSS
after warm-up, per case and per 100,000 calls, and the change in the reference
counts of every kavira module, of every class and function they define, and
of the error types they raise.

    python scripts/soak.py [--calls N] [--warmup N] [--bound BLOCKS]

Exits non-zero when any case grows by more than BOUND blocks per 100,000 calls,
or when a case leaves any of those objects with more references after each of
its two counting windows than before it: nothing a call creates may keep one.
A reference leaked on every call shows as 100,000 blocks per 100,000 calls;
the default bound of 1,000 (1% of that) allows for Pillow's own allocations,
which settle slowly, as the reference row of bare Pillow calls shows.
"""

import argparse
import gc
import importlib
import io
import os
import pickle
import sys
import tempfile

from PIL import Image
from svcfault import PromptBanError, ServiceError

import kavira.wordgate as wordgate
from kavira.aspectra import ImageAspectra
from kavira.framekit import Framekit
from kavira.lumen import LumenImageScale
from kavira.resize import image_resize
from kavira.tessel import TesselSizeCalculator as Calc
from kavira.wordgate import PromptBanChecker


def png(width, height):
    buffer = io.BytesIO()
    Image.new("RGBA", (width, height), (1, 2, 3, 128)).save(buffer, "PNG")
    return buffer.getvalue()


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def expect(error, call):
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError(f"{call} did not raise {error.__name__}")

    return run


def cases(workdir):
    small, wide = png(8, 6), png(12, 6)
    image = Image.new("RGB", (16, 9))
    text_file = os.path.join(workdir, "words.txt")
    with open(text_file, "w", encoding="utf-8") as f:
        f.write("alpha\nbeta\n")
    pickle_file = os.path.join(workdir, "words.pkl")
    PromptBanChecker.create_pickle_file(["gamma", "delta"], pickle_file)
    evil_file = os.path.join(workdir, "evil.pkl")
    with open(evil_file, "wb") as f:
        f.write(pickle.dumps([os.getcwd]))
    tuple_file = os.path.join(workdir, "tuple.pkl")
    with open(tuple_file, "wb") as f:
        f.write(pickle.dumps(("a",)))
    regex = PromptBanChecker(use_default=False, builtin_words=["bad", "worse"])
    automaton = PromptBanChecker(builtin_words=["bad"])
    reloading = PromptBanChecker(use_default=False, builtin_words=["x"])
    reloading.ban_word_file = os.path.join(workdir, "missing.txt")
    fk = Framekit()

    def interrupted_default_load():
        saved = wordgate._xor
        wordgate._xor = _interrupt
        try:
            wordgate._load_default_words()
        except KeyboardInterrupt:
            pass
        finally:
            wordgate._xor = saved

    def pillow_fill_alone():
        # The bare Pillow calls of a fill, as a reference for how Pillow's own
        # allocations settle.
        working = Image.open(io.BytesIO(small)).convert("RGBA")
        canvas = Image.new("RGBA", (8, 6), (255, 255, 255, 0))
        canvas.paste(working, (0, 0), mask=working)
        canvas.save(io.BytesIO(), format="PNG", quality=95)

    return {
        "reference: Pillow fill alone": pillow_fill_alone,
        "framekit adjust fill": lambda: fk.adjust_size(small),
        "framekit adjust resize": lambda: Framekit(need_adjust="resize").adjust_size(wide, True),
        "framekit early return": lambda: Framekit("3:4").adjust_size(wide, True),
        "framekit parse": lambda: Framekit._parse_ratio(" 16:9 "),
        "framekit closest": lambda: fk._get_closest_standard_ratio(1920, 1080),
        "framekit bad ratio": expect(ValueError, lambda: Framekit._parse_ratio("16/9")),
        "framekit bad type": expect(TypeError, lambda: Framekit(3)),
        "framekit bad count": expect(TypeError, lambda: Framekit(None, "fill", 1, 2)),
        "framekit undecodable": expect(OSError, lambda: fk.adjust_size(b"junk")),
        "framekit bad mode": expect(ValueError, lambda: Framekit(need_adjust="x").adjust_size(small)),
        "aspectra raw": lambda: ImageAspectra().get_raw_simple_ratio(small),
        "aspectra approx": lambda: ImageAspectra(12).get_approx_simple_ratio(small),
        "aspectra undecodable": expect(OSError, lambda: ImageAspectra().get_approx_simple_ratio(b"junk")),
        "aspectra bad type": expect(TypeError, lambda: ImageAspectra().get_raw_simple_ratio(bytearray())),
        "aspectra gcd big": lambda: ImageAspectra._gcd(2**80, 6**20),
        "tessel calc": lambda: Calc.calc_size("16:9", "4k"),
        "tessel calc big ints": lambda: Calc.calc_size("100000000000000000000:3", "1k"),
        "tessel exhausted": lambda: Calc.calc_size("-10:-1"),
        "tessel strict": expect(ServiceError, lambda: Calc.calc_size("5:1", strict=True)),
        "tessel malformed": expect(ValueError, lambda: Calc.calc_size("1:2:3")),
        "tessel zero": expect(ZeroDivisionError, lambda: Calc.calc_size("1:0")),
        "tessel bad type": expect(TypeError, lambda: Calc.calc_size(None)),
        "tessel align": lambda: Calc.round_to_multiple(3, 2.0),
        "lumen start": lambda: LumenImageScale(image).start(),
        "lumen no size": expect(AttributeError, lambda: LumenImageScale(None).start()),
        "resize": lambda: image_resize(image, 10, 10),
        "resize zero source": expect(ZeroDivisionError, lambda: image_resize(_Sized(), 10, 10)),
        "wordgate construct regex": lambda: PromptBanChecker(use_default=False, builtin_words=["a", "b"]),
        "wordgate construct default": lambda: PromptBanChecker(exclude_words=["nude"]),
        "wordgate text file": lambda: PromptBanChecker(text_file, use_default=False),
        "wordgate pickle file": lambda: PromptBanChecker(pickle_file, use_default=False),
        "wordgate missing file": expect(FileNotFoundError, lambda: PromptBanChecker("/no/such", use_default=False)),
        "wordgate malicious pickle": expect(pickle.UnpicklingError, lambda: PromptBanChecker._load_from_file(evil_file)),
        "wordgate not a list": expect(ValueError, lambda: PromptBanChecker._load_from_file(tuple_file)),
        "wordgate failing reload": expect(FileNotFoundError, reloading.load_banned_words),
        "wordgate check clean": lambda: automaton.check("a quiet lake"),
        "wordgate banned regex": expect(PromptBanError, lambda: regex.check("bad and worse")),
        "wordgate banned automaton": expect(PromptBanError, lambda: automaton.check("so bad")),
        "wordgate bad type": expect(TypeError, lambda: regex.check(None)),
        "wordgate interrupt": interrupted_default_load,
        "wordgate create pickle": lambda: PromptBanChecker.create_pickle_file(["a"], pickle_file),
    }


MODULES = ("framekit", "aspectra", "tessel", "lumen", "resize", "wordgate", "_wordvault")


def tracked_objects():
    """The modules, what they define, and the types their calls hand out."""
    objects = {"PromptBanError": PromptBanError, "ServiceError": ServiceError}
    for name in MODULES:
        module = importlib.import_module(f"kavira.{name}")
        objects[f"kavira.{name}"] = module
        for attribute, value in vars(module).items():
            if getattr(value, "__module__", None) == module.__name__:
                objects[f"{name}.{attribute}"] = value
                if isinstance(value, type):
                    for member, inner in vars(value).items():
                        if type(inner).__name__ == "function" and type(inner) is not type(tracked_objects):
                            objects[f"{name}.{attribute}.{member}"] = inner
    objects["kavira.function"] = type(image_resize)
    return objects


def refcounts(objects):
    return {name: sys.getrefcount(value) for name, value in objects.items()}


class _Sized:
    size = (0, 4)


def _interrupt(data, key):
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per case after warm-up (default 20000)")
    parser.add_argument("--warmup", type=int, default=5_000,
                        help="calls per case before any counting (default 5000)")
    parser.add_argument("--bound", type=float, default=1000.0,
                        help="largest growth in blocks per 100,000 calls of one case (default 50)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        table = cases(workdir)
        objects = tracked_objects()
        leaks = []
        worst = 0.0
        total_calls = 0
        print(f"{'case':<32} {'calls':>8} {'blocks':>8} {'per 100k':>9}")
        # Warm-up over every case first, then again before each case: Pillow's
        # plugin state, caches and free lists settle before anything is counted.
        for call in table.values():
            for _ in range(args.warmup):
                call()
        gc.collect()
        start_rss = rss_kib()
        for name, call in table.items():
            for _ in range(args.calls):
                call()
            # The smaller growth of two windows: a leak grows in both, while a
            # cache that is still settling grows less and less.
            windows = []
            held = []
            for _ in range(2):
                counts = refcounts(objects)
                gc.collect()
                before = sys.getallocatedblocks()
                for _ in range(args.calls):
                    call()
                gc.collect()
                # Less the one block that holds `before` itself.
                windows.append(sys.getallocatedblocks() - before - 1)
                after = refcounts(objects)
                held.append({k: after[k] - counts[k] for k in counts if after[k] > counts[k]})
                del counts, after
            grown = min(windows)
            for key in held[0].keys() & held[1].keys():
                leaks.append(f"{name}: {key} gained {held[0][key]} and {held[1][key]} references")
            per_100k = grown * 100_000 / args.calls
            worst = max(worst, per_100k)
            total_calls += 2 * args.calls
            print(f"{name:<32} {args.calls:>8} {grown:>8} {per_100k:>9.1f}", flush=True)
        rss_growth = rss_kib() - start_rss
    print(f"total {total_calls} calls; worst case {worst:.1f} blocks per 100,000 calls; "
          f"RSS growth after warm-up {rss_growth} KiB ({rss_growth * 100_000 / total_calls:.1f} KiB per 100,000 calls)")
    print(f"reference counts of {len(objects)} modules, classes, functions and types: "
          f"{len(leaks)} grew in both windows of a case")
    for leak in leaks:
        print(f"soak: {leak}", file=sys.stderr)
    if worst > args.bound:
        print(f"soak: growth above the bound of {args.bound} blocks per 100,000 calls", file=sys.stderr)
        return 1
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
