"""The native writer inside a host process: interpreter exit while daemon
threads encode, and a fork from Python code that runs between bands."""

import os
import subprocess
import sys

import pytest

ISAL = {"isal": "", "no isal": "sys.modules['isal'] = None\n"}

EXIT_SCRIPT = """
import io, sys, threading, time
{hide}from PIL import Image
from kavira.framekit import Framekit
image = Image.effect_noise((2000, 2000), 60).convert("RGBA")
buffer = io.BytesIO(); image.save(buffer, "BMP"); source = buffer.getvalue()
kit = Framekit()
def loop():
    while True:
        kit.adjust_size(source)
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep({delay})
print("main returns", flush=True)
"""


def run_child(script, threads):
    env = dict(os.environ, KAVIRA_PNG_THREADS=str(threads))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("isal", ISAL)
def test_interpreter_exit_with_daemon_threads_inside_encodes(isal, threads):
    # The exit lands at a different point of the encode on each run.
    for delay in (0.3, 0.45, 0.6):
        done = run_child(EXIT_SCRIPT.format(hide=ISAL[isal], delay=delay), threads)
        assert (done.returncode, done.stdout) == (0, "main returns\n"), done.stderr[-2000:]


FORK_SCRIPT = """
import io, os, signal, sys, hashlib
{hide}from PIL import Image
from kavira.framekit import Framekit
image = Image.effect_noise((1500, 1500), 60).convert("RGBA")
buffer = io.BytesIO(); image.save(buffer, "BMP"); source = buffer.getvalue()
kit = Framekit()
expected = kit.adjust_size(source)
children = []
def forked(signum, frame):
    if not children:
        pid = os.fork()
        children.append(pid)
signal.signal(signal.SIGALRM, forked)
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
while not children:
    got = kit.adjust_size(source)
    if children and children[0] == 0:
        break
signal.setitimer(signal.ITIMER_REAL, 0)
same = got == expected
if children[0] == 0:
    os._exit(0 if same else 3)
_, status = os.waitpid(children[0], 0)
print(same, os.waitstatus_to_exitcode(status), flush=True)
"""


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("isal", ISAL)
def test_fork_from_a_signal_handler_between_bands(isal, threads):
    # The child finishes its call with the bands that no helper of its own
    # holds, and its file is the parent's byte for byte.
    for _ in range(2):
        done = run_child(FORK_SCRIPT.format(hide=ISAL[isal]), threads)
        assert (done.returncode, done.stdout) == (0, "True 0\n"), done.stderr[-2000:]


REPLACEMENTS = {
    # A site-wide wrapper that stamps 300 dpi.
    "save wrapper": """
original = Image.Image.save
def save(self, fp, format=None, **params):
    calls.append(sorted(params))
    return original(self, fp, format, **{"dpi": (300, 300), **params})
Image.Image.save = save
""",
    # A save that takes no keyword beyond those the plain call passes.
    "narrow save": """
original = Image.Image.save
def save(self, fp, format=None, quality=None):
    calls.append(quality)
    return original(self, fp, format)
Image.Image.save = save
""",
    "PNG handler": """
from PIL import PngImagePlugin
def handler(im, fp, filename, original=Image.SAVE["PNG"]):
    calls.append(sorted(im.encoderinfo))
    return original(im, fp, filename)
Image.register_save("PNG", handler)
""",
    "stream subclass": """
class Stream(io.BytesIO):
    def __init__(self, *args):
        calls.append("stream")
        super().__init__(*args)
io.BytesIO = Stream
if "kavira.framekit" in sys.modules:
    sys.modules["kavira.framekit"].BytesIO = Stream
""",
}

REPLACED_SCRIPT = """
import io, sys
{hide}from PIL import Image
calls = []
source = io.BytesIO(); Image.new("RGBA", (40, 30), "teal").save(source, "PNG"); data = source.getvalue()
{before}
from kavira.framekit import Framekit
{after}
del calls[:]
image = Image.open(io.BytesIO(data)).convert("RGBA").resize((40, 33), Image.Resampling.LANCZOS)
output = io.BytesIO(); image.save(output, format="PNG", quality=95); expected = output.getvalue()
plain, calls[:] = list(calls), []
got = Framekit(need_adjust="resize").adjust_size(data)
print(got == expected, calls == plain, bool(plain), "dpi" in Image.open(io.BytesIO(got)).info)
"""


@pytest.mark.parametrize("isal", ISAL)
@pytest.mark.parametrize("installed", ["before", "after"])
@pytest.mark.parametrize("replacement", REPLACEMENTS)
def test_replacements_of_pillow_are_called_as_plain_python_calls_them(replacement, installed, isal):
    code = REPLACEMENTS[replacement]
    script = REPLACED_SCRIPT.format(hide=ISAL[isal], before=code if installed == "before" else "",
                                    after=code if installed == "after" else "")
    done = run_child(script, 1)
    dpi = replacement == "save wrapper"
    assert (done.returncode, done.stdout) == (0, f"True True True {dpi}\n"), done.stderr[-2000:]
