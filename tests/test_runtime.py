"""The shared runtime, seen through the modules: functions that behave like
Python functions, argument binding and conversion, plain classes."""

import inspect
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from kavira import aspectra, framekit, resize, tessel
from kavira.framekit import Framekit
from kavira.tessel import TesselSizeCalculator


def test_classes_are_plain_python_classes():
    assert type(Framekit) is type
    assert Framekit.__bases__ == (object,)
    assert (Framekit.__module__, Framekit.__qualname__) == ("kavira.framekit", "Framekit")
    instance = Framekit()
    instance.extra = 1
    assert instance.__dict__["extra"] == 1


def test_functions_carry_python_metadata():
    f = Framekit.adjust_size
    assert (f.__name__, f.__qualname__, f.__module__) == ("adjust_size", "Framekit.adjust_size", "kavira.framekit")
    assert f.__annotations__ == {"image_bytes": "bytes", "return_origin_ratio": "bool", "expand_percent": "float"}
    assert f.__defaults__ == (False, 10)
    assert f.__kwdefaults__ is None
    assert repr(f).startswith("<function Framekit.adjust_size at 0x")
    assert f.__globals__ is vars(framekit)


def test_metadata_is_writable():
    f = Framekit._get_closest_standard_ratio
    saved = f.__name__, f.__qualname__, f.__doc__, f.__annotations__
    try:
        f.__name__ = "renamed"
        f.__qualname__ = "X.renamed"
        f.__doc__ = "doc"
        f.__annotations__ = {"width": "float"}
        f.custom = 42
        assert (f.__name__, f.__qualname__, f.__doc__, f.custom) == ("renamed", "X.renamed", "doc", 42)
        assert str(inspect.signature(f)) == "(self, width: 'float', height)"
        with pytest.raises(TypeError, match="renamed\\(\\) takes exactly 3"):
            f(1)
        with pytest.raises(TypeError):
            f.__name__ = 3
        with pytest.raises(TypeError):
            f.__defaults__ = [1]
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__annotations__ = saved
        del f.custom


def test_written_defaults_change_calls_and_signature():
    f = aspectra.ImageAspectra.__init__
    assert f.__defaults__ == (10,)
    try:
        f.__defaults__ = (4,)
        assert aspectra.ImageAspectra().approx_search_range == 4
        assert "approx_search_range: 'int' = 4" in str(inspect.signature(aspectra.ImageAspectra))
        f.__defaults__ = None
        with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 2 positional arguments \(1 given\)"):
            aspectra.ImageAspectra()
    finally:
        f.__defaults__ = (10,)


def test_signatures():
    assert str(inspect.signature(Framekit)) == (
        "(proportion: 'Optional[str]' = None, need_adjust: 'str' = 'fill', "
        "fill_color=(255, 255, 255, 0), **kwargs)"
    )
    assert str(inspect.signature(Framekit._parse_ratio)) == "(ratio_str: 'str') -> 'Tuple[int, int]'"
    assert str(inspect.signature(Framekit()._get_closest_standard_ratio)) == (
        "(width: 'int', height: 'int') -> 'str'"
    )
    assert str(inspect.signature(TesselSizeCalculator.calc_size)) == (
        "(aspect_ratio: 'str' = '1:1', resolution: 'str' = '2k', strict: 'bool' = False)"
    )
    assert str(inspect.signature(resize.image_resize)) == (
        "(image: 'Image', target_w: 'int', target_h: 'int', bg_color=(0, 0, 0)) -> 'Image'"
    )


def test_descriptor_binding_and_method_kinds():
    instance = Framekit()
    assert Framekit.__dict__["adjust_size"].__get__(None, Framekit) is Framekit.adjust_size
    assert instance.adjust_size.__self__ is instance
    assert isinstance(Framekit.__dict__["_parse_ratio"], staticmethod)
    assert instance._parse_ratio("3:4") == Framekit._parse_ratio("3:4") == (3, 4)
    assert isinstance(TesselSizeCalculator.__dict__["calc_size"], classmethod)
    assert TesselSizeCalculator.calc_size.__self__ is TesselSizeCalculator


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Framekit(1, 2, 3, 4), "__init__() takes at most 4 positional arguments (5 given)"),
        (lambda: Framekit._parse_ratio("1:1", 2), "_parse_ratio() takes exactly 1 positional argument (2 given)"),
        (lambda: Framekit._parse_ratio(), "_parse_ratio() takes exactly 1 positional argument (0 given)"),
        (lambda: Framekit().adjust_size(), "adjust_size() takes at least 2 positional arguments (1 given)"),
        (lambda: Framekit().adjust_size(b"", 1, 2, 3), "adjust_size() takes at most 4 positional arguments (5 given)"),
        (lambda: Framekit._parse_ratio(ratio="1:1"), "unexpected keyword argument 'ratio'"),
        (lambda: Framekit._parse_ratio("1:1", ratio_str="1:1"), "multiple values for argument 'ratio_str'"),
        (lambda: Framekit()._get_closest_standard_ratio(1, width=2), "multiple values for argument 'width'"),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert message in str(raised.value)


def test_keywords_bind_by_name_and_extra_keywords_are_kept():
    instance = Framekit(fill_color=(1, 2, 3, 4), proportion="1:1", other="x")
    assert (instance.proportion, instance.fill_color, instance.kwargs) == ("1:1", (1, 2, 3, 4), {"other": "x"})
    assert Framekit._parse_ratio(ratio_str="5:7") == (5, 7)


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Framekit(3), "Argument 'proportion' has incorrect type (expected str, got int)"),
        (lambda: Framekit(need_adjust=None), "Argument 'need_adjust' has incorrect type (expected str, got NoneType)"),
        (lambda: Framekit()._get_closest_standard_ratio("100", 1), "(expected int, got str)"),
        (lambda: Framekit().adjust_size(b"", expand_percent="5"), "(expected float, got str)"),
        (lambda: tessel.TesselSizeCalculator.calc_size(None), "Argument 'aspect_ratio' has incorrect type"),
    ],
)
def test_refused_argument_types(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert message in str(raised.value)


def test_subclass_of_exact_type_is_refused_with_a_note():
    with pytest.raises(TypeError) as raised:
        Framekit(Text("1:1"))
    assert str(raised.value).startswith(
        "Argument 'proportion' has incorrect type (expected str, got Text). "
    )


@pytest.mark.parametrize("value, expected", [(3.9, 3), (True, 1), (-2.5, -2), (10**30, 10**30)])
def test_int_parameters_convert_numbers(value, expected):
    result = aspectra.ImageAspectra(value).approx_search_range
    assert result == expected and type(result) is int


def test_replaced_module_global_is_used_at_call_time(monkeypatch):
    import re

    calls = []

    class Spy:
        def match(self, pattern, text):
            calls.append((pattern, text))
            return re.match(pattern, text)

    monkeypatch.setattr(framekit, "re", Spy())
    assert Framekit._parse_ratio(" 4:5 ") == (4, 5)
    assert calls == [(r"(\d+):(\d+)", "4:5")]


def test_module_globals_in_order():
    names = [n for n in vars(framekit) if not n.startswith("__")]
    assert names == ["BytesIO", "Optional", "Tuple", "Image", "re", "math", "Framekit"]
    assert [n for n in vars(tessel) if not n.startswith("__")] == ["math", "ServiceError", "TesselSizeCalculator"]


def test_package_imports_without_pillow_and_other_modules_survive(tmp_path):
    script = textwrap.dedent(
        """
        import sys
        sys.modules["PIL"] = None
        import kavira
        assert kavira.__version__
        try:
            import kavira.framekit
        except ImportError:
            pass
        else:
            raise SystemExit("framekit imported without Pillow")
        from kavira.tessel import TesselSizeCalculator
        assert TesselSizeCalculator.calc_size("1:1", "1k")["width"] == 1254
        """
    )
    subprocess.run([sys.executable, "-c", script], check=True, cwd=tmp_path)


class Key(str):
    pass


@pytest.mark.parametrize("key", ["".join(["ratio", "_str"]), Key("ratio_str")])
def test_keyword_names_bind_by_equality_not_identity(key):
    assert key == "ratio_str" and key is not sys.intern("ratio_str")
    assert Framekit._parse_ratio(**{key: "3:4"}) == (3, 4)
    name = "".join(["propor", "tion"])
    assert Framekit(**{name: "1:1"}).proportion == "1:1"
    assert Framekit(**{name + "s": "1:1"}).kwargs == {"proportions": "1:1"}


RUNTIME = Path(__file__).resolve().parents[1] / "runtime"
needs_gcc = pytest.mark.skipif(not (RUNTIME / "kavira" / "runtime.hpp").exists() or not shutil.which("g++"),
                               reason="needs the runtime sources and g++")


def compile_probe(tmp_path, code, *flags):
    import sysconfig
    source = tmp_path / "probe.cpp"
    source.write_text(f'#include "kavira/runtime.hpp"\n{code}\n')
    return subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", *flags, f"-I{RUNTIME}", f"-I{sysconfig.get_paths()['include']}",
         str(source)],
        capture_output=True, text=True)


@needs_gcc
@pytest.mark.parametrize("body, compiles", [
    ("kv::Ref r = kv::text(\"x\"); PyObject* p = r; (void)p;", True),
    ("(void)PyObject_IsTrue(kv::text(\"x\").get());", True),
    ("(void)kv::truthy(kv::text(\"x\"));", True),
    # A temporary's pointer may not be taken without .get(); clang also
    # flags a .get() kept past the statement (below).
    ("PyObject* p = kv::text(\"x\"); (void)p;", False),
    ("(void)PyObject_IsTrue(kv::text(\"x\"));", False),
])
def test_a_temporary_refs_pointer_needs_get(tmp_path, body, compiles):
    result = compile_probe(tmp_path, f"void probe() {{ {body} }}", "-Wall", "-Wextra", "-Werror")
    assert (result.returncode == 0) == compiles, result.stderr[-2000:]


@pytest.mark.parametrize("body, dangles", [
    ("PyObject* n = kv::str(b).get(); (void)n;", True),
    ("kv::PendingError e; PyObject* t = kv::PendingError().type(); (void)t;", True),
    ("kv::Ref s = kv::str(b); PyObject* n = s.get(); (void)n;", False),
    ("(void)PyObject_IsTrue(kv::str(b).get());", False),
])
def test_clang_flags_a_pointer_kept_past_its_temporary_owner(body, dangles):
    cindex = pytest.importorskip("clang.cindex")
    if not shutil.which("g++"):
        pytest.skip("the C library headers come from g++")
    source = f'#include "kavira/runtime.hpp"\nvoid probe(PyObject* b) {{\n{body}\n}}\n'
    unit = clang_parse(cindex, "probe.cpp", source)
    errors = [d.spelling for d in unit.diagnostics if d.severity >= cindex.Diagnostic.Error]
    assert not errors
    found = [d.option for d in unit.diagnostics if d.location.line == 3 and d.severity == cindex.Diagnostic.Warning]
    assert (found == ["-Wdangling"]) == dangles, found


def clang_parse(cindex, path, source=None, *flags):
    import sysconfig
    builtin = subprocess.run(["g++", "-print-file-name=include"], capture_output=True, text=True).stdout.strip()
    return cindex.Index.create().parse(
        # GCC's vector intrinsics do not parse under clang: read the portable paths.
        str(path), args=["-std=c++20", *flags, "-U__SSE2__", "-U__AVX2__", "-isystem", builtin, f"-I{RUNTIME}",
                         "-isystem", sysconfig.get_paths()["include"]],
        unsaved_files=[(str(path), source)] if source is not None else None)


SOURCES = sorted(p for p in (RUNTIME.parent / "src" / "kavira").glob("*.cpp") if p.name != "_wordvault.cpp")


@pytest.mark.parametrize("path", [*SOURCES, RUNTIME / "kavira" / "runtime.cpp"], ids=lambda p: p.name)
def test_clang_compiles_the_sources_without_a_warning(path):
    cindex = pytest.importorskip("clang.cindex")
    if not path.exists() or not shutil.which("g++"):
        pytest.skip("needs the sources, and g++ for the C library headers")
    unit = clang_parse(cindex, path, None, "-Wall", "-Wextra")
    root = RUNTIME.parent
    ours = [f"{d.location.file}:{d.location.line}: {d.spelling}" for d in unit.diagnostics
            if d.severity >= cindex.Diagnostic.Warning
            and (d.severity >= cindex.Diagnostic.Error or str(d.location.file).startswith(str(root)))]
    assert ours == []


SPEC_PROBE = """
using kv::Ref;
struct State : kv::ModuleState {{}};
Ref grow(State&, PyObject* self, kv::Bytes data, bool flag, {kind} percent{kwargs}) {{
  const double scale = percent / 100 + 1;
  (void)self, (void)data, (void)flag, (void)scale;
  return kv::none();
}}
const kv::Binding<grow> binding{{{{kv::Way::Method, "C.grow"}}, {{{params}}}}};
void make(PyObject* module) {{ kv::add_functions(module, {{binding}}); }}
"""
FULL = '{"self"}, {"data", "bytes"}, {"flag", "bool"}, {"percent", "float"}'


@needs_gcc
@pytest.mark.parametrize("kind, kwargs, params, error", [
    ("double", "", FULL, None),
    ("double", ", [[maybe_unused]] kv::Kwargs extra", FULL, None),
    # A parameter the binding leaves out, or one the implementation lacks.
    ("double", "", '{"self"}, {"data", "bytes"}, {"flag", "bool"}', "(3 == 4)"),
    ("double", "", FULL + ', {"more"}', "(5 == 4)"),
    # Defaults are trailing, as in a def statement.
    ("double", "", '{"self"}, {"data", "bytes", "x"}, {"flag", "bool"}, {"percent", "float", 1}',
     "a_parameter_without_a_default_follows_one_with_a_default"),
    ("double", "", '{"self"}, {"data", "bytes"}, {"flag", "bool", true}, {"percent", "float", 1}', None),
    # Declared unchecked, the argument cannot be read as a number.
    ("PyObject*", "", FULL, "invalid operands"),
    # Only the binding's parameter types can receive an argument.
    ("int", "", FULL, "a parameter is PyObject*, double, bool or a kv:: checked type"),
    ("double", ", kv::Kwargs extra, PyObject* after", FULL + ', {"after"}', "Kwargs is only ever last"),
])
def test_specs_are_checked_when_compiled(tmp_path, kind, kwargs, params, error):
    code = SPEC_PROBE.format(kind=kind, kwargs=kwargs, params=params)
    result = compile_probe(tmp_path, code, "-Wall", "-Wextra", "-Werror")
    if error is None:
        assert result.returncode == 0, result.stderr[-3000:]
    else:
        assert result.returncode != 0 and error in result.stderr, result.stderr[-3000:]


WITH_PROBE = r"""
#include <new>
#include <stdexcept>
namespace {
PyObject* run(PyObject*, PyObject* args) {
  return kv::boundary([&]() -> PyObject* {
    PyObject *manager, *what;
    if (!PyArg_ParseTuple(args, "OO", &manager, &what)) kv::raise();
    bool finished = kv::with(manager, [&](PyObject*) {
      if (PyUnicode_CompareWithASCIIString(what, "bad_alloc") == 0) throw std::bad_alloc();
      if (PyUnicode_CompareWithASCIIString(what, "other") == 0) throw std::runtime_error("x");
      kv::raise(PyExc_KeyError, "from the body");
    });
    return kv::boolean(finished).release();
  }, nullptr);
}
PyMethodDef methods[] = {{"run", run, METH_VARARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef definition = {PyModuleDef_HEAD_INIT, "with_probe", nullptr, -1, methods};
}  // namespace
PyMODINIT_FUNC PyInit_with_probe() { return PyModule_Create(&definition); }
"""


@pytest.fixture(scope="module")
def with_probe(tmp_path_factory):
    import importlib.util
    import sysconfig
    if not (RUNTIME / "kavira" / "runtime.cpp").exists() or not shutil.which("g++"):
        pytest.skip("needs the runtime sources and g++")
    folder = tmp_path_factory.mktemp("with_probe")
    (folder / "probe.cpp").write_text('#include "kavira/runtime.hpp"\n' + WITH_PROBE)
    target = folder / ("with_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(["g++", "-std=c++20", "-shared", "-fPIC", "-O0", f"-I{RUNTIME}",
                    f"-I{sysconfig.get_paths()['include']}", str(folder / "probe.cpp"),
                    str(RUNTIME / "kavira" / "runtime.cpp"), "-o", str(target)], check=True)
    module_spec = importlib.util.spec_from_file_location("with_probe", target)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("what, raised", [("bad_alloc", MemoryError), ("other", SystemError), ("python", KeyError)])
@pytest.mark.parametrize("swallow", [False, True])
def test_with_runs_exit_for_whatever_leaves_the_body(with_probe, what, raised, swallow):
    seen = []

    class Manager:
        def __enter__(self):
            return self

        def __exit__(self, kind, value, traceback):
            seen.append((kind, type(value)))
            return swallow

    if swallow:
        assert with_probe.run(Manager(), what) is False
    else:
        with pytest.raises(raised):
            with_probe.run(Manager(), what)
    assert seen == [(raised, raised)]


# Each case keeps a daemon thread inside one kind of long native call while
# the interpreter exits, which ends that thread with a forced unwind of its
# stack the moment it next takes the GIL. The PNG writer's cases, with and
# without isal and its band threads, are in test_framekit_host.py.
EXIT_SETUP = """
import io, os, sys, threading, time
from PIL import Image
def png(w, h):
    b = io.BytesIO(); Image.new("RGB", (w, h), "teal").save(b, "PNG"); return b.getvalue()
"""
EXIT_CASES = {
    "ratio search without the GIL": (
        {},
        "from kavira.aspectra import ImageAspectra\n"
        "work = lambda a=ImageAspectra(20000), src=png(1919, 1081): a.get_approx_simple_ratio(src)\n",
    ),
    "ratio search on objects": (
        {},
        "from kavira.aspectra import ImageAspectra\n"
        "work = lambda a=ImageAspectra(2**32), src=png(1919, 1081): a.get_approx_simple_ratio(src)\n",
    ),
    "calc_size through Python methods": (
        {},
        "from kavira.tessel import TesselSizeCalculator as T\n"
        "class C(T):\n"
        "    @classmethod\n"
        "    def round_to_multiple(cls, value, multiple=None):\n"
        "        return T.round_to_multiple.__func__(cls, value, multiple)\n"
        "work = lambda: [C.calc_size(f'{i}:7', '4k') for i in range(1, 200)]\n",
    ),
    "word checks": (
        {},
        "from kavira.wordgate import PromptBanChecker\n"
        "class C(PromptBanChecker):\n"
        "    def _has_banned_word(self, text):\n"
        "        time.sleep(0)\n"
        "        return super()._has_banned_word(text)\n"
        "c = C(builtin_words=[f'w{i}x' for i in range(40)], use_default=False)\n"
        "work = lambda text='so good ' * 20000: c.check(text)\n",
    ),
    "word loads": (
        {},
        "from kavira.wordgate import PromptBanChecker\n"
        "path = os.environ['WORD_FILE']\n"
        "with open(path, 'w') as f: f.write('\\n'.join(f'word{i}' for i in range(20000)))\n"
        "class C(PromptBanChecker):\n"
        "    def _build_engine(self):\n"
        "        time.sleep(0)\n"
        "        super()._build_engine()\n"
        "work = lambda: C(ban_word_file=path, use_default=False)\n",
    ),
}


@pytest.mark.parametrize("case", EXIT_CASES)
def test_interpreter_exit_with_a_daemon_thread_inside_a_native_call(case, tmp_path):
    env_extra, body = EXIT_CASES[case]
    script = EXIT_SETUP + body + textwrap.dedent("""
        def loop():
            while True:
                work()
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.6)
        print("main returns", flush=True)
    """)
    runs = [subprocess.Popen([sys.executable, "-c", script],
                             env={**os.environ, **env_extra, "WORD_FILE": str(tmp_path / f"words{k}.txt")}, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for k in range(4)]
    for run in runs:
        out, err = run.communicate(timeout=120)
        assert (run.returncode, out) == (0, "main returns\n"), err[-2000:]
