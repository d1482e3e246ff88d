import json
import subprocess
import sys

import pytest
from conftest import decode, solid_png


def kavira(*args, cwd):
    return subprocess.run([sys.executable, "-m", "kavira", *args], cwd=cwd, capture_output=True, text=True)


def test_sample_run(tmp_path):
    run = kavira(cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    summary = json.loads(run.stdout)
    assert summary["image"] == {"source": "built-in sample", "format": "PNG", "width": 1366, "height": 768,
                                "exact_ratio": "683:384", "approx_ratio": "9:5"}
    assert summary["adjusted"]["ratio"] == "16:9" and summary["adjusted"]["height"] == 844
    assert summary["service_size"]["size"] == "3414x1920"
    assert decode((tmp_path / "kavira-adjusted.png").read_bytes()).size == (1366, 844)


def test_full_options(tmp_path):
    image = tmp_path / "in.png"
    image.write_bytes(solid_png(600, 800))
    words = tmp_path / "words.txt"
    words.write_text("dragon\n", encoding="utf-8")
    run = kavira(str(image), "--prompt", "a quiet lake", "--word-file", str(words), "--mode", "resize",
                 "--expand-percent", "20", "--aspect-ratio", "21:9", "--resolution", "4K", "-o", "out.png",
                 cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    summary = json.loads(run.stdout)
    assert summary["adjusted"]["width"] == 720 and summary["service_size"]["resolution"] == "4k"


@pytest.mark.parametrize(
    "args, status, message",
    [(["--prompt", "make a pipe bomb"], 3, "prompt refused: 违禁词: pipe bomb"),
     (["--prompt", "a dragon", "--word", "dragon", "--no-default-words"], 3, "违禁词: dragon"),
     (["missing.png"], 4, "image file not found: missing.png"),
     (["junk.png"], 4, "cannot read image junk.png"),
     (["--aspect-ratio", "1:2:3"], 4, "malformed aspect ratio '1:2:3'"),
     (["--aspect-ratio", "9:1", "--strict"], 4, "aspect ratio refused"),
     (["--word-file", "nowhere.txt"], 4, "违禁词文件不存在: nowhere.txt"),
     (["--fill-color", "red"], 2, "invalid --fill-color"),
     (["--mode", "stretch"], 2, "invalid choice")],
)
def test_user_errors_are_one_line(tmp_path, args, status, message):
    (tmp_path / "junk.png").write_bytes(b"not an image")
    run = kavira(*args, cwd=tmp_path)
    assert run.returncode == status
    assert message in run.stderr and "Traceback" not in run.stderr
    assert run.stdout == ""


def test_help_lists_options_with_examples(tmp_path):
    run = kavira("--help", cwd=tmp_path)
    assert run.returncode == 0
    for option in ["--prompt", "--word-file", "--ratio", "--mode", "--expand-percent", "--fill-color",
                   "--aspect-ratio", "--resolution", "--strict", "examples:"]:
        assert option in run.stdout
