import io
import json
import os
import pickle
import platform
import struct
import subprocess
import sys
import zlib

import pytest
from conftest import decode, encode, solid_png
from PIL import Image

import kavira
from kavira.cli import main


def kavira_run(*args, cwd, **options):
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    return subprocess.run([sys.executable, "-m", "kavira", *args], cwd=cwd, **{**streams, **options})


def header_only_png(width, height):
    """A valid PNG header that claims a size, and no pixel data."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) + \
        chunk(b"IEND", b"")


def one_line(stderr):
    assert "Traceback" not in stderr
    lines = stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("kavira: "), stderr
    return lines[0]


@pytest.fixture
def inputs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "junk.png").write_bytes(b"not an image")
    (tmp_path / "wide.jpg").write_bytes(encode(Image.new("RGB", (600, 400)), "JPEG"))
    (tmp_path / "bomb-warn.png").write_bytes(header_only_png(10000, 10000))
    (tmp_path / "bomb-error.png").write_bytes(header_only_png(30000, 30000))
    (tmp_path / "latin1.txt").write_bytes("caf\xe9\n".encode("latin-1"))
    (tmp_path / "dict.pkl").write_bytes(pickle.dumps({"a": 1}))
    (tmp_path / "folder").mkdir()
    return tmp_path


def files_in(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))


@pytest.mark.parametrize(
    "args, status, message",
    [
        # usage errors: refused before any work, in the help's own terms
        (["--expand-percent", "1e9"], 2, "would make a 1366x768 image 1366x7680000768, over the limit of"),
        (["--expand-percent", "inf"], 2, "invalid percentage 'inf'"),
        (["--expand-percent", "nan"], 2, "invalid percentage 'nan'"),
        (["--expand-percent", "-100"], 2, "give a finite number above -100"),
        (["--expand-percent", "-99.99"], 2, "without pixels"),
        (["--ratio", "abc", "-o", "abc.png"], 2, "invalid ratio 'abc': give W:H"),
        (["--ratio", "1:1:1"], 2, "invalid ratio '1:1:1'"),
        (["--ratio=-1:1"], 2, "invalid ratio '-1:1'"),
        (["--ratio", "7:5"], 2, "7:5 is not a standard ratio; give one of 1:1, 2:3"),
        (["--resolution", "8k"], 2, "invalid resolution '8k': give 1k, 2k or 4k"),
        (["--resolution", ""], 2, "invalid resolution ''"),
        (["--aspect-ratio", ""], 2, "invalid ratio ''"),
        (["--aspect-ratio", "1:2:3"], 2, "invalid ratio '1:2:3'"),
        (["--aspect-ratio", "0:1"], 2, "invalid ratio '0:1'"),
        (["--aspect-ratio", "1" * 400 + ":1"], 2, "whole numbers from 1 to 999999"),
        (["--approx-range", "0"], 2, "invalid range '0'"),
        (["--fill-color", "red"], 2, "invalid colour 'red'"),
        (["--mode", "stretch"], 2, "invalid choice"),
        (["--no-such-option"], 2, "unrecognized arguments"),
        (["-o", "out.jpg"], 2, "--output out.jpg names a JPEG file, but the adjusted image is PNG"),
        (["wide.jpg", "--ratio", "16:9", "-o", "same.png"], 2,
         "--output same.png names a PNG file, but the image was left unchanged and is JPEG: name it with .jpg"),
        (["-o", "folder"], 2, "cannot write folder: it is a folder"),
        # refusals, in English with the system's own message beside
        (["--prompt", "make a pipe bomb"], 3,
         "prompt refused: it holds the banned words pipe bomb (original message: 违禁词: pipe bomb)"),
        (["--prompt", "a dragon", "--word", "dragon", "--no-default-words"], 3, "(original message: 违禁词: dragon)"),
        (["--aspect-ratio", "9:1", "--strict"], 3,
         "aspect ratio 9:1 refused: it is steeper than 3:1 (original message: 图像宽高比不合法, 相差太大)"),
        # inputs that cannot be read
        (["missing.png"], 4, "image file not found: missing.png"),
        (["junk.png"], 4, "cannot read image junk.png: not an image format Pillow recognises"),
        (["bomb-warn.png"], 4, "cannot read image bomb-warn.png: it is too large to decode safely"),
        (["bomb-error.png"], 4, "cannot read image bomb-error.png: it is too large to decode safely"),
        (["folder"], 4, "cannot read image file folder"),
        (["--word-file", "nowhere.txt"], 4,
         "word file not found (original message: 违禁词文件不存在: nowhere.txt)"),
        (["--word-file", "latin1.txt"], 4, "cannot read word file latin1.txt: it is not UTF-8 text"),
        (["--word-file", "dict.pkl"], 4, "the pickle word file does not hold a list (original message: pickle"),
        # outputs that cannot be written
        (["-o", "no/such/folder/out.png"], 5, "cannot write no/such/folder/out.png"),
    ],
)
def test_failures_are_one_line_and_write_nothing(inputs, capsys, args, status, message):
    before = files_in(inputs)
    assert main(args) == status
    out, err = capsys.readouterr()
    assert message in one_line(err)
    assert out == ""
    assert files_in(inputs) == before


def test_sample_run(tmp_path):
    run = kavira_run(cwd=tmp_path, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    summary = json.loads(run.stdout)
    assert summary["image"] == {"source": "built-in sample", "format": "PNG", "width": 1366, "height": 768,
                                "exact_ratio": "683:384", "approx_ratio": "9:5"}
    assert summary["adjusted"]["output"] == "kavira-adjusted.png" and summary["adjusted"]["format"] == "PNG"
    assert summary["adjusted"]["ratio"] == "16:9" and summary["adjusted"]["height"] == 844
    assert summary["service_size"]["size"] == "3414x1920" and summary["service_size"]["clamped"] is False
    assert files_in(tmp_path) == ["kavira-adjusted.png"]  # no temporary file left behind
    written = tmp_path / "kavira-adjusted.png"
    assert decode(written.read_bytes()).size == (1366, 844)
    umask = os.umask(0)
    os.umask(umask)
    assert written.stat().st_mode & 0o777 == 0o666 & ~umask


def test_full_options(inputs, capsys):
    image = inputs / "in.png"
    image.write_bytes(solid_png(600, 800))
    words = inputs / "words.txt"
    words.write_text("dragon\n", encoding="utf-8")
    assert main([str(image), "--prompt", "a quiet lake", "--word-file", str(words), "--mode", "resize",
                 "--expand-percent", "20", "--aspect-ratio", "21:9", "--resolution", "4K", "-o", "out.png"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["adjusted"]["width"] == 720 and summary["service_size"]["resolution"] == "4k"
    assert decode((inputs / "out.png").read_bytes()).size == (720, 800)


@pytest.mark.parametrize("word, used, clamped", [("5:1", "3:1", True), ("10:3", "3:1", True), ("3:10", "1:3", True),
                                                  ("3:1", "3:1", False), ("16:9", "16:9", False),
                                                  ("auto", "1:1", False)])
def test_the_ratio_the_size_was_computed_for_is_reported(inputs, capsys, word, used, clamped):
    assert main(["--aspect-ratio", word, "-o", "out.png"]) == 0
    size = json.loads(capsys.readouterr().out)["service_size"]
    assert size["aspect_ratio"] == word and size["ratio_used"] == used and size["clamped"] is clamped
    assert ("note" in size) is clamped


def test_an_unchanged_image_keeps_its_bytes_under_a_name_of_its_format(inputs, capsys):
    photo = encode(Image.new("RGB", (600, 400), (10, 20, 30)), "JPEG")
    (inputs / "photo.jpg").write_bytes(photo)
    assert main(["photo.jpg", "--ratio", "16:9"]) == 0
    adjusted = json.loads(capsys.readouterr().out)["adjusted"]
    assert adjusted["changed"] is False and adjusted["format"] == "JPEG"
    assert adjusted["output"] == "kavira-adjusted.jpg" and "nearest standard ratio is 3:2" in adjusted["note"]
    assert (inputs / "kavira-adjusted.jpg").read_bytes() == photo
    assert not (inputs / "kavira-adjusted.png").exists()


def test_an_output_name_without_an_image_extension_is_taken_as_given(inputs, capsys):
    assert main(["-o", "result.bin"]) == 0
    assert decode((inputs / "result.bin").read_bytes()).format == "PNG"


def test_version(tmp_path):
    from importlib import metadata

    run = kavira_run("--version", cwd=tmp_path, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    lines = run.stdout.splitlines()
    assert lines[:2] == [f"kavira {kavira.__version__}", f"Python {platform.python_version()}"]
    assert lines[2:4] == [f"{name} {metadata.version(name)}" for name in ("Pillow", "pyahocorasick")]
    try:
        isal = metadata.version("isal")
    except metadata.PackageNotFoundError:  # an install without the fast extra
        assert lines[4] == "isal not installed" and lines[5].startswith("PNG writer: Pillow's save")
    else:
        assert lines[4:] == [f"isal {isal}", "PNG writer: native, compressing with isal"]


def test_version_without_isal_names_the_pillow_writer_and_the_extra(tmp_path):
    code = ("import sys; sys.modules['isal'] = sys.modules['isal.isal_zlib'] = None\n"
            "from importlib import metadata\n"
            "real = metadata.version\n"
            "def version(name):\n"
            "    if name == 'isal':\n"
            "        raise metadata.PackageNotFoundError(name)\n"
            "    return real(name)\n"
            "metadata.version = version\n"
            "from kavira.cli import main; sys.exit(main(['--version']))")
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "isal not installed" in lines
    assert lines[-1].startswith("PNG writer: Pillow's save") and 'pip install "kavira[fast]"' in lines[-1]


def test_help_lists_options_exit_codes_and_examples(tmp_path):
    run = kavira_run("--help", cwd=tmp_path, text=True)
    assert run.returncode == 0
    for text in ["--prompt", "--word-file", "--ratio", "--mode", "--expand-percent", "--fill-color", "--aspect-ratio",
                 "--resolution", "--strict", "--version", "examples:", "exit status:", "6 kavira cannot run here"]:
        assert text in run.stdout


def test_dash_reads_standard_input_and_writes_standard_output(tmp_path):
    run = kavira_run("-", "-o", "-", cwd=tmp_path, input=solid_png(800, 600))
    assert run.returncode == 0, run.stderr
    assert decode(run.stdout).size == (800, 660)
    summary = json.loads(run.stderr)
    assert summary["image"]["source"] == "standard input" and summary["adjusted"]["output"] == "-"
    assert files_in(tmp_path) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_standard_output(tmp_path):
    with open("/dev/full", "wb") as full:
        run = kavira_run(cwd=tmp_path, stdout=full, stderr=subprocess.PIPE, text=True)
    assert run.returncode == 5
    assert "No space left on device" in one_line(run.stderr)
    assert files_in(tmp_path) == []


@pytest.mark.parametrize("args", [[], ["-o", "-"], ["--version"]])
def test_a_closed_pipe(tmp_path, args):
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "wb") as pipe:
        run = kavira_run(*args, cwd=tmp_path, stdout=pipe, stderr=subprocess.PIPE, text=True)
    if args == ["--version"]:  # nothing is lost that the reader wanted
        assert (run.returncode, run.stderr) == (0, "")
    else:
        assert run.returncode == 5
        assert "the reading end of the pipe was closed" in one_line(run.stderr)
    assert files_in(tmp_path) == []


def test_a_prompt_the_output_encoding_cannot_hold(tmp_path):
    prompt = "café au lait, 咖啡"
    run = kavira_run("--prompt", prompt, cwd=tmp_path, env={**os.environ, "PYTHONIOENCODING": "ascii"})
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout.decode("ascii"))["prompt"]["prompt"] == prompt


@pytest.mark.parametrize("module, hint", [("svcfault", 'pip install "kavira[standalone]"'),
                                          ("PIL", "install Pillow")])
def test_a_missing_dependency(tmp_path, module, hint):
    code = f"import sys; sys.modules[{module!r}] = None; from kavira.cli import main; sys.exit(main([]))"
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 6
    line = one_line(run.stderr)
    assert hint in line and "./svcfault" not in line
    assert files_in(tmp_path) == []


def test_an_internal_fault_is_one_line(inputs, capsys, monkeypatch):
    from kavira.tessel import TesselSizeCalculator

    monkeypatch.setattr(TesselSizeCalculator, "RESOLUTION_PRESET", {})
    assert main(["-o", "out.png"]) == 1
    assert "internal error: KeyError" in one_line(capsys.readouterr().err)
    assert not (inputs / "out.png").exists()


@pytest.mark.parametrize("mode", ["fill", "resize"])
@pytest.mark.parametrize("width, height, percent", [
    (30, 20, 10), (20, 30, 10), (25, 25, 10), (70, 51, 33.3), (51, 70, -20.5), (40, 40, -50), (9, 3, 0.1),
])
def test_planned_size_is_the_size_the_library_makes(mode, width, height, percent):
    # The CLI refuses absurd sizes before the library allocates them, so its
    # plan must be the library's own growth step, bit for bit.
    from kavira.cli import planned_size
    from kavira.framekit import Framekit

    adjusted = Framekit(None, mode).adjust_size(solid_png(width, height), False, percent)
    with Image.open(io.BytesIO(adjusted)) as image:
        assert image.size == planned_size(width, height, percent)
