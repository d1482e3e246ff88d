"""Where -o writes, and what happens when a write is cut short."""

import io
import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from conftest import decode
from PIL import Image

from kavira import cli
from kavira.cli import main

SRC = Path(cli.__file__).resolve().parent.parent


def is_png(data):
    return data.startswith(b"\x89PNG\r\n\x1a\n")


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.endswith(".part"))


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_a_symlink_is_followed_and_its_target_replaced_in_its_own_folder(here, capsys):
    elsewhere = here / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "real.png").write_bytes(b"old")
    os.symlink(elsewhere / "real.png", here / "link.png")
    assert main(["-o", "link.png"]) == 0
    assert json.loads(capsys.readouterr().out)["adjusted"]["output"] == "link.png"
    assert os.path.islink(here / "link.png")
    assert is_png((elsewhere / "real.png").read_bytes())
    assert leftovers(here) == leftovers(elsewhere) == []


def test_a_dangling_symlink_creates_its_target(here, capsys):
    os.symlink("made.png", here / "link.png")
    assert main(["-o", "link.png"]) == 0
    assert os.path.islink(here / "link.png") and is_png((here / "made.png").read_bytes())


@pytest.mark.parametrize("mode", [0o640, 0o600, 0o604, 0o755])
def test_an_existing_file_keeps_its_mode(here, capsys, mode):
    target = here / "out.png"
    target.write_bytes(b"old")
    target.chmod(mode)
    assert main(["-o", "out.png"]) == 0
    assert stat.S_IMODE(target.stat().st_mode) == mode and is_png(target.read_bytes())


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can give a file to another owner")
def test_an_existing_file_keeps_its_owner(here, capsys):
    target = here / "out.png"
    target.write_bytes(b"old")
    os.chown(target, 4321, 4322)
    assert main(["-o", "out.png"]) == 0
    assert (target.stat().st_uid, target.stat().st_gid) == (4321, 4322)


def test_a_hard_link_keeps_the_old_content(here, capsys):
    (here / "out.png").write_bytes(b"old")
    os.link(here / "out.png", here / "other.png")
    assert main(["-o", "out.png"]) == 0
    assert (here / "other.png").read_bytes() == b"old" and is_png((here / "out.png").read_bytes())


def test_dev_null_is_written_in_place(here, capsys):
    assert main(["-o", os.devnull]) == 0
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    assert json.loads(capsys.readouterr().out)["adjusted"]["output"] == os.devnull


def device_like(path, original):
    """A character device node at `path` with `original`'s device number."""
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    os.mknod(path, stat.S_IFCHR | 0o666, os.stat(original).st_rdev)
    try:
        with open(path, "wb"):
            pass
    except PermissionError:
        pytest.skip("the temporary folder's file system refuses device nodes")
    return path


def test_a_device_node_is_written_in_place(here, capsys):
    node = device_like(here / "null", os.devnull)
    assert main(["-o", "null"]) == 0
    assert stat.S_ISCHR(node.stat().st_mode) and node.stat().st_rdev == os.stat(os.devnull).st_rdev
    assert sorted(p.name for p in here.iterdir()) == ["null"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_device_fails_and_stays_a_device(here, capsys):
    node = device_like(here / "full", "/dev/full")
    assert main(["-o", "full"]) == 5
    out, err = capsys.readouterr()
    assert out == "" and "No space left on device" in err
    assert stat.S_ISCHR(node.stat().st_mode)


def test_a_fifo_is_written_in_place(here, capsys):
    fifo = here / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    try:
        status = main(["-o", "pipe"])
    finally:
        reader.join(timeout=60)
    assert status == 0
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    assert decode(got[0]).size == (1366, 844)
    assert sorted(p.name for p in here.iterdir()) == ["pipe"]


def test_a_socket_is_written_in_place(here, capsys):
    path = "sock"
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    got = []

    def receive():
        connection, _ = server.accept()
        with connection:
            chunks = iter(lambda: connection.recv(65536), b"")
            got.append(b"".join(chunks))

    reader = threading.Thread(target=receive)
    reader.start()
    try:
        status = main(["-o", path])
    finally:
        reader.join(timeout=60)
        server.close()
    assert status == 0 and stat.S_ISSOCK(os.stat(path).st_mode)
    assert decode(got[0]).size == (1366, 844)


class ShortWrites(io.RawIOBase):
    """A stream that takes at most `step` bytes a call, the way a pipe or a host's wrapper may."""

    def __init__(self, step):
        self.step, self.taken = step, bytearray()

    def writable(self):
        return True

    def write(self, data):
        part = bytes(data[:self.step])
        self.taken += part
        return len(part)


@pytest.mark.parametrize("step", [1, 7, 65536])
def test_short_writes_are_continued(step):
    stream = ShortWrites(step)
    data = bytes(range(256)) * 700
    cli.write_stream(stream, data, "the test data")
    assert bytes(stream.taken) == data


@pytest.mark.parametrize("count", [0, None])
def test_a_write_that_takes_nothing_fails(count):
    class Stuck(ShortWrites):
        def write(self, data):
            return count

    with pytest.raises(cli.UserError) as caught:
        cli.write_stream(Stuck(1), b"abc", "the image to standard output")
    assert caught.value.status == 5 and "only 0 of 3 bytes were taken" in str(caught.value)


def test_short_writes_to_standard_output(here, capsys, monkeypatch):
    stream = ShortWrites(1000)

    class Stdout(io.StringIO):
        buffer = stream

        def isatty(self):
            return False

    monkeypatch.setattr(sys, "stdout", Stdout())
    assert main(["-o", "-"]) == 0
    assert decode(bytes(stream.taken)).size == (1366, 844)


@pytest.mark.skipif(shutil.which("head") is None, reason="needs head")
@pytest.mark.parametrize("taken", [10, 100_000])
def test_a_reader_that_stops_early(here, taken):
    # Noise does not compress: megabytes, far beyond what the pipe holds.
    Image.effect_noise((1200, 1200), 80).convert("RGB").save(here / "noise.bmp")
    pipeline = f"{sys.executable} -m kavira noise.bmp -o - 2>err | head -c {taken} >/dev/null; " \
               "echo ${PIPESTATUS[0]}"
    run = subprocess.run(["bash", "-c", pipeline], cwd=here, capture_output=True, text=True)
    assert run.stdout.split() == ["5"]
    err = (here / "err").read_text()
    assert len(err.splitlines()) == 1 and "the reading end of the pipe was closed" in err


@pytest.mark.parametrize("python", [sys.executable, "python3.11-dbg"])
def test_version_into_a_closed_pipe_on_every_patch_release(tmp_path, python):
    # 3.11.2's argparse lets the closed pipe's error out of --version; later ones swallow it.
    if shutil.which(python) is None:
        pytest.skip(f"{python} is not installed")
    read_end, write_end = os.pipe()
    os.close(read_end)
    env = {**os.environ, "PYTHONPATH": str(SRC)}
    with os.fdopen(write_end, "wb") as pipe:
        run = subprocess.run([python, "-m", "kavira", "--version"], cwd=tmp_path, stdout=pipe,
                             stderr=subprocess.PIPE, text=True, env=env)
    assert (run.returncode, run.stderr) == (0, "")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("option", ["--version", "--help"])
def test_help_and_version_into_a_full_device(tmp_path, option):
    with open("/dev/full", "wb") as full:
        run = subprocess.run([sys.executable, "-m", "kavira", option], cwd=tmp_path, stdout=full,
                             stderr=subprocess.PIPE, text=True)
    assert run.returncode == 5
    lines = run.stderr.splitlines()
    assert len(lines) == 1 and "No space left on device" in lines[0]
