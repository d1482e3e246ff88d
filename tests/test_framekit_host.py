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
