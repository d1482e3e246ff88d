"""The shipped examples run, not only type-check (CI also runs them on real photos)."""

import subprocess
import sys
from pathlib import Path

import pytest
from conftest import encode
from PIL import Image

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture
def photos(tmp_path):
    paths = []
    for name, size, format in [("wide.jpg", (640, 360), "JPEG"), ("tall.webp", (300, 400), "WEBP")]:
        path = tmp_path / name
        path.write_bytes(encode(Image.new("RGB", size, (90, 120, 30)), format))
        paths.append(str(path))
    return paths


def run(script, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True)


def test_host_request(photos):
    result = run("host_request.py", photos[0])
    assert (result.returncode, result.stderr) == (0, "")
    assert "request 3414x1920 (3414 wide)" in result.stdout
    refused = run("host_request.py", photos[1], "something forbidden")
    assert (refused.returncode, refused.stderr) == (1, "refused: 违禁词: forbidden\n")


def test_request_threads(photos):
    result = run("request_threads.py", *photos)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4 and lines[0] == "wide.jpg: 16:9, " + lines[0].split(", ")[1] + ", request 3414x1920"
    assert all(line.startswith(("wide.jpg: ", "tall.webp: ")) for line in lines)


def test_size_result_is_for_type_checkers_only():
    with pytest.raises(ImportError, match="SizeResult"):
        exec("from kavira.tessel import SizeResult", {})
