"""What a user who installs the wheel meets: the declared extras, and how a
missing host module explains itself."""

import importlib.metadata
import subprocess
import sys
import textwrap

import pytest

STANDALONE = 'pip install "kavira[standalone]"'


def run_isolated(code, tmp_path):
    """Runs `code` in a fresh interpreter, so that the modules import afresh."""
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout


@pytest.mark.parametrize("module", ["kavira.tessel", "kavira.wordgate"])
def test_a_missing_svcfault_keeps_its_error_and_says_how_to_get_the_stand_in(tmp_path, module):
    out = run_isolated(f"""
        import sys
        sys.modules["svcfault"] = None
        try:
            import {module}
        except ModuleNotFoundError as error:
            print(type(error).__name__, error.name, error.__notes__)
        """, tmp_path)
    assert out.startswith("ModuleNotFoundError svcfault [")
    assert STANDALONE in out


@pytest.mark.parametrize("module", ["kavira.tessel", "kavira.wordgate"])
@pytest.mark.parametrize("host_module, expected", [
    # The host's own svcfault is there but fails on a module of its own: the
    # stand-in would not help, so no note points to it.
    ("import hostcore_not_installed\n", "ModuleNotFoundError hostcore_not_installed None"),
    # The host's svcfault lacks the class: an ImportError, not a missing module.
    ("", "ImportError svcfault None"),
])
def test_a_host_svcfault_that_fails_gets_no_note(tmp_path, module, host_module, expected):
    (tmp_path / "svcfault.py").write_text(host_module)
    out = run_isolated(f"""
        import sys
        sys.path.insert(0, ".")
        try:
            import {module}
        except ImportError as error:
            print(type(error).__name__, error.name, getattr(error, "__notes__", None))
        """, tmp_path)
    assert out.strip() == expected


def test_the_wheel_declares_the_optional_pieces_as_extras():
    metadata = importlib.metadata.metadata("kavira")
    requires = metadata.get_all("Requires-Dist") or []
    unconditional = sorted(r.split(";")[0].split(">")[0].split("=")[0].strip().lower()
                           for r in requires if "extra ==" not in r)
    assert unconditional == ["pillow", "pyahocorasick"]
    extras = set(metadata.get_all("Provides-Extra") or [])
    assert {"standalone", "fast"} <= extras
    assert any(r.startswith("kavira-svcfault") and 'extra == "standalone"' in r for r in requires)
    assert any(r.startswith("isal") and 'extra == "fast"' in r for r in requires)


def test_the_stand_in_is_a_distribution_of_its_own_that_provides_svcfault():
    try:
        files = importlib.metadata.files("kavira-svcfault")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("svcfault comes from the host here, not from the stand-in")
    assert "svcfault/__init__.py" in [str(f) for f in files or []]
