"""scripts/check_order.py on small C++ snippets, each compiled against the runtime."""

import importlib.util
import sys
from pathlib import Path

import pytest

pytest.importorskip("clang.cindex", reason="libclang is not installed")

ROOT = Path(__file__).resolve().parent.parent
module_spec = importlib.util.spec_from_file_location("check_order", ROOT / "scripts" / "check_order.py")
check_order = importlib.util.module_from_spec(module_spec)
sys.modules["check_order"] = check_order  # dataclasses look their module up
module_spec.loader.exec_module(check_order)

PRELUDE = """\
#include "kavira/runtime.hpp"
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>
namespace {
using kv::Ref;
struct State : kv::ModuleState {
  kv::Name x{this, "x"}, y{this, "y"}, f{this, "f"};
  Ref kw;
};
Ref helper(State& s, PyObject* o) { return kv::getattr(o, s.x); }
Ref mystery(PyObject* o);
bool both(bool a, bool b) { return a && b; }
Ref conv(long v) { return kv::integer(v); }
Ref conv(PyObject* o) { return kv::str(o); }
template <class Pick>
Ref twice(Pick pick, PyObject* o) { return kv::tuple(pick(o), kv::str(o)); }
struct Attr {
  Attr(PyObject* o, PyObject* n) : r(kv::getattr(o, n)) {}
  Ref r;
};
struct Text {
  PyObject* o;
  operator Ref() const { return kv::str(o); }
};
Ref pair_of(Ref first, Ref second) { return kv::tuple(first, second); }
struct Lazy {
  PyObject* o;
  PyObject* n;
  Ref get() const { return kv::getattr(o, n); }
};
}  // namespace
"""
SIGNATURE = (
    "void body(State& s, PyObject* a, PyObject* b, PyObject* c, PyObject* o, PyObject* obj, PyObject* d,"
    " PyObject* k, PyObject* t, long x, long y, double dd, std::optional<long> n, std::vector<long> v,"
    " std::vector<PyObject*> items)"
)

# Each kind of wrong code the name-list checker missed, and then the rules it kept.
MUST_FLAG = {
    "a local type whose constructor runs Python code, as a braced temporary": "kv::tuple(Attr{a, s.x}.r, kv::str(b));",
    "an implicit conversion that runs Python code": "Text text{a};\npair_of(text, kv::str(b));",
    "a member .get() that runs Python code": "Lazy z{a, s.x};\nkv::tuple(z.get(), kv::str(b));",
    "a lambda handed to a std:: algorithm beside a running argument": (
        "kv::tuple(kv::integer(std::count_if(items.begin(), items.end(),\n"
        "                                    [](PyObject* i) { return kv::truthy(i); })),\n"
        "          kv::str(b));"
    ),
    "comparisons inside arguments are not template brackets": "both(x < kv::truthy(a), kv::truthy(b) > y);",
    "brackets opened in both branches of #if/#else": (
        "#if PY_VERSION_HEX >= 0x030C0000\nif (kv::truthy(a)) {\n#else\nif (kv::truthy(b)) {\n#endif\n"
        "  kv::add(kv::str(a), kv::str(b));\n}"
    ),
    "a callable template argument that runs Python code": "twice([](PyObject* i) { return kv::str(i); }, a);",
    "two kv calls as arguments": "kv::add(kv::getattr(a, s.x), kv::getattr(b, s.y));",
    "C API call with two running arguments": "PyObject_RichCompareBool(kv::str(a).get(), kv::str(b).get(), Py_EQ);",
    "a member global and an attribute": "kv::call(s.global(s.f), kv::getattr(a, s.x));",
    "the object and the value of setattr": "kv::setattr(kv::getattr(o, s.x), s.y, kv::call(c));",
    "a local function inferred from its body": "kv::tuple(helper(s, a), helper(s, b));",
    "a local lambda inferred from its body": "auto g = [&](PyObject* i) { return kv::str(i); };\nkv::tuple(g(a), g(b));",
    "a kv::Method variable": "kv::Method m = kv::method(o, s.f);\nkv::tuple(m(a), kv::str(b));",
    "a lambda called on the spot": "kv::tuple([&] { return kv::str(a); }(), kv::str(b));",
    "direct initialisation": "std::pair<Ref, Ref> p(kv::str(a), kv::str(b));",
    "%S formats by calling str()": 'kv::tuple(Ref::steal(PyUnicode_FromFormat("%S", a)), kv::str(b));',
    "PyErr_SetObject instantiates the class": "kv::tuple(kv::integer((PyErr_SetObject(c, a), 1)), kv::str(b));",
    "operands of ==": "bool same = kv::truthy(a) == kv::truthy(b);",
    "operands of != through member calls": "bool r = kv::getattr(a, s.x).get() != kv::getattr(b, s.y).get();",
    "operands of + inside an argument": "kv::integer(kv::truthy(a) + kv::truthy(b));",
    "operands of < with casts": "if (static_cast<double>(kv::truthy(a)) < static_cast<double>(kv::truthy(b))) {}",
    "call_method with a running argument": "kv::call_method(obj, s.f, kv::getattr(a, s.x));",
    "call_method_kw with a running argument": "kv::call_method_kw(obj, s.f, s.kw, a, helper(s, b));",
    "a bad call inside a lambda argument": "kv::with(d, [&](PyObject* i) { kv::add(kv::str(i), kv::str(i)); });",
    "a callee without a visible body counts as running": "kv::tuple(mystery(a), kv::str(b));",
}

MUST_PASS = {
    "std members are not Python code": "long r = n.value_or(0) + v.at(0);",
    "a pure overload beside a running one": "kv::tuple(conv(1L), conv(a));",
    "C library calls": "double z = fabs(dd) + llabs(-3);",
    "a callable template argument that runs nothing": "twice([](PyObject* i) { return Ref::borrow(i); }, a);",
    "separate statements": "Ref p = kv::getattr(a, s.x);\nRef q = kv::getattr(b, s.y);\nkv::add(p, q);",
    "plain values, literals and .get()": 'kv::call_method(obj, s.f, a, s.x.get(), kv::integer(3), kv::text("x"));',
    "nested calls are sequenced": "kv::str(kv::getattr(kv::getattr(a, s.x), s.y));",
    "one running argument among pure ones": 'kv::tuple(kv::integer(1), kv::str(a), Ref::borrow(b), kv::text("t"));',
    "the callee before its arguments": "kv::method(o, s.f)(kv::str(a));",
    "the object of call_method is evaluated first": "kv::call_method(kv::getattr(a, s.x), s.f, b);",
    "&& and ||": "if ((kv::truthy(a) && kv::truthy(b)) || kv::truthy(c)) {}",
    "?:": "Ref r = kv::truthy(a) ? kv::str(a) : kv::str(b);",
    "assignment": "Ref r;\nr = kv::str(a);\nauto [w, h] = kv::unpack2(kv::getattr(o, s.x));",
    "brace initialisation runs left to right": "std::pair<Ref, Ref> p{kv::str(a), kv::str(b)};",
    "an initialiser list argument": 'kv::make_class(o, "C", nullptr, {{"a", kv::str(a)}, {"b", kv::str(b)}}, {});',
    "two declarators": "Ref p = kv::str(a), q = kv::str(b);",
    "a lambda argument runs later": "kv::with(kv::call(c), [&](PyObject* i) { kv::str(i); });",
    "unevaluated operands": "size_t z = sizeof(kv::str(a)) + kv::truthy(b);",
    "%U formats without running code": 'kv::tuple(Ref::steal(PyUnicode_FromFormat("%U:%d", a, 1)), kv::str(b));',
    "pure C API and std calls": "kv::tuple(kv::integer(std::max(1L, long{PyUnicode_GET_LENGTH(t)})), kv::str(a));",
    "an empty set iterates nothing": "kv::tuple(kv::new_set(), Ref::steal(PySet_New(nullptr)), kv::str(a));",
}

BAD_RAW = {
    "PyDict_GetItem": "PyObject* r = PyDict_GetItem(d, k);",
    "PyDict_GetItemWithError": "PyObject* r = PyDict_GetItemWithError(d, k);",
    "a list item of an owned list, kept": "Ref l = kv::new_list();\nPyObject* r = PyList_GET_ITEM(l.get(), 0);",
    "a tuple item of an owned tuple, kept": "Ref u = kv::tuple(a);\nPyObject* r = PyTuple_GET_ITEM(u.get(), 0);",
    "PyDict_Next": "Py_ssize_t pos = 0;\nPyObject *key, *value;\nwhile (PyDict_Next(d, &pos, &key, &value)) {}",
    "Py_INCREF": "Py_INCREF(o);",
    "Py_NewRef": "PyObject* r = Py_NewRef(o);",
}
GOOD_RAW = {
    "a tuple item owned at once": "Ref r = Ref::borrow(PyTuple_GET_ITEM(t, 1));",
    "a module dict owned at once": "Ref r = Ref::borrow(PyModule_GetDict(o));",
    "the owned look-up": "Ref r = kv::dict_get(d, k);",
}
WAIVERS = {
    "on the line": ("Py_INCREF(o);  // raw-api: ok the object is immortal", []),
    "alone on the line above": ("// raw-api: ok the object is immortal\nPy_INCREF(o);", []),
    "an order finding": ("kv::add(kv::str(a), kv::str(b));  // order: ok both are exact str", []),
    "without a reason": ("Py_INCREF(o);  // raw-api: ok", ["raw-api", "waiver"]),
    "of the wrong kind": ("Py_INCREF(o);  // order: ok wrong kind of waiver", ["raw-api", "waiver"]),
    "that waives nothing": ("Ref r = kv::str(a);  // order: ok nothing to waive", ["waiver"]),
}
DANGLING = {"a pointer kept past its temporary": "PyObject* p = Keep{kv::str(a)}.get();\n(void)p;"}
DANGLING_DECLS = "struct Keep {\n  Ref r;\n  PyObject* get() const [[clang::lifetimebound]] { return r.get(); }\n};\n"

CASES = {
    **{("flag", k): v for k, v in MUST_FLAG.items()},
    **{("pass", k): v for k, v in MUST_PASS.items()},
    **{("bad-raw", k): v for k, v in BAD_RAW.items()},
    **{("good-raw", k): v for k, v in GOOD_RAW.items()},
    **{("waiver", k): v[0] for k, v in WAIVERS.items()},
    **{("dangling", k): v for k, v in DANGLING.items()},
}


@pytest.fixture(scope="module")
def found(tmp_path_factory):
    """Every case in one translation unit, each in its own namespace, checked
    once; the findings of each case by the lines it spans."""
    lines = PRELUDE.splitlines()
    spans = {}
    for i, (key, body) in enumerate(CASES.items()):
        decls = DANGLING_DECLS if key[0] == "dangling" else ""
        start = len(lines) + 1
        lines += f"namespace case{i} {{\nnamespace {{\n{decls}{SIGNATURE} {{\n{body}\n}}\n}}  // namespace\n}}".splitlines()
        spans[key] = (start, len(lines))
    path = tmp_path_factory.mktemp("snippets") / "snippets.cpp"
    text = "\n".join(lines) + "\n"
    path.write_text(text)
    findings = check_order.check(path, text)
    # A finding in a shared template counts where the case instantiated it.
    outside = [f for f in findings if not any(lo <= (f.site or f.line) <= hi for lo, hi in spans.values())]
    assert outside == []
    return {key: [f for f in findings if lo <= (f.site or f.line) <= hi] for key, (lo, hi) in spans.items()}


def kinds(found, key):
    compile_errors = [f for f in found[key] if f.kind == "compile"]
    assert compile_errors == [] or key[0] == "dangling", compile_errors
    return sorted(f.kind for f in found[key])


@pytest.mark.parametrize("name", MUST_FLAG)
def test_flags_evaluations_in_unspecified_order(found, name):
    assert kinds(found, ("flag", name)) == ["order"]


@pytest.mark.parametrize("name", MUST_PASS)
def test_passes_sequenced_or_pure_code(found, name):
    assert kinds(found, ("pass", name)) == []


@pytest.mark.parametrize("name", BAD_RAW)
def test_flags_borrowed_and_raw_references_in_module_code(found, name):
    assert kinds(found, ("bad-raw", name)) == ["raw-api"]


@pytest.mark.parametrize("name", GOOD_RAW)
def test_passes_references_owned_at_once(found, name):
    assert kinds(found, ("good-raw", name)) == []


@pytest.mark.parametrize("name", WAIVERS)
def test_waivers_need_a_reason_and_a_finding(found, name):
    assert kinds(found, ("waiver", name)) == WAIVERS[name][1]


def test_lifetime_warnings_are_errors(found):
    [f] = found[("dangling", "a pointer kept past its temporary")]
    assert f.kind == "compile" and "destroyed" in f.message


def test_names_each_running_argument(found):
    [f] = found[("flag", "a member .get() that runs Python code")]
    assert "argument 1 (Lazy::get -> kv::getattr (declared))" in f.message
    assert "argument 2 (kv::str (declared))" in f.message


def test_a_runtime_body_must_match_its_declaration(tmp_path, monkeypatch):
    header = tmp_path / "rt.hpp"
    header.write_text(
        "#include <Python.h>\n#define RUNS [[clang::annotate(\"kv:runs-python\")]]\n"
        "inline PyObject* named(PyObject* o) { return PyObject_Str(o); }\n"
        "RUNS inline PyObject* declared(PyObject* o) { return PyObject_Str(o); }\n"
        "inline PyObject* waived(PyObject* o) { return PyObject_Str(o); }  // pure: ok only ever given a str\n"
        "inline PyObject* pure(PyObject* o) { return PyLong_FromLong(PyTuple_GET_SIZE(o)); }\n"
    )
    source = tmp_path / "rt.cpp"
    source.write_text('#include "rt.hpp"\n')
    monkeypatch.setattr(check_order, "RUNTIME", tmp_path)
    check_order.file_origin.cache_clear()
    try:
        findings = check_order.check(source)
    finally:
        check_order.file_origin.cache_clear()
    assert [(f.line, f.kind) for f in findings] == [(3, "declare")]


def test_the_runtime_declares_what_runs_python_code(capsys):
    assert check_order.main(["--list-functions"]) == 0
    listed = set(capsys.readouterr().out.splitlines())
    for name in ["kv::getattr", "kv::call_method", "kv::dict_get", "kv::raise_object", "kv::Method::Method"]:
        assert f"runs  {name}" in listed
    for name in ["kv::Ref::get", "kv::integer", "kv::tuple", "kv::Borrowed::Borrowed"]:
        assert f"pure  {name}" in listed


def test_command_line(tmp_path, capsys):
    good, bad = tmp_path / "good.cpp", tmp_path / "bad.cpp"
    good.write_text('#include "kavira/runtime.hpp"\nvoid f(PyObject* a) { kv::Ref x = kv::str(a); }\n')
    bad.write_text('#include "kavira/runtime.hpp"\nvoid f(PyObject* a) {\n  kv::add(kv::str(a), kv::str(a));\n}\n')
    assert check_order.main([str(good)]) == 0
    assert check_order.main([str(bad)]) == 1
    assert capsys.readouterr().out.startswith(f"{bad}:3: order: kv::add()")
