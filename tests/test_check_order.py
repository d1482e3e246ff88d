"""scripts/check-order.py on small C++ snippets: what it must flag and what it must pass."""

import importlib.machinery
import sys
import types
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _load():
    path = str(ROOT / "scripts" / "check-order.py")
    module = types.ModuleType("check_order")
    module.__file__ = path
    sys.modules[module.__name__] = module  # dataclasses look their module up
    importlib.machinery.SourceFileLoader(module.__name__, path).exec_module(module)
    return module


check_order = _load()

PRELUDE = "namespace {\nusing kv::Ref;\n"
LOCAL = "Ref helper(State& s, PyObject* o) { return kv::getattr(o, s.x); }\n"


def findings(body, path="kavira/snippet.cpp", kinds=None):
    found = check_order.check_source(PRELUDE + LOCAL + f"void f(State& s) {{\n{body}\n}}\n}}\n", path)
    return [f for f in found if kinds is None or f.kind in kinds]


BAD_ORDER = {
    "two kv calls as arguments": "kv::add(kv::getattr(a, s.x), kv::getattr(b, s.y));",
    "C API call with two running arguments": "PyObject_RichCompareBool(kv::str(a), kv::str(b), Py_EQ);",
    "a member global and an attribute": "kv::call(s.global(s.f), kv::getattr(a, s.x));",
    "the object and the value of setattr": "kv::setattr(kv::getattr(self, s.inner), s.x, kv::call(f));",
    "a local function inferred from its body": "kv::tuple(helper(s, a), helper(s, b));",
    "a local lambda inferred from its body": "auto g = [&](PyObject* o) { return kv::str(o); };\nkv::tuple(g(a), g(b));",
    "a kv::Method variable": "kv::Method m = kv::method(o, s.f);\nkv::tuple(m(a), kv::str(b));",
    "a lambda called on the spot": "kv::tuple([&] { return kv::str(a); }(), kv::str(b));",
    "direct initialisation": "Ref pair(kv::str(a), kv::str(b));",
    "%S formats by calling str()": 'kv::tuple(Ref::steal(PyUnicode_FromFormat("%S", a)), kv::str(b));',
    "operands of ==": "bool same = kv::truthy(a) == kv::truthy(b);",
    "operands of != through member calls": "kv::getattr(a, s.x).get() != kv::getattr(b, s.y).get();",
    "operands of + inside an argument": "kv::append(l, kv::length(a) + kv::length(b));",
    "operands of < with casts around them": "if (static_cast<double>(kv::length(a)) < static_cast<double>(kv::length(b))) {}",
    "call_method with a running argument": "kv::call_method(obj, s.f, kv::getattr(a, s.x));",
    "call_method_kw with a running argument": "kv::call_method_kw(obj, s.f, s.kw, a, helper(s, b));",
    "a bad call inside a lambda argument": "kv::with(m, [&](PyObject* v) { kv::add(kv::str(v), kv::str(v)); });",
    "an unclassified callee counted as running": "kv::tuple(mystery(a), kv::str(b));",
    "a callee with template arguments": "kv::tuple(helper<State>(s, a), kv::str(b));",
}


@pytest.mark.parametrize("body", BAD_ORDER.values(), ids=BAD_ORDER.keys())
def test_flags_unspecified_order(body):
    assert [f.kind for f in findings(body)] == ["order"]


GOOD_ORDER = {
    "separate statements": "Ref x = kv::getattr(a, s.x);\nRef y = kv::getattr(b, s.y);\nkv::add(x, y);",
    "plain values, literals, .get() and names": 'kv::call_method(obj, s.f, a.get(), s.name, 1, "x", kv::integer(3), *p);',
    "nested calls are sequenced": "kv::str(kv::getattr(kv::getattr(a, s.x), s.y));",
    "one running argument among pure ones": "kv::tuple(kv::integer(1), kv::str(a), Ref::borrow(b), kv::text(\"t\"));",
    "the callee before its arguments": "kv::method(o, s.f)(kv::str(a));",
    "a member call on a running object": "kv::getattr(a, s.x).get() != s.y.get();",
    "&& and ||": "if (kv::truthy(a) && kv::truthy(b) || kv::truthy(c)) {}",
    "&& between comparisons": "bool both = kv::length(a) > 0 && kv::length(b) > 0;",
    "?:": "Ref r = kv::truthy(a) ? kv::str(a) : kv::str(b);",
    "assignment": "r = kv::str(a);\nstd::tie(w, h) = kv::unpack2(kv::getattr(img, s.size));",
    "brace initialisation": "return {kv::str(a), kv::str(b)};",
    "an initialiser list argument": 'kv::make_class(m, "C", doc, {{"a", kv::str(a)}, {"b", kv::str(b)}});',
    "two declarators": "Ref x = kv::str(a), y = kv::str(b);",
    "a lambda argument runs later": "kv::with(kv::call(f), [&](PyObject* v) { kv::str(v); });",
    "unevaluated operands": "size_t n = sizeof(kv::str(a)) + kv::length(b);",
    "templates are not comparisons": "std::vector<std::pair<Py_ssize_t, PyObject*>> v;\nkv::tuple(static_cast<Ref>(x), kv::str(a));",
    "%U formats without running code": 'kv::tuple(Ref::steal(PyUnicode_FromFormat("%U:%d", a, 1)), kv::str(b));',
    "pure C API and std calls": "kv::tuple(PyLong_FromLong(std::max(1, 2)), kv::str(a), PyUnicode_GET_LENGTH(t));",
    "comments and strings": '// kv::add(kv::str(a), kv::str(b))\nconst char* t = "kv::add(kv::str(a), kv::str(b))";',
}


@pytest.mark.parametrize("body", GOOD_ORDER.values(), ids=GOOD_ORDER.keys())
def test_passes_sequenced_code(body):
    assert findings(body) == []


def test_reports_the_callee_line_and_the_arguments():
    [f] = findings("Ref r = kv::add(\n    kv::str(a),\n    kv::getattr(b, s.y));")
    assert f.line == 5  # the prelude, the helper and the function's opening take four lines
    assert "arguments 1 (kv::str), 2 (kv::getattr)" in f.message
    assert str(f).startswith("kavira/snippet.cpp:5: kv::add()")


@pytest.mark.parametrize(
    "body, name",
    [("kv::frobnicate(a);", "kv::frobnicate"), ("PyFrobnicate(a);", "PyFrobnicate"), ("Ref::mangle(a);", "Ref::mangle")],
)
def test_unknown_runtime_and_c_api_names_need_classifying(body, name):
    [f] = findings(body)
    assert (f.kind, f.message.split()[0]) == ("classify", name)


BAD_RAW = {
    "PyDict_GetItem": "PyObject* v = PyDict_GetItem(d, k);",
    "PyDict_GetItemWithError": "PyObject* v = PyDict_GetItemWithError(d, k);",
    "a private dict lookup": "PyObject* v = _PyDict_GetItem_KnownHash(d, k, h);",
    "_PyType_Lookup": "PyObject* v = _PyType_Lookup(t, n);",
    "a list item, even of an owned list": "Ref v = Ref::borrow(PyList_GET_ITEM(l.get(), 0));",
    "a tuple item of a raw pointer": "PyObject* v = PyTuple_GET_ITEM(t, 0);",
    "PyDict_Next": "while (PyDict_Next(d, &pos, &k, &v)) {}",
    "Py_INCREF": "Py_INCREF(o);",
    "Py_NewRef": "PyList_SET_ITEM(l.get(), 0, Py_NewRef(o));",
    "a macro": "#define GET(d, k) PyDict_GetItem(d, k)",
}


@pytest.mark.parametrize("body", BAD_RAW.values(), ids=BAD_RAW.keys())
def test_flags_raw_api_in_module_code(body):
    assert [f.kind for f in findings(body)] == ["raw-api"]


@pytest.mark.parametrize(
    "body",
    [
        "PyObject* v = PyTuple_GET_ITEM(t.get(), 0);",
        "PyObject* v = PyTuple_GET_ITEM(s.keys.get(), i);",
        "Ref v = Ref::borrow(PyTuple_GET_ITEM(row, 1));",
        "Ref v = kv::dict_get(d, k);",
    ],
)
def test_passes_owned_access(body):
    assert findings(body) == []


def test_runtime_is_exempt_from_the_raw_api_check_only():
    body = "PyObject* v = PyDict_GetItem(d, k);\nkv::add(kv::str(a), kv::str(b));"
    assert [f.kind for f in findings(body, "runtime/kavira/runtime.cpp")] == ["order"]


@pytest.mark.parametrize(
    "body, kinds",
    [
        ("Py_INCREF(o);  // raw-api: ok the object is immortal", []),
        ("// raw-api: ok the object is immortal\nPy_INCREF(o);", []),
        ("kv::add(kv::str(a), kv::str(b));  // order: ok both are exact str", []),
        ("Py_INCREF(o);  // raw-api: ok", ["raw-api", "waiver"]),
        ("Py_INCREF(o);  // order: ok wrong kind of waiver", ["raw-api", "waiver"]),
        ("Ref x = kv::str(a);  // order: ok nothing to waive", ["waiver"]),
    ],
)
def test_waivers_need_a_reason_and_a_finding(body, kinds):
    assert sorted(f.kind for f in findings(body)) == kinds


def test_lists_are_disjoint_and_match_the_runtime():
    assert not set(check_order.KV_RUNS) & set(check_order.KV_PURE)
    assert not set(check_order.MEMBER_RUNS) & set(check_order.MEMBER_PURE)
    assert not check_order.CAPI_RUNS & check_order.CAPI_PURE
    headers = [ROOT / "runtime/kavira/runtime.hpp", *sorted((ROOT / "src/kavira").glob("*.hpp"))]
    declared = {name for h in headers for kind, name, _ in check_order.runtime_declarations(h.read_text())
                if kind != "member"}
    header = headers[0].read_text()
    assert set(check_order.KV_RUNS) | set(check_order.KV_PURE) == declared
    assert check_order.check_runtime_coverage(header, "runtime.hpp") == []


def test_a_new_runtime_function_must_be_classified():
    header = "namespace kv {\nRef frob(PyObject* o);\nstruct S {\n  Ref peek() const;\n};\n}\n"
    assert [(f.line, f.message.split()[0]) for f in check_order.check_runtime_coverage(header, "h")] == [
        (2, "kv::frob"),
        (4, ".peek()"),
    ]


def test_command_line(tmp_path, capsys):
    good, bad = tmp_path / "good.cpp", tmp_path / "bad.cpp"
    good.write_text("void f() { Ref x = kv::str(a); }\n")
    bad.write_text("void f() {\n  kv::add(kv::str(a), kv::str(b));\n}\n")
    assert check_order.main([str(good)]) == 0
    assert check_order.main([str(good), str(bad)]) == 1
    assert capsys.readouterr().out.splitlines()[-1].startswith(f"{bad}:2: kv::add()")
    assert check_order.main(["--list-functions", str(good)]) == 0
    assert "runs  getattr" in capsys.readouterr().out


@pytest.mark.parametrize(
    "text",
    [
        "char c = '(';\nconst char* t = \"(\";",  # brackets in literals
        'const char* t = R"x(a ")" (b)x";',  # a raw string with quotes and parentheses inside
        "/* kv::add(kv::str(a),\n   kv::str(b)) */",
        "#define TWICE(x) \\\n  kv::add(kv::str(x), kv::str(x))",  # a continued directive is not code
    ],
)
def test_literals_comments_and_directives_hide_code_and_keep_lines(text):
    src = PRELUDE + f"void f(State& s) {{\n{text}\nkv::add(kv::str(a), kv::str(b));\n}}\n}}\n"
    [f] = check_order.check_source(src, "kavira/snippet.cpp")
    assert f.line == 5 + text.count("\n")


def test_a_caller_defined_before_its_callee_is_inferred():
    text = (
        "Ref outer(PyObject* o) { return inner(o); }\n"
        "Ref inner(PyObject* o) { return kv::str(o); }\n"
        "void f() { kv::tuple(outer(a), outer(b)); }\n"
    )
    [f] = check_order.check_source(text, "kavira/snippet.cpp")
    assert (f.line, f.kind) == (3, "order")


@pytest.mark.parametrize(
    "text, flagged",
    [
        # A constructor's initialisers run what their arguments run, and the
        # constructor is not a call of its class.
        ("struct T { T(PyObject* o) : a_(kv::str(o)), b_(kv::str(o)) {} Ref a_, b_; };", False),
        ("struct T { T() : r_(kv::add(kv::str(a), kv::str(b))) {} Ref r_; };", True),
        # ?: is not an initialiser list.
        ("Ref f(bool c) { return c ? kv::str(a) : kv::add(kv::str(a), kv::str(b)); }", True),
        # A function-pointer declarator is not a call.
        ("Ref apply(Ref (*pick)(PyObject*), PyObject* o) { return kv::tuple(pick(o), kv::str(o)); }", True),
        ("void g(double (*align)(double), PyObject* o) { kv::str(o); }", False),
    ],
)
def test_definitions_are_told_from_calls(text, flagged):
    assert [f.kind for f in check_order.check_source(text, "kavira/snippet.cpp")] == ["order"] * flagged


def test_only_the_runtime_calls_kv_unqualified():
    text = "void f() { add(str(a), str(b)); }\n"
    [runtime] = check_order.check_source(text, "runtime/kavira/runtime.cpp")
    assert "arguments 1 (str), 2 (str)" in runtime.message
    [module] = check_order.check_source(text, "kavira/snippet.cpp")
    assert module.message.count("not classified, so assumed to run Python code") == 2


@pytest.mark.parametrize(
    "expression, verdict",
    [("kv::str(a)", "runs"), ("kv::integer(1)", "pure"), ("o.frob(a)", "assumed"), ("s.global(n)", "runs")],
)
def test_verdict_of_a_call(expression, verdict):
    src = check_order.Source(f"void f() {{ x = {expression}; }}")
    outermost = min(paren for paren in src.calls if paren not in src.definition_parens)
    assert src.verdict(src.calls[outermost]) == verdict


def test_every_source_in_the_repository_parses():
    for path in check_order.default_files():
        src = check_order.Source(path.read_text(encoding="utf-8"), str(path), "runtime" in path.parts)
        assert src.calls, path
