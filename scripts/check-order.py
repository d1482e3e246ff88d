#!/usr/bin/env python3
"""Static checks for the rules runtime/kavira/runtime.hpp states.

Two checks, on a token stream with matched brackets (no C++ parser):

* order: no call's argument list, and no operator whose operands C++
  leaves unsequenced (+ - * / % == != < > <= >= <=> & | ^), holds two
  evaluations that can run Python code; kv::call_method's own arguments
  run no Python code, because it looks the method up after them.
* raw-api (module code only, not runtime/): none of the borrowed-reference
  or raw reference-counting C API calls in RAW_API.

A finding is waived by a comment on its line, or alone on the line above:
`// order: ok <reason>` or `// raw-api: ok <reason>`. A waiver without a
reason, or one that waives nothing, is itself a finding.

Sequenced, so never flagged: && || ?: and the comma operator, = and the
compound assignments (C++17 evaluates the right operand first, as Python
evaluates a value before its target), << and >>, the callee of a call
before its arguments (so kv::method(o, n)(...) is Python's order), and
brace-enclosed initialiser lists, left to right.

Run from anywhere: `scripts/check-order.py [FILE...]`; without files it
checks kavira/*.cpp and the runtime. `--list-functions` prints the
classification the order check uses.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# ---------------------------------------------------------------------------
# What can run Python code
#
# "Runs Python code" means: can call back into code the user controls (a
# method, a descriptor, __hash__/__eq__ of a dict key, an import, a signal
# handler, another thread while the GIL is released). Allocation that may
# start the cyclic GC, and decrefs that may run finalizers, are not counted.

# kv:: names as runtime.hpp declares them: free functions, constructors
# (class names) and static members (Class::name).
KV_RUNS = {
    "getattr": "attribute lookup",
    "setattr": "attribute store",
    "getitem": "__getitem__",
    "setitem": "__setitem__",
    "truthy": "__bool__/__len__",
    "equal": "__eq__",
    "less": "__lt__",
    "greater": "__gt__",
    "max2": "compares",
    "min2": "compares",
    "str": "__str__",
    "length": "__len__",
    "next": "__next__",
    "iterate": "__iter__",
    "call": "calls",
    "call_kw": "calls",
    "call_method": "looks up and calls",
    "call_method_kw": "looks up and calls",
    "method": "attribute lookup",
    "Method": "attribute lookup",
    "dict_get": "__hash__/__eq__ of keys",
    "check_signals": "signal handlers",
    "import": "imports",
    "import_from": "imports",
    "global": "dict lookup: __eq__ of a colliding key",
    "unpack2": "iterates",
    "with": "__enter__/__exit__ and the body",
    "add": "number protocol",
    "subtract": "number protocol",
    "multiply": "number protocol",
    "true_divide": "number protocol",
    "floor_divide": "number protocol",
    "remainder": "number protocol",
    "absolute": "number protocol",
    "to_int": "__int__/__index__",
    "ratio_text": "str() of non-int objects",
    "make_class": "calls type()",
    "add_global": "module dict store: __eq__ of a colliding key",
    "boundary": "runs its body",
    "context_methods": "descriptor __get__",
    "exit_with_error": "calls __exit__",
    "ModuleDefinition::exec": "runs populate",
    "Adapter::run": "runs the implementation",
}
KV_PURE = {
    "Borrowed": "a parameter type",
    "Checked": "a parameter type",
    "Parameter::from": "reads an argument the binding checked",
    "Param": "a parameter's name",
    "raise": "[[noreturn]]: nothing evaluated after it",
    "check": "status test",
    "ptr": "conversion",
    "none": "constant",
    "boolean": "constant",
    "integer": "new int",
    "floating": "new float",
    "text": "new str",
    "intern": "interned str",
    "tuple": "new tuple",
    "names": "tuple of interned str",
    "new_list": "new list",
    "new_dict": "new dict",
    "new_set": "new empty set",
    "append": "list append",
    "item": "exact tuple or list only",
    "set_error_from_exception": "sets the pending exception",
    "raise_object": "sets the pending exception",
    "small_int": "exact int only",
    "native_real": "exact float or int only",
    "truncate_native": "C arithmetic",
    "pair_text": "formats C integers",
    "strip": "exact str only",
    "stripped_bounds": "exact str only",
    "is_blank": "exact str only",
    "lower": "exact str only; str.lower is built in",
    "make_function": "new function object",
    "static_method": "wraps",
    "class_method": "wraps",
    "new_function_type": "a new heap type",
    "Ref": "owns a reference",
    "Ref::steal": "takes a reference",
    "Ref::steal_or_null": "takes a reference",
    "Ref::borrow": "increfs",
    "Held": "enrols in the state",
    "Name": "interned str",
    "PendingError": "fetches the pending error",
    "ModuleState": "state construction",
    "ModuleDefinition::traverse": "visits",
    "ModuleDefinition::clear": "drops references",
    "ModuleDefinition::free": "deletes the state",
    "ModuleDefinition::slot": "where the state pointer lives",
    "ModuleDefinition::init": "module definition",
}
# The first component of a qualified kv name without the kv:: prefix
# (module code says `using kv::Ref;`).
KV_CLASSES = {"Ref", "Method", "Held", "Name", "PendingError", "ModuleState", "ModuleDefinition", "Adapter",
              "Checked", "Parameter", "Param", "Spec"}

# Member functions, by name, on any object: `s.global(...)`, `f.with_keywords(...)`.
MEMBER_RUNS = {
    "global": "ModuleState::global: a module global",
    "with_keywords": "Method: calls",
    "normalize": "PendingError: instantiates the exception",
    "run": "Impl::run: the implementation",
}
MEMBER_PURE = {
    name: "accessor"
    for name in (
        "get release type value traceback restore state "  # runtime classes
        "size begin end data empty reserve emplace_back push_back "  # the standard library
        "definition"  # Spec: what the function type keeps
    ).split()
}

# C API calls. Names ending in _Check or _CheckExact, and Py_UNICODE_*, are pure.
CAPI_RUNS = set(
    """
    PyObject_GetAttr PyObject_GetAttrString PyObject_SetAttr PyObject_SetAttrString PyObject_DelAttr
    PyObject_GenericGetAttr PyObject_GetItem PyObject_SetItem PyObject_DelItem
    PyObject_Call PyObject_CallObject PyObject_CallNoArgs PyObject_CallOneArg PyObject_CallFunction
    PyObject_CallFunctionObjArgs PyObject_CallMethod PyObject_CallMethodObjArgs PyObject_CallMethodNoArgs
    PyObject_CallMethodOneArg PyObject_Vectorcall PyObject_VectorcallMethod PyObject_VectorcallDict PyVectorcall_Call
    PyObject_RichCompare PyObject_RichCompareBool PyObject_Str PyObject_Repr PyObject_ASCII PyObject_Bytes
    PyObject_Format PyObject_Hash PyObject_IsTrue PyObject_Not PyObject_Size PyObject_Length PyObject_LengthHint
    PyObject_GetIter PyIter_Next PyObject_IsInstance PyObject_IsSubclass PyObject_Dir PyObject_ClearWeakRefs
    PyObject_Print
    PyDict_GetItem PyDict_GetItemWithError PyDict_GetItemString PyDict_GetItemRef PyDict_SetItem
    PyDict_SetItemString PyDict_DelItem PyDict_DelItemString PyDict_Contains PyDict_SetDefault PyDict_Pop
    PyDict_Update PyDict_Merge PyDict_Copy _PyType_Lookup
    PySet_New PySet_Add PySet_Contains PySet_Discard PyFrozenSet_New PyList_Sort
    PyUnicode_Join PyUnicode_Format PyLong_AsLong PyLong_AsLongLong PyLong_AsLongAndOverflow
    PyLong_AsLongLongAndOverflow PyFloat_AsDouble PyModule_AddObjectRef PyModule_AddObject
    PyErr_CheckSignals PyErr_NormalizeException PyErr_Print PyErr_WriteUnraisable PyErr_WarnEx PyErr_WarnFormat
    PyEval_SaveThread PyEval_RestoreThread PyEval_EvalCode PyGILState_Ensure PyGILState_Release
    PyArg_ParseTuple PyArg_ParseTupleAndKeywords PyArg_Parse
    """.split()
)
# Prefixes that run Python code, except their _Check functions and CAPI_PURE.
CAPI_RUNS_PREFIXES = ("PyNumber_", "PySequence_", "PyMapping_", "PyImport_", "PyFile_", "_PyDict_GetItem")
# Python-running only when the format holds %S, %R or %A: name -> index of the format.
CAPI_FORMAT = {"PyUnicode_FromFormat": 0, "PyErr_Format": 1}
CAPI_PURE = set(
    """
    Py_TYPE Py_NewRef Py_XNewRef Py_INCREF Py_DECREF Py_XINCREF Py_XDECREF Py_SETREF Py_XSETREF Py_CLEAR
    Py_IncRef Py_DecRef Py_VISIT Py_BuildValue
    PyTuple_New PyTuple_GET_ITEM PyTuple_GET_SIZE PyTuple_SET_ITEM PyTuple_GetItem PyTuple_Size
    PyList_New PyList_GET_ITEM PyList_GET_SIZE PyList_SET_ITEM PyList_GetItem PyList_Size PyList_Append
    PyDict_New PyDict_Next PyDict_Size PySet_GET_SIZE PySet_Size
    PySequence_Fast_GET_SIZE PySequence_Fast_GET_ITEM PySequence_Fast_ITEMS
    PyUnicode_InternFromString PyUnicode_FromString PyUnicode_FromStringAndSize PyUnicode_New PyUnicode_Substring
    PyUnicode_Concat PyUnicode_Split PyUnicode_Compare PyUnicode_CompareWithASCIIString PyUnicode_AsUTF8
    PyUnicode_DATA PyUnicode_READ PyUnicode_READ_CHAR PyUnicode_KIND PyUnicode_GET_LENGTH PyUnicode_IS_ASCII
    PyUnicode_1BYTE_DATA PyUnicode_2BYTE_DATA PyUnicode_4BYTE_DATA
    PyLong_FromLong PyLong_FromLongLong PyLong_FromSsize_t PyLong_FromSize_t PyLong_FromUnicodeObject
    PyFloat_FromDouble PyFloat_AS_DOUBLE PyBytes_FromStringAndSize PyBytes_AS_STRING PyBytes_GET_SIZE
    PyErr_Occurred PyErr_SetObject PyErr_SetString PyErr_SetNone PyErr_Clear PyErr_ExceptionMatches
    PyErr_GivenExceptionMatches PyErr_Fetch PyErr_Restore PyErr_NoMemory PyErr_SetImportError
    PyErr_GetRaisedException PyErr_SetRaisedException
    PyException_SetTraceback PyException_SetContext PyException_SetCause
    PyModule_GetState PyModule_GetDict PyModule_GetNameObject PyModule_GetFilenameObject PyModuleDef_Init
    PyEval_GetBuiltins PyImport_GetModuleDict PyVectorcall_NARGS PyObject_TypeCheck
    PyType_GetName PyType_FromModuleAndSpec PyStaticMethod_New PyClassMethod_New PyMethod_New
    PyMethod_GET_FUNCTION PyMethod_GET_SELF _PyDict_NewPresized
    PyObject_GC_New PyObject_GC_Track PyObject_GC_UnTrack PyObject_GC_Del
    """.split()
)

# Unqualified names that are pure C or C++ library calls.
C_PURE = {"memcpy", "memset", "strlen", "strcmp", "assert", "offsetof"}
# `T(x)` functional casts.
TYPE_KEYWORDS = {"bool", "char", "double", "float", "int", "long", "short", "unsigned", "signed", "void", "auto"}
CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}
UNEVALUATED = {"sizeof", "alignof", "decltype", "noexcept"}
KEYWORDS = (
    TYPE_KEYWORDS
    | CASTS
    | UNEVALUATED
    | set(
        """
    alignas asm break case catch class const constexpr consteval constinit continue co_await co_return co_yield
    default delete do else enum explicit export extern false for friend goto if inline mutable namespace new
    nullptr operator private protected public register requires return static static_assert struct switch
    template this thread_local throw true try typedef typeid typename union using virtual volatile while
    override final
    """.split()
    )
)
OPERAND_KEYWORDS = {"this", "true", "false", "nullptr"}

# Calls whose result is a kv::Method: calling that result runs Python code.
METHOD_FACTORIES = {"kv::method", "method", "kv::Method", "Method"}

# ---------------------------------------------------------------------------
# The raw-API denylist for module code

_BORROWED_DICT = "returns a borrowed reference: use kv::dict_get, which returns an owned Ref"
_BORROWED = "returns a borrowed reference that Python code can invalidate: own it (Ref::borrow) at once"
_REFCOUNT = "is raw reference counting: a kv::Ref owns every reference in module code"
_LIFECYCLE = "manages an object's lifecycle, which belongs in the runtime"
RAW_API = {
    "PyDict_GetItem": _BORROWED_DICT,
    "PyDict_GetItemWithError": _BORROWED_DICT,
    "PyDict_GetItemString": _BORROWED_DICT,
    "_PyType_Lookup": "returns a borrowed reference from the type's MRO, found without the descriptor protocol",
    "PyDict_Next": "yields borrowed keys and values that any change to the dict invalidates",
    "PyList_GET_ITEM": "returns a borrowed item of a mutable list",
    "PyList_GetItem": "returns a borrowed item of a mutable list",
    "PyTuple_GET_ITEM": "returns a borrowed item; allowed on `x.get()` of an owned Ref or straight into Ref::borrow",
    "PyTuple_GetItem": "returns a borrowed item; allowed on `x.get()` of an owned Ref or straight into Ref::borrow",
    "PySequence_Fast_GET_ITEM": _BORROWED,
    "PySequence_Fast_ITEMS": _BORROWED,
    "PyWeakref_GetObject": _BORROWED,
    "PyWeakref_GET_OBJECT": _BORROWED,
    "PySys_GetObject": _BORROWED,
    "PyModule_GetDict": _BORROWED,
    "PyImport_GetModuleDict": _BORROWED,
    "PyEval_GetBuiltins": _BORROWED,
    "PyEval_GetGlobals": _BORROWED,
    "PyEval_GetLocals": _BORROWED,
    "PyArg_ParseTuple": "yields borrowed arguments: kv::Function binds them",
    "PyArg_ParseTupleAndKeywords": "yields borrowed arguments: kv::Function binds them",
    "PyArg_UnpackTuple": "yields borrowed arguments: kv::Function binds them",
    "PyErr_Fetch": "yields raw references: kv::PendingError owns them",
    "Py_INCREF": _REFCOUNT,
    "Py_DECREF": _REFCOUNT,
    "Py_XINCREF": _REFCOUNT,
    "Py_XDECREF": _REFCOUNT,
    "Py_IncRef": _REFCOUNT,
    "Py_DecRef": _REFCOUNT,
    "Py_SETREF": _REFCOUNT,
    "Py_XSETREF": _REFCOUNT,
    "Py_CLEAR": _REFCOUNT,
    "Py_NewRef": _REFCOUNT,
    "Py_XNewRef": _REFCOUNT,
    "PyObject_GC_Track": _LIFECYCLE,
    "PyObject_GC_UnTrack": _LIFECYCLE,
    "PyObject_GC_Del": _LIFECYCLE,
    "PyObject_GC_New": _LIFECYCLE,
    "PyObject_GC_NewVar": _LIFECYCLE,
}
RAW_API_PREFIXES = {"_PyDict_GetItem": _BORROWED_DICT}
TUPLE_ITEM = {"PyTuple_GET_ITEM", "PyTuple_GetItem"}

# How Python orders the evaluations of these calls, for the message.
PYTHON_ORDER = {
    "setattr": "Python evaluates the value first, then the object",
    "setitem": "Python evaluates the value first, then the object, then the key",
    "call": "Python evaluates the callable first, then the arguments left to right",
    "call_kw": "Python evaluates the callable first, then the arguments left to right",
}

WAIVER = re.compile(r"\b(order|raw-api):\s*ok\b[\s:,-]*(.*?)\s*(?:\*/)?\s*$")

# ---------------------------------------------------------------------------
# Tokens


@dataclass
class Tok:
    kind: str  # id num str op
    text: str
    line: int


_TOKEN = re.compile(
    r"""
    (?P<nl>\n)
  | (?P<ws>[ \t\r\f\v]+|\\\n)
  | (?P<lc>//[^\n]*)
  | (?P<bc>/\*.*?\*/)
  | (?P<raw>(?:u8|u|U|L)?R"(?P<delim>[^(\s"]*)\(.*?\)(?P=delim)")
  | (?P<str>(?:u8|u|U|L)?"(?:[^"\\\n]|\\.)*"|(?:u8|u|U|L)?'(?:[^'\\\n]|\\.)*')
  | (?P<num>\.?\d(?:[eEpP][+-]|[\w.']|)*)
  | (?P<id>[A-Za-z_]\w*)
  | (?P<op>\.\.\.|<=>|<<=|>>=|->\*|->|::|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^]=|\.\*
         |[-+*/%&|^!~=<>?:;,.(){}\[\]\#@$\\])
    """,
    re.S | re.X,
)


_DIRECTIVE = re.compile(r"[ \t]*#(?:[^\n\\]|\\.)*", re.S)


def tokenize(text: str) -> tuple[list[Tok], list[tuple[int, str]], list[tuple[int, str]]]:
    """Tokens, comments as (line, text), and preprocessor lines as (line, text)."""
    toks: list[Tok] = []
    comments: list[tuple[int, str]] = []
    directives: list[tuple[int, str]] = []
    line, pos, line_start = 1, 0, True
    while pos < len(text):
        if line_start:
            m = _DIRECTIVE.match(text, pos)
            if m:
                directives.append((line, m.group()))
                line += m.group().count("\n")
                pos = m.end()
                continue
        m = _TOKEN.match(text, pos)
        if not m:
            raise SyntaxError(f"line {line}: cannot read {text[pos:pos + 20]!r}")
        kind, value = m.lastgroup, m.group()
        if kind == "delim":
            kind = "raw"
        if kind == "nl":
            line_start = True
        elif kind != "ws":
            line_start = False
        if kind in ("lc", "bc"):
            comments.append((line, value))
        elif kind in ("raw", "str"):
            toks.append(Tok("str", value, line))
        elif kind in ("num", "id", "op"):
            toks.append(Tok(kind, value, line))
        line += value.count("\n")
        pos = m.end()
    return toks, comments, directives


# ---------------------------------------------------------------------------
# Findings


@dataclass(frozen=True)
class Finding:
    path: str
    line: int
    kind: str  # order, raw-api, classify, waiver
    message: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: {self.message}"


@dataclass
class Callee:
    name: str
    kind: str  # runs, pure, local, unclassified, unknown, iife
    body: tuple[int, int] | None = None
    why: str = ""


@dataclass
class Lambda:
    start: int
    body_open: int
    body_close: int


@dataclass
class Source:
    """One translation unit's tokens and what the checks need to know about them."""

    text: str
    path: str = "kavira/snippet.cpp"
    runtime: bool = False
    toks: list[Tok] = field(init=False)

    def __post_init__(self) -> None:
        self.toks, self.comments, self.directives = tokenize(self.text)
        self.match: dict[int, int] = {}
        self.template_close: dict[int, int] = {}  # closing > or >> -> the outermost <
        self.template_open: dict[int, int] = {}
        self.template_tok: set[int] = set()
        self.lambdas: dict[int, Lambda] = {}  # by the [ that opens each
        self.lambda_by_close: dict[int, Lambda] = {}
        self.unevaluated: set[int] = set()
        self.definitions: dict[str, list[tuple[int, int]]] = {}
        self.definition_parens: set[int] = set()
        self.initialisers: set[int] = set()  # ( of a constructor's member initialisers
        self.method_vars: set[str] = set()
        self.usings: set[str] = set()
        self.local_runs: dict[str, bool] = {}
        self.calls: dict[int, Callee] = {}
        self.unclassified: list[tuple[int, str]] = []
        self._match_brackets()
        self._match_templates()
        self._find_lambdas()
        self._find_definitions()
        self._find_calls()
        self._infer_locals()

    # -- structure

    def _match_brackets(self) -> None:
        stack: list[int] = []
        pairs = {")": "(", "]": "[", "}": "{"}
        for i, t in enumerate(self.toks):
            if t.text in "([{" and t.kind == "op":
                stack.append(i)
            elif t.text in pairs and t.kind == "op":
                if not stack or self.toks[stack[-1]].text != pairs[t.text]:
                    raise SyntaxError(f"{self.path}:{t.line}: unbalanced {t.text!r}")
                o = stack.pop()
                self.match[o], self.match[i] = i, o
        if stack:
            raise SyntaxError(f"{self.path}:{self.toks[stack[-1]].line}: unclosed {self.toks[stack[-1]].text!r}")

    def _opens_template(self, i: int) -> bool:
        prev = self.toks[i - 1] if i else None
        if prev is None or prev.kind != "id":
            return False
        return prev.text not in KEYWORDS or prev.text == "template" or prev.text in CASTS

    def _match_templates(self) -> None:
        toks, i = self.toks, 0
        while i < len(toks):
            if toks[i].text == "<" and self._opens_template(i):
                close = self._template_end(i)
                if close is not None:
                    self.template_close[close] = i
                    self.template_open[i] = close
                    self.template_tok.update(j for j in range(i, close + 1) if toks[j].text in ("<", ">", ">>"))
                    i = close + 1
                    continue
            i += 1

    def _template_end(self, i: int) -> int | None:
        toks, depth, j = self.toks, 1, i + 1
        while j < len(toks):
            t = toks[j]
            if t.text in ("(", "["):
                j = self.match[j] + 1
                continue
            if t.text == "<":
                if not self._opens_template(j):
                    return None
                depth += 1
            elif t.text in (">", ">>"):
                depth -= 1 if t.text == ">" else 2
                if depth < 0:
                    return None
                if depth == 0:
                    nxt = toks[j + 1] if j + 1 < len(toks) else None
                    if nxt is None or nxt.kind == "id" or nxt.text in "( ) { :: , ; > >> ... & && * : [".split():
                        return j
                    return None
            elif not (t.kind in ("id", "num") or t.text in ("::", ",", "*", "&", "...")):
                return None
            j += 1
        return None

    def _operand_end(self, i: int) -> bool:
        """Whether token i ends an operand, so that a following * & - + [ is binary."""
        if i < 0:
            return False
        t = self.toks[i]
        if t.kind == "id":
            return t.text not in KEYWORDS or t.text in OPERAND_KEYWORDS
        return t.kind in ("num", "str") or t.text in (")", "]") or i in self.template_close

    def _find_lambdas(self) -> None:
        toks = self.toks
        for i, t in enumerate(toks):
            if t.text != "[" or self._operand_end(i - 1):
                continue
            if (i + 1 < len(toks) and toks[i + 1].text == "[") or (i and toks[i - 1].text == "["):
                continue  # an attribute
            j = self.match[i] + 1
            if j < len(toks) and toks[j].text == "(":
                j = self.match[j] + 1
            while j < len(toks) and toks[j].text != "{":
                if toks[j].text in ("(", "["):
                    j = self.match[j] + 1
                elif toks[j].kind == "id" or toks[j].text in ("->", "::", "*", "&", "<", ">", ">>", ","):
                    j += 1
                else:
                    break
            if j < len(toks) and toks[j].text == "{":
                lam = Lambda(i, j, self.match[j])
                self.lambdas[i] = lam
                self.lambda_by_close[lam.body_close] = lam

    def _qualified_name(self, p: int) -> tuple[str, int]:
        """The possibly qualified name whose last identifier is token p, and its first token."""
        toks, parts, q = self.toks, [self.toks[p].text], p
        while q >= 2 and toks[q - 1].text == "::":
            prev = q - 2
            if toks[prev].kind == "id" and toks[prev].text not in KEYWORDS:
                parts.insert(0, toks[prev].text)
                q = prev
            elif prev in self.template_close and self.template_close[prev] >= 1:
                o = self.template_close[prev]
                parts.insert(0, toks[o - 1].text)
                q = o - 1
            else:
                break
        return "::".join(parts), q

    def _body_after(self, close: int) -> int | None:
        """The { of a function body following the ) of its parameters, if there is one."""
        toks, k = self.toks, close + 1
        while k < len(toks):
            t = toks[k]
            if t.text in ("const", "noexcept", "override", "final", "mutable", "volatile"):
                k += 1
                if k < len(toks) and toks[k].text == "(":
                    k = self.match[k] + 1
            elif t.text == "->":
                k += 1
                while k < len(toks) and (
                    toks[k].kind == "id" or k in self.template_tok or toks[k].text in ("::", "*", "&", ",")
                ):
                    k += 1
                if k < len(toks) and toks[k].text == "(" and toks[k - 1].text == "decltype":
                    k = self.match[k] + 1
            elif t.text == ":":  # a constructor's member initialisers
                k += 1
                while k < len(toks) and toks[k].kind == "id":
                    k += 1
                    while k + 1 < len(toks) and toks[k].text == "::" and toks[k + 1].kind == "id":
                        k += 2
                    if k >= len(toks) or toks[k].text not in ("(", "{"):
                        return None
                    self.initialisers.add(k)
                    k = self.match[k] + 1
                    if k < len(toks) and toks[k].text == ",":
                        k += 1
                    elif k < len(toks) and toks[k].text == "{":
                        return k
                    else:
                        return None
                return None
            else:
                break
        return k if k < len(toks) and toks[k].text == "{" else None

    def _find_definitions(self) -> None:
        toks = self.toks
        for i, t in enumerate(toks):
            if t.kind == "id" and t.text == "using" and i + 3 < len(toks) and toks[i + 1].text == "kv":
                self.usings.add(toks[i + 3].text)
            declares = i + 2 < len(toks) and toks[i + 1].kind == "id" and toks[i + 2].text in ("=", "(", "{", ";")
            if t.text == "Method" and declares:
                self.method_vars.add(toks[i + 1].text)
            if t.kind == "id" and i + 2 < len(toks) and toks[i + 1].text == "=":
                if toks[i + 2].text == "[" and (i + 2) in self.lambdas:
                    lam = self.lambdas[i + 2]
                    self.definitions.setdefault(t.text, []).append((lam.body_open, lam.body_close))
                elif toks[i + 2].kind == "id" and toks[i + 2].text in ("kv", "method"):
                    name, _ = self._qualified_name(self._name_end(i + 2))
                    if name in METHOD_FACTORIES and toks[self._name_end(i + 2) + 1].text == "(":
                        self.method_vars.add(t.text)
            if t.text != "(" or not i or toks[i - 1].kind != "id" or toks[i - 1].text in KEYWORDS:
                continue
            if i >= 2 and toks[i - 2].text in (".", "->"):
                continue
            if i in self.initialisers:
                continue
            body = self._body_after(self.match[i])
            if body is not None:
                name, _ = self._qualified_name(i - 1)
                self.definition_parens.add(i)
                # From the ) of the parameters: member initialisers run too.
                self.definitions.setdefault(name, []).append((self.match[i], self.match[body]))

    def _name_end(self, i: int) -> int:
        toks = self.toks
        while i + 2 < len(toks) and toks[i + 1].text == "::" and toks[i + 2].kind == "id":
            i += 2
        return i

    # -- calls

    def _find_calls(self) -> None:
        for i, t in enumerate(self.toks):
            if t.text == "(" and i not in self.definition_parens:
                # Constructing a member runs only what its arguments run.
                callee = Callee(self.toks[i - 1].text, "pure") if i in self.initialisers else self._callee(i)
                if callee is not None:
                    self.calls[i] = callee
                    if callee.kind == "unclassified":
                        self.unclassified.append((i, callee.name))

    def _callee(self, i: int) -> Callee | None:
        toks = self.toks
        if not i:
            return None
        p = i - 1
        t = toks[p]
        templated = False
        if p in self.template_close:
            p = self.template_close[p] - 1
            t = toks[p]
            templated = True
        if t.kind == "id":
            if t.text in KEYWORDS:
                if t.text in UNEVALUATED:
                    self.unevaluated.add(i)
                    return None
                if (t.text in CASTS and templated) or t.text in TYPE_KEYWORDS:
                    return Callee(t.text, "pure")
                return None
            name, q = self._qualified_name(p)
            member = q >= 1 and toks[q - 1].text in (".", "->")
            return self._classify(name, member, i)
        if t.text == ")":
            o = self.match[p]
            if o >= 1 and toks[o - 1].text == "operator":
                return None
            inner = self.calls.get(o)
            if inner is not None and inner.name in METHOD_FACTORIES:
                return Callee(f"{inner.name}(...)", "runs", why="calls the method")
            before = toks[o - 1] if o else None
            if inner is None and before is not None and (
                (before.kind == "id" and before.text not in ("return", "throw", "case", "else", "do"))
                or (o - 1) in self.template_close
            ):
                return None  # a declarator such as void (*f)(...)
            return Callee("(...)", "unknown")
        if t.text == "}" and p in self.lambda_by_close:
            lam = self.lambda_by_close[p]
            return Callee("lambda", "iife", body=(lam.body_open, lam.body_close))
        if t.text == "]" and self.match[p] in self.lambdas:
            return None  # a lambda's parameters
        if t.text == "]" and self._operand_end(self.match[p] - 1):
            return Callee("[...]", "unknown")
        return None

    def _classify(self, name: str, member: bool, paren: int) -> Callee:
        last = name.rsplit("::", 1)[-1]
        if member:
            if last in MEMBER_RUNS:
                return Callee(f".{last}", "runs", why=MEMBER_RUNS[last])
            if last in MEMBER_PURE:
                return Callee(f".{last}", "pure")
            return Callee(f".{last}", "unknown")
        bare = name[2:] if name.startswith("::") else name
        if bare.startswith("kv::"):
            return self._kv(bare[4:], f"kv::{bare[4:]}")
        if bare.startswith("std::") or bare.startswith("__builtin_"):
            return Callee(bare, "pure")
        if "::" in bare:
            if bare.split("::")[0] in KV_CLASSES:
                return self._kv(bare, bare)
            if bare in self.definitions:
                return Callee(bare, "local")
            return Callee(bare, "unknown")
        if self.runtime and (bare in KV_RUNS or bare in KV_PURE):
            return self._kv(bare, bare)
        if bare in self.method_vars:
            return Callee(bare, "runs", why="a kv::Method")
        if bare in self.definitions:
            return Callee(bare, "local")
        if bare in self.usings or bare in KV_CLASSES:
            return self._kv(bare, bare)
        if bare.startswith("Py") or bare.startswith("_Py"):
            return self._capi(bare, paren)
        if bare in C_PURE:
            return Callee(bare, "pure")
        return Callee(bare, "unknown")

    @staticmethod
    def _kv(key: str, shown: str) -> Callee:
        if key in KV_RUNS:
            return Callee(shown, "runs", why=KV_RUNS[key])
        if key in KV_PURE:
            return Callee(shown, "pure")
        return Callee(shown, "unclassified")

    def _capi(self, name: str, paren: int) -> Callee:
        if name in CAPI_FORMAT:
            args = self.arguments(paren)
            index = CAPI_FORMAT[name]
            if index < len(args):
                lo, hi = args[index]
                literal = all(self.toks[j].kind == "str" for j in range(lo, hi)) and hi > lo
                text = "".join(self.toks[j].text for j in range(lo, hi)).replace("%%", "")
                if literal and not re.search(r"%[-+ #0-9.lzjt]*[SRA]", text):
                    return Callee(name, "pure")
            return Callee(name, "runs", why="%S, %R or %A in the format")
        if name in CAPI_PURE or name.endswith(("_Check", "_CheckExact")) or name.startswith("Py_UNICODE_"):
            return Callee(name, "pure")
        if name in CAPI_RUNS or name.startswith(CAPI_RUNS_PREFIXES):
            return Callee(name, "runs")
        return Callee(name, "unclassified")

    def arguments(self, paren: int) -> list[tuple[int, int]]:
        """The [lo, hi) token ranges of the comma-separated arguments in a ( ) group."""
        close = self.match[paren]
        args, lo, j = [], paren + 1, paren + 1
        while j < close:
            t = self.toks[j]
            if t.text in ("(", "[", "{"):
                j = self.match[j] + 1
                continue
            if j in self.template_open:
                j = self.template_open[j] + 1
                continue
            if t.text == ",":
                args.append((lo, j))
                lo = j + 1
            j += 1
        if close > paren + 1:
            args.append((lo, close))
        return args

    # -- what runs Python code

    def verdict(self, callee: Callee) -> str:
        """runs, pure, or assumed (not classified; counted as running Python code)."""
        if callee.kind in ("runs", "pure"):
            return callee.kind
        if callee.kind == "local":
            return "runs" if self.local_runs.get(callee.name, False) else "pure"
        if callee.kind == "iife":
            return "runs" if self.running(callee.body[0] + 1, callee.body[1]) else "pure"
        return "assumed"

    def running(self, lo: int, hi: int) -> list[tuple[int, Callee, str]]:
        """The calls in [lo, hi) that can run Python code, with their verdicts.

        A lambda's body runs when it is called, not where it is written, so
        it is skipped unless the lambda is called on the spot."""
        out, j = [], lo
        while j < hi:
            if j in self.lambdas:
                lam = self.lambdas[j]
                nxt = lam.body_close + 1
                if not (nxt < len(self.toks) and self.toks[nxt].text == "(" and nxt in self.calls):
                    j = lam.body_close + 1
                    continue
            if j in self.unevaluated:
                j = self.match[j] + 1
                continue
            if j in self.calls:
                v = self.verdict(self.calls[j])
                if v != "pure":
                    out.append((j, self.calls[j], v))
            j += 1
        return out

    def _infer_locals(self) -> None:
        """A function or lambda of this file runs Python code when its body does."""
        self.local_runs = {name: False for name in self.definitions}
        changed = True
        while changed:
            changed = False
            for name, bodies in self.definitions.items():
                if not self.local_runs[name] and any(self.running(a + 1, b) for a, b in bodies):
                    self.local_runs[name] = True
                    changed = True

    def describe(self, found: list[tuple[int, Callee, str]]) -> str:
        j, callee, v = found[0]
        text = callee.name
        if v == "assumed":
            text += " (not classified, so assumed to run Python code)"
        return text


# ---------------------------------------------------------------------------
# The checks

BINARY = {"+", "-", "*", "/", "%", "==", "!=", "<", ">", "<=", ">=", "<=>", "&", "|", "^"}
SEQUENCING = {
    ";", ",", "&&", "||", "?", ":", "=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>=", "<<", ">>",
    "return", "throw", "case", "else", "do", "if", "while", "for", "switch", "co_return", "co_yield",
}


def check_order(src: Source) -> list[Finding]:
    findings: list[Finding] = []
    toks = src.toks

    def add(i: int, message: str) -> None:
        findings.append(Finding(src.path, toks[i].line, "order", message))

    for paren, callee in src.calls.items():
        args = src.arguments(paren)
        running = [(n, src.running(lo, hi)) for n, (lo, hi) in enumerate(args, 1)]
        running = [(n, found) for n, found in running if found]
        if len(running) >= 2:
            described = ", ".join(f"{n} ({src.describe(found)})" for n, found in running)
            hint = PYTHON_ORDER.get(callee.name.removeprefix("kv::"), "")
            add(
                paren - 1,
                f"{callee.name}(): arguments {described} can each run Python code, in an order C++ leaves "
                f"unspecified: evaluate them as separate statements in Python's order" + (f" ({hint})" if hint else ""),
            )
        first = {"kv::call_method": 2, "kv::call_method_kw": 3, "call_method": 2, "call_method_kw": 3}
        if callee.name in first and (callee.name.startswith("kv::") or src.runtime):
            late = [(n, found) for n, found in running if n > first[callee.name]]
            for n, found in late:
                add(
                    paren - 1,
                    f"{callee.name}() looks the method up after its arguments, but argument {n} "
                    f"({src.describe(found)}) can run Python code: look the method up first with kv::method",
                )

    for lo, hi in regions(src):
        for piece in pieces(src, lo, hi):
            operands, ops = split_operands(src, piece)
            running = [(k, src.running(a, b)) for k, (a, b) in enumerate(operands)]
            running = [(k, found) for k, found in running if found]
            if len(running) >= 2:
                op = ops[running[1][0] - 1]
                add(
                    op,
                    f"operands of `{toks[op].text}` ({src.describe(running[0][1])}, {src.describe(running[1][1])}) "
                    "can each run Python code, in an order C++ leaves unspecified: "
                    "evaluate them as separate statements",
                )
    return findings


def regions(src: Source):
    """The file, and the inside of every bracket pair except unevaluated ones."""
    yield 0, len(src.toks)
    for o, c in src.match.items():
        if o < c and o not in src.unevaluated:
            yield o + 1, c


def pieces(src: Source, lo: int, hi: int):
    """The runs of tokens at the top level of [lo, hi) between sequencing points.

    Each piece is a list of [a, b) spans: single tokens and whole
    bracketed groups. A { } group ends a piece: it is a block or an
    initialiser list, which is sequenced."""
    toks, piece, j = src.toks, [], lo
    while j < hi:
        t = toks[j]
        if t.text == "{":
            if piece:
                yield piece
            piece, j = [], src.match[j] + 1
            continue
        if t.text in ("(", "["):
            piece.append((j, src.match[j] + 1))
            j = src.match[j] + 1
            continue
        if (t.text in SEQUENCING and j not in src.template_tok) or t.text == "}":
            if piece:
                yield piece
            piece, j = [], j + 1
            continue
        piece.append((j, j + 1))
        j += 1
    if piece:
        yield piece


def split_operands(src: Source, piece: list[tuple[int, int]]) -> tuple[list[tuple[int, int]], list[int]]:
    operands, ops, start = [], [], piece[0][0]
    for a, b in piece:
        t = src.toks[a]
        if b == a + 1 and t.text in BINARY and a not in src.template_tok and src._operand_end(a - 1) and a > start:
            operands.append((start, a))
            ops.append(a)
            start = b
    operands.append((start, piece[-1][1]))
    return operands, ops


def check_raw_api(src: Source) -> list[Finding]:
    findings: list[Finding] = []
    toks = src.toks
    for i, t in enumerate(toks):
        if t.kind != "id":
            continue
        why = RAW_API.get(t.text) or next((w for p, w in RAW_API_PREFIXES.items() if t.text.startswith(p)), None)
        if why is None or (t.text in TUPLE_ITEM and _owned_tuple_item(src, i)):
            continue
        findings.append(Finding(src.path, t.line, "raw-api", f"{t.text} {why}"))
    for line, text in src.directives:
        if re.match(r"\s*#\s*define\b", text):
            for name in re.findall(r"[A-Za-z_]\w*", text):
                why = RAW_API.get(name) or next((w for p, w in RAW_API_PREFIXES.items() if name.startswith(p)), None)
                if why:
                    findings.append(Finding(src.path, line, "raw-api", f"{name} {why}"))
    return findings


def _owned_tuple_item(src: Source, i: int) -> bool:
    """PyTuple_GET_ITEM on `x.get()` of an owned Ref, or straight into Ref::borrow.

    A tuple cannot change, so its items live as long as a reference to it;
    an item handed at once to Ref::borrow is owned before any code runs."""
    toks = src.toks
    if i + 1 >= len(toks) or toks[i + 1].text != "(":
        return False
    args = src.arguments(i + 1)
    if args:
        lo, hi = args[0]
        text = [toks[j].text for j in range(lo, hi)]
        if text[-4:] == [".", "get", "(", ")"]:
            ids = text[:-4]
            if ids and all(x in (".", "->") or re.fullmatch(r"[A-Za-z_]\w*", x) for x in ids):
                return True
    o = i - 1
    if o >= 3 and [t.text for t in toks[o - 3 : o + 1]] == ["Ref", "::", "borrow", "("]:
        return src.match[o] == src.match[i + 1] + 1
    return False


def apply_waivers(src: Source, findings: list[Finding]) -> list[Finding]:
    code_lines = sorted({t.line for t in src.toks})
    waivers: dict[tuple[int, str], tuple[int, str]] = {}
    out: list[Finding] = []
    for line, text in src.comments:
        for raw_line in text.splitlines() or [text]:
            m = WAIVER.search(raw_line)
            if not m:
                continue
            kind, reason = m.group(1), m.group(2)
            if len(reason.strip(" .-:")) < 3:
                out.append(Finding(src.path, line, "waiver", f"`{kind}: ok` needs a reason after it"))
                continue
            target = line
            if line not in code_lines:
                target = next((c for c in code_lines if c > line), line)
            waivers[(target, kind)] = (line, reason)
    used: set[tuple[int, str]] = set()
    for f in findings:
        key = (f.line, f.kind)
        if key in waivers:
            used.add(key)
        else:
            out.append(f)
    for key, (line, _) in waivers.items():
        if key not in used:
            out.append(Finding(src.path, line, "waiver", f"`{key[1]}: ok` waives nothing on line {key[0]}"))
    return out


def check_source(text: str, path: str = "kavira/snippet.cpp", runtime: bool | None = None) -> list[Finding]:
    """Every finding for one source; `runtime` (default: the path lies under
    runtime/) exempts it from the raw-API check and lets it call kv
    functions unqualified."""
    if runtime is None:
        runtime = "runtime" in Path(path).parts
    src = Source(text, path, runtime)
    findings = check_order(src)
    if not runtime:
        findings += check_raw_api(src)
    seen: set[str] = set()
    for paren, name in src.unclassified:
        if name not in seen:
            seen.add(name)
            uses = sum(1 for _, n in src.unclassified if n == name)
            findings.append(
                Finding(
                    path,
                    src.toks[paren - 1].line,
                    "classify",
                    f"{name} is not classified ({uses} use{'s' * (uses != 1)}; assumed to run Python code): "
                    f"add it to the running or the pure list in scripts/check-order.py",
                )
            )
    findings = apply_waivers(src, findings)
    return sorted(set(findings), key=lambda f: (f.line, f.kind, f.message))


# ---------------------------------------------------------------------------
# The runtime's declarations, to keep the lists complete


def runtime_declarations(text: str) -> list[tuple[str, str, int]]:
    """(kind, name, line) for each public function kv declares: kind is free
    (kv::name), static (Class::name), ctor (Class) or member (.name)."""
    src = Source(text, "runtime.hpp", True)
    toks, out = src.toks, []
    ns = next(
        (i + 2 for i in range(len(toks) - 2) if [t.text for t in toks[i : i + 3]] == ["namespace", "kv", "{"]),
        None,
    )
    if ns is None:
        return out
    scopes = {ns: None}  # { index -> class name, None for the namespace
    access: dict[int, bool] = {}
    for i in range(ns + 1, src.match[ns]):
        t = toks[i]
        if t.text in ("struct", "class") and i + 1 < len(toks) and toks[i + 1].kind == "id":
            j = i + 2
            while j < len(toks) and toks[j].text not in ("{", ";"):
                j = src.match[j] + 1 if toks[j].text in ("(", "[") else j + 1
            if j < len(toks) and toks[j].text == "{" and _enclosing(src, i) == ns:
                scopes[j] = toks[i + 1].text
                access[j] = t.text == "struct"
    for i in range(ns + 1, src.match[ns]):
        t = toks[i]
        scope = _enclosing(src, i)
        if scope in access and t.text in ("public", "private", "protected") and toks[i + 1].text == ":":
            access[scope] = t.text == "public"
        if t.text != "(" or scope not in scopes or not i or toks[i - 1].kind != "id":
            continue
        name_i = i - 1
        name = toks[name_i].text
        if name in KEYWORDS or toks[name_i - 1].text in ("::", "~", ".", "->", "operator"):
            continue
        cls = scopes[scope]
        before = toks[name_i - 1]
        typeish = (before.kind == "id" and before.text not in ("return", "new", "throw", "case", "else")) or (
            before.text in ("*", "&", "&&", ">", ">>")
        )
        if cls is None:
            if typeish:
                out.append(("free", name, t.line))
            continue
        if not access[scope]:
            continue
        close = src.match[i]
        if close + 2 < len(toks) and toks[close + 1].text == "=" and toks[close + 2].text == "delete":
            continue
        if name == cls:
            out.append(("ctor", name, t.line))
        elif typeish:
            k = name_i - 1
            while k > scope and toks[k].text not in (";", "{", "}", ":"):
                k -= 1
            static = any(toks[m].text == "static" for m in range(k + 1, name_i))
            out.append(("static", f"{cls}::{name}", t.line) if static else ("member", name, t.line))
    return out


def _enclosing(src: Source, i: int) -> int | None:
    """The { of the innermost brace group around token i."""
    depth = 0
    for j in range(i - 1, -1, -1):
        t = src.toks[j].text
        if t == "}":
            depth += 1
        elif t == "{":
            if depth == 0:
                return j
            depth -= 1
    return None


def check_runtime_coverage(text: str, path: str) -> list[Finding]:
    findings = []
    for kind, name, line in runtime_declarations(text):
        known = name in MEMBER_RUNS or name in MEMBER_PURE if kind == "member" else name in KV_RUNS or name in KV_PURE
        if not known:
            shown = f".{name}()" if kind == "member" else f"kv::{name}"
            findings.append(
                Finding(
                    path,
                    line,
                    "classify",
                    f"{shown} is not classified: add it to the running or the pure list in scripts/check-order.py",
                )
            )
    return findings


# ---------------------------------------------------------------------------
# Command line


def default_files() -> list[Path]:
    runtime = ROOT / "runtime" / "kavira"
    modules = ROOT / "src" / "kavira"
    return sorted(modules.glob("*.cpp")) + sorted(modules.glob("*.hpp")) + [runtime / "runtime.hpp", runtime / "runtime.cpp"]


def shown_path(path: Path) -> str:
    try:
        return str(path.resolve().relative_to(ROOT))
    except ValueError:
        return str(path)


def list_functions(files: list[Path]) -> None:
    def section(title: str, names, verdict: str) -> None:
        print(f"# {title}")
        for name in sorted(names):
            why = names[name] if isinstance(names, dict) else ""
            print(f"{verdict:5} {name}" + (f"  -- {why}" if why else ""))
        print()

    section("kv:: functions that can run Python code", KV_RUNS, "runs")
    section("kv:: functions that cannot", KV_PURE, "pure")
    section("members that can run Python code", MEMBER_RUNS, "runs")
    section("members that cannot", MEMBER_PURE, "pure")
    section("C API calls that can run Python code (and every " + ", ".join(CAPI_RUNS_PREFIXES)
            + " call that is not listed pure)", CAPI_RUNS, "runs")
    section("C API calls that run Python code only with %S, %R or %A in the format", CAPI_FORMAT, "fmt")
    section("C API calls that cannot (and every *_Check, *_CheckExact, Py_UNICODE_*)", CAPI_PURE, "pure")
    section("raw API refused in module code", RAW_API, "raw")
    for path in files:
        src = Source(path.read_text(encoding="utf-8"), shown_path(path), "runtime" in path.parts)
        print(f"# inferred from their bodies in {shown_path(path)}")
        for name in sorted(src.local_runs):
            inferred = "runs" if src.local_runs[name] else "pure"
            listed = "runs" if name in KV_RUNS else "pure" if name in KV_PURE else None
            if src.runtime and listed is not None:
                if listed != inferred:
                    print(f"{listed:5} {name}  -- listed {listed}; its body alone would say {inferred}")
                continue
            print(f"{inferred:5} {name}")
        for name in sorted(src.method_vars):
            print(f"runs  {name}  -- a kv::Method")
        print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path, help="C++ sources (default: kavira/*.cpp and the runtime)")
    parser.add_argument("--list-functions", action="store_true", help="print the classification and exit")
    options = parser.parse_args(argv)
    files = options.files or default_files()
    if options.list_functions:
        list_functions(files)
        return 0
    findings: list[Finding] = []
    for path in files:
        text = path.read_text(encoding="utf-8")
        findings += check_source(text, shown_path(path))
        if path.suffix == ".hpp":
            findings += check_runtime_coverage(text, shown_path(path))
    for f in findings:
        print(f)
    if findings:
        print(f"check-order: {len(findings)} finding{'s' * (len(findings) != 1)}", file=sys.stderr)
        return 1
    print("check-order: no findings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
