"""Every public callable of every module has a working signature and help."""

import importlib
import inspect
import pydoc

import pytest

MODULES = ["framekit", "aspectra", "tessel", "lumen", "resize", "wordgate"]


def callables(module):
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module.__name__:
            continue
        yield name, value
        if isinstance(value, type):
            for member_name, member in vars(value).items():
                if isinstance(member, (staticmethod, classmethod)) or callable(member):
                    yield f"{name}.{member_name}", getattr(value, member_name)


@pytest.mark.parametrize("name", MODULES)
def test_signatures_and_help(name):
    module = importlib.import_module(f"kavira.{name}")
    seen = 0
    for qualified, value in callables(module):
        signature = inspect.signature(value)
        for parameter in signature.parameters.values():
            assert parameter.annotation is inspect.Parameter.empty or isinstance(parameter.annotation, str)
        if not isinstance(value, type):
            assert value.__qualname__ == qualified
        seen += 1
    assert seen >= 1
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    for qualified, value in callables(module):
        short = qualified.rsplit(".", 1)[-1]
        if not short.startswith("_"):  # help() hides private names
            assert short in text, qualified
