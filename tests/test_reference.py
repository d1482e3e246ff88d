"""Every public name of the seven modules has an entry in the README's reference.

An entry is a heading of the reference whose first code span starts with the
name (``Framekit.adjust_size(...)``), under the heading of its module.
"""

import importlib
import inspect
import re
import types
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
pytestmark = pytest.mark.skipif(not README.is_file(), reason="needs the source checkout")

MODULES = ["framekit", "aspectra", "tessel", "lumen", "resize", "wordgate", "_wordvault"]
# Private names that callers use and the reference documents.
DOCUMENTED_PRIVATE = {
    "framekit": {"Framekit._parse_ratio", "Framekit._get_closest_standard_ratio"},
    "aspectra": {"ImageAspectra._gcd"},
    "wordgate": {"PromptBanChecker._load_from_file", "PromptBanChecker._has_banned_word"},
    "_wordvault": {"_ED", "_EK"},
}


def own(module, value):
    """Whether a module attribute is the module's own, not a name it imported."""
    if isinstance(value, types.ModuleType):
        return False
    owner = getattr(value, "__module__", None)
    if inspect.isclass(value) or callable(value):
        return owner == module.__name__
    return not repr(value).startswith("typing.")


def public_names(name):
    module = importlib.import_module(f"kavira.{name}")
    names = set(DOCUMENTED_PRIVATE.get(name, ()))
    for attribute in dir(module):
        value = getattr(module, attribute)
        if attribute.startswith("_") or not own(module, value):
            continue
        names.add(attribute)
        if inspect.isclass(value):
            names.update(f"{attribute}.{member}" for member in dir(value)
                         if not member.startswith("_") and not hasattr(object, member))
    return names


def reference_entries():
    """Module name to the names its reference headings document."""
    text = README.read_text(encoding="utf-8")
    start = text.index("\n## Reference\n")
    end = text.index("\n## ", start + 1)
    entries, current = {}, None
    for heading in re.findall(r"^(#{3,4}) (.*)$", text[start:end], re.M):
        level, title = heading
        span = re.match(r"`([A-Za-z_][\w.]*)", title)
        if level == "###":
            current = span[1].removeprefix("kavira.") if span else None
            entries.setdefault(current, set())
        elif span and current is not None:
            entries[current].add(span[1])
    return entries


@pytest.mark.parametrize("name", MODULES)
def test_every_public_name_has_a_reference_entry(name):
    documented = reference_entries().get(name, set())
    missing = sorted(public_names(name) - documented)
    assert not missing, f"kavira.{name}: no reference entry for {missing}"


@pytest.mark.parametrize("name", MODULES)
def test_every_reference_entry_names_something_real(name):
    module = importlib.import_module(f"kavira.{name}")
    for entry in reference_entries().get(name, set()):
        value = module
        for part in entry.split("."):
            assert hasattr(value, part), f"the README documents kavira.{name}.{entry}, which does not exist"
            value = getattr(value, part)
