"""The README's Python snippets print what they say, run from the repository root.

Running from the root also checks the layout: a source folder there must
never hide the installed package.
"""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
pytestmark = pytest.mark.skipif(not (ROOT / "src" / "kavira").is_dir(), reason="needs the source checkout")

CHECK = '''
def __check(line, got, expected):
    if got != expected:
        raise SystemExit(f"README line {line}: got {got!r}, the README says {expected!r}")
'''


def literal(text):
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return None


def is_expression(code):
    try:
        ast.parse(code, mode="eval")
        return True
    except SyntaxError:
        return False


def checked_program(text):
    """The snippets as one program; a line whose comment is a literal becomes a check of its value."""
    program, checks = [CHECK], 0
    lines = text.splitlines()
    for block in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
        first = text.count("\n", 0, block.start(1)) + 1
        body = block[1].splitlines()
        for index, line in enumerate(body):
            code, _, comment = line.partition("  # ")
            expected_text = comment.strip()
            if not comment and is_expression(line.strip()):  # a value given on the comment lines below
                following = []
                for later in body[index + 1:]:
                    if not later.startswith("#"):
                        break
                    following.append(later.lstrip("# "))
                expected_text = " ".join(following)
            expected = literal(expected_text) if expected_text else None
            indent = line[: len(line) - len(line.lstrip())]
            if expected is not None and is_expression(code.strip()):
                program.append(f"{indent}__check({first + index}, ({code.strip()}), {expected_text})")
                checks += 1
            else:
                program.append(line)
    assert lines and checks >= 10
    return "\n".join(program)


def test_readme_snippets_from_the_repository_root():
    program = checked_program(README.read_text(encoding="utf-8"))
    run = subprocess.run([sys.executable, "-"], input=program, cwd=ROOT, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("command", [["-m", "kavira", "--version"], ["-c", "import kavira.tessel, kavira.wordgate"],
                                     ["-m", "pytest", "--collect-only", "-q", "tests/test_tessel.py"]])
def test_the_root_does_not_hide_the_installed_package(command):
    run = subprocess.run([sys.executable, *command], cwd=ROOT, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr + run.stdout


def test_the_index_page_points_only_at_what_the_wheel_carries():
    """The README is the package's index page: no links into the source tree, no source folders named."""
    text = README.read_text(encoding="utf-8")
    links = [target for target in re.findall(r"\]\(([^)]+)\)", text) if not target.startswith(("https://", "#"))]
    assert not links, links
    named = re.findall(r"`((?:examples|scripts|tests|bench|src|runtime|wordvault|svcfault|\.ci)/[^`]*)`", text)
    assert not named, named
