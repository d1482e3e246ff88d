#!/usr/bin/env python3
"""Static checks, on clang's AST, for the rules runtime/kavira/runtime.hpp states.

* order: no call's argument list, and no operator whose operands C++ leaves
  unsequenced (+ - * / % == != < > <= >= <=> & | ^), holds two evaluations
  that can run Python code; a function declared KV_LOOKS_UP_METHOD_LAST
  (kv::call_method) gets no argument that runs Python code.
* raw-api (module code only): none of the borrowed-reference or raw
  reference-counting C API calls in RAW_API, except a borrowed reference
  handed straight to Ref::borrow.
* declare: a runtime function whose body runs Python code carries
  KV_RUNS_PYTHON, since callers trust the declaration.
* compile: clang's own errors, with its lifetime warnings (-Wdangling, which
  [[clang::lifetimebound]] feeds) made errors.

What runs Python code:
* a runtime declaration: what KV_RUNS_PYTHON says on it;
* a C API function: nothing for those in CAPI_PURE, and a static inline one
  runs what its body runs; every other one runs Python code (a new one must
  be reviewed before it counts as pure);
* a function, constructor, conversion or operator defined in the checked
  file, or a template instantiated from one: what its body runs;
* a library function (std::, libc): nothing, except that it runs what the
  callables handed to it run (a lambda, a local functor, a function).
A decref that runs a finalizer and an allocation that starts the cyclic GC
are not counted.

A finding is waived by a comment on its line, or alone on the line above:
`// order: ok <reason>`, `// raw-api: ok <reason>`, or in the runtime
`// pure: ok <reason>` for a body the rules above read as running Python code. A waiver without a
reason, or one that waives nothing, is itself a finding.

Needs libclang (`pip install libclang`). Run from anywhere:
`scripts/check_order.py [FILE...]`; without files it checks src/kavira/*.cpp
and the runtime. `--list-functions` prints what the runtime declares.
"""

from __future__ import annotations

import argparse
import ctypes
import functools
import re
import subprocess
import sys
import sysconfig
import tempfile
from dataclasses import dataclass
from pathlib import Path

import clang.cindex as ci

ROOT = Path(__file__).resolve().parent.parent
RUNTIME = ROOT / "runtime"
PYTHON_INCLUDE = Path(sysconfig.get_paths()["include"]).resolve()
RUNS_PYTHON = "kv:runs-python"
LOOKS_UP_LAST = "kv:looks-up-method-last"
K = ci.CursorKind

# Extern C API functions that run no Python code: they make, read or test
# objects of built-in types, or touch only the error indicator. Every other
# extern C API function counts as running Python code.
CAPI_PURE = set(
    """
    _Py_Dealloc _Py_NewReference _Py_IncRef _Py_DecRef Py_IncRef Py_DecRef _Py_NegativeRefcount _Py_INCREF_IncRefTotal
    _Py_DECREF_DecRefTotal Py_IsNone Py_Is _Py_FatalRefcountError __assert_fail
    PyType_IsSubtype PyType_GetFlags PyType_GetName PyType_GetQualName PyType_GetModuleState PyType_GetModule
    PyType_FromModuleAndSpec PyType_GenericAlloc PyType_Ready
    PyTuple_New PyTuple_Size PyTuple_GetItem PyTuple_GetSlice _PyTuple_Resize
    PyList_New PyList_Size PyList_GetItem PyList_Append PyList_AsTuple PyList_GetSlice PyList_SetItem PyList_Insert
    PyDict_New PyDict_Next PyDict_Size _PyDict_NewPresized PyDict_Keys PyDict_Values PyDict_Items
    PySet_Size PyBytes_FromStringAndSize PyBytes_Size PyBytes_AsString PyBytes_FromString PyByteArray_FromStringAndSize
    PyUnicode_InternFromString PyUnicode_FromString PyUnicode_FromStringAndSize PyUnicode_New PyUnicode_Substring
    PyUnicode_Concat PyUnicode_Compare PyUnicode_CompareWithASCIIString PyUnicode_AsUTF8 PyUnicode_AsUTF8AndSize
    PyUnicode_FromKindAndData PyUnicode_GetLength PyUnicode_ReadChar PyUnicode_FromOrdinal PyUnicode_DecodeUTF8
    PyUnicode_AsUTF8String PyUnicode_InternInPlace PyUnicode_Split PyUnicode_Splitlines PyUnicode_Find
    PyUnicode_FindChar PyUnicode_Tailmatch PyUnicode_Contains PyUnicode_Replace PyUnicode_FromWideChar
    _PyUnicode_Ready _PyUnicode_EQ _PyUnicode_Equal _PyUnicode_IsLowercase _PyUnicode_IsUppercase
    _PyUnicode_IsWhitespace _PyUnicode_ToLowercase _PyUnicode_ToLowerFull _PyUnicode_IsDecimalDigit _PyUnicode_IsAlpha
    _PyUnicode_ToDecimalDigit _PyUnicode_IsNumeric _PyUnicode_IsDigit _PyUnicode_ToNumeric _PyUnicode_IsPrintable
    _Py_ascii_whitespace _Py_ctype_table _Py_ctype_tolower _Py_ctype_toupper
    PyLong_FromLong PyLong_FromLongLong PyLong_FromSsize_t PyLong_FromSize_t PyLong_FromUnsignedLong
    PyLong_FromUnsignedLongLong PyLong_FromDouble PyLong_FromUnicodeObject PyLong_FromString _PyLong_Sign
    _PyLong_NumBits PyLong_AsDouble PyLong_AsSsize_t
    PyFloat_FromDouble PyFloat_GetMax PyFloat_GetMin PyBool_FromLong PyComplex_FromDoubles
    PyErr_Occurred PyErr_Clear PyErr_ExceptionMatches PyErr_GivenExceptionMatches PyErr_Fetch PyErr_Restore
    PyErr_NoMemory PyErr_GetRaisedException PyErr_SetRaisedException PyErr_BadInternalCall _PyErr_BadInternalCall
    PyException_SetTraceback PyException_SetContext PyException_SetCause PyException_GetTraceback
    PyModule_GetState PyModule_GetDict PyModule_GetNameObject PyModule_GetFilenameObject PyModuleDef_Init
    PyModule_GetDef PyModule_GetName
    PyEval_GetBuiltins PyImport_GetModuleDict PyVectorcall_NARGS PyStaticMethod_New PyClassMethod_New PyMethod_New
    PyObject_GC_New _PyObject_GC_New PyObject_GC_Track PyObject_GC_UnTrack PyObject_GC_Del PyObject_Free
    PyObject_Malloc PyObject_Realloc PyMem_Malloc PyMem_Free PyMem_Realloc PyMem_RawMalloc PyMem_RawFree
    PyObject_Init PyObject_InitVar _PyObject_New PyCapsule_New PyCapsule_GetPointer PyWeakref_NewRef
    PyObject_SelfIter PyObject_GenericGetDict PyDescr_NewMember PyMember_GetOne
    PyThreadState_Get PyGILState_Check PyInterpreterState_Get _PyThreadState_UncheckedGet
    _Py_IsFinalizing Py_IsFinalizing PyGILState_GetThisThreadState
    PyOS_double_to_string PyOS_snprintf PyBuffer_Release Py_FatalError _Py_FatalErrorFunc
    """.split()
)
# Python-running only when their format holds %S, %R or %A (str(), repr(), ascii()).
CAPI_FORMAT = {"PyUnicode_FromFormat": 0}
# Python-running only when this argument, an iterable, is not null.
CAPI_ITERABLE = {"PySet_New": 0, "PyFrozenSet_New": 0}

_BORROWED_DICT = "returns a borrowed reference: use kv::dict_get, which returns an owned Ref"
_BORROWED = "returns a borrowed reference that Python code can invalidate: hand it straight to Ref::borrow"
_REFCOUNT = "is raw reference counting: a kv::Ref owns every reference in module code"
_LIFECYCLE = "manages an object's lifecycle, which belongs in the runtime"
RAW_API = {
    "PyDict_GetItem": _BORROWED_DICT,
    "PyDict_GetItemWithError": _BORROWED_DICT,
    "PyDict_GetItemString": _BORROWED_DICT,
    "_PyDict_GetItem_KnownHash": _BORROWED_DICT,
    "_PyType_Lookup": "returns a borrowed reference from the type's MRO, found without the descriptor protocol",
    "PyDict_Next": "yields borrowed keys and values that any change to the dict invalidates",
    "PyList_GET_ITEM": _BORROWED,
    "PyList_GetItem": _BORROWED,
    "PyTuple_GET_ITEM": _BORROWED,
    "PyTuple_GetItem": _BORROWED,
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
    **{name: _REFCOUNT for name in "Py_INCREF Py_DECREF Py_XINCREF Py_XDECREF Py_IncRef Py_DecRef Py_SETREF "
       "Py_XSETREF Py_CLEAR Py_NewRef Py_XNewRef".split()},
    **{name: _LIFECYCLE for name in "PyObject_GC_Track PyObject_GC_UnTrack PyObject_GC_Del PyObject_GC_New "
       "PyObject_GC_NewVar".split()},
}
# Operators whose operands C++17 sequences: the rest are unsequenced.
SEQUENCED = {"&&", "||", ",", "=", "<<", ">>", "[]", "->*", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
UNSEQUENCED = {"+", "-", "*", "/", "%", "==", "!=", "<", ">", "<=", ">=", "<=>", "&", "|", "^"}
WAIVER = re.compile(r"\b(order|raw-api|pure):\s*ok\b[\s:,-]*(.*?)\s*(?:\*/)?\s*$")
WAIVES = {"order": "order", "raw-api": "raw-api", "pure": "declare"}


@dataclass(frozen=True, order=True)
class Finding:
    path: str
    line: int
    kind: str  # order, raw-api, declare, compile, waiver
    message: str
    site: int = 0  # in a template: the line of the checked file that instantiated it

    def __str__(self) -> str:
        where = f" (instantiated at line {self.site})" if self.site else ""
        return f"{self.path}:{self.line}: {self.kind}: {self.message}{where}"


def shown_path(path: str | Path) -> str:
    try:
        return str(Path(path).resolve().relative_to(ROOT))
    except ValueError:
        return str(path)


@functools.cache
def compile_args() -> tuple[str, ...]:
    """Flags for the checked sources: the build's include paths, and the
    lifetime warnings as errors. libclang from PyPI has no resource headers
    (stddef.h and the like), so the compiler's own are used. GCC's vector
    intrinsics do not parse under clang, so the portable paths are read."""
    gcc = subprocess.run(["gcc", "-print-file-name=include"], capture_output=True, text=True, check=False)
    extra = ["-isystem", gcc.stdout.strip()] if gcc.returncode == 0 and gcc.stdout.strip() else []
    return (
        "-x", "c++", "-std=c++20", f"-I{RUNTIME}", f"-I{PYTHON_INCLUDE}", *extra, f"-I{generated_dir()}",
        "-U__SSE2__", "-U__AVX2__", "-Wdangling", "-Werror=dangling", "-Werror=return-stack-address",
    )  # fmt: skip


@functools.cache
def generated_dir() -> Path:
    """The build-generated header _wordvault.cpp includes, made afresh."""
    out = Path(tempfile.mkdtemp(prefix="kavira-check-"))
    vault = ROOT / "wordvault"
    if (vault / "generate.py").exists():
        subprocess.run(
            [sys.executable, str(vault / "generate.py"), str(vault / "banned_words.txt"), str(vault / "key.hex"),
             str(out / "wordvault_data.hpp")],
            check=True, capture_output=True,
        )  # fmt: skip
    return out


@functools.cache
def file_origin(name: str) -> str:
    path = Path(name).resolve()
    if path.is_relative_to(RUNTIME):
        return "runtime"
    if path.is_relative_to(PYTHON_INCLUDE):
        return "capi"
    return "local" if path.is_relative_to(ROOT) else "system"


def annotations(decl: ci.Cursor) -> set[str]:
    found = set()
    for d in {decl, decl.canonical, decl.get_definition() or decl}:
        found |= {c.spelling for c in d.get_children() if c.kind == K.ANNOTATE_ATTR}
    return found


def qualified(decl: ci.Cursor) -> str:
    parts, c = [], decl
    while c is not None and c.kind != K.TRANSLATION_UNIT:
        if c.spelling and not c.spelling.startswith("(lambda"):
            parts.append(c.spelling)
        elif c.spelling.startswith("(lambda"):
            parts.append("lambda")
        c = c.semantic_parent
    return "::".join(reversed(parts))


def body(decl: ci.Cursor) -> ci.Cursor | None:
    d = decl.get_definition()
    if d is None or not any(c.kind == K.COMPOUND_STMT for c in d.get_children()):
        return None
    return d


class Unit:
    """One translation unit and what its code can run."""

    def __init__(self, path: Path, text: str | None = None):
        self.path = path
        unsaved = [(str(path), text)] if text is not None else None
        self.tu = ci.Index.create().parse(
            str(path), args=list(compile_args()), unsaved_files=unsaved,
            options=ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD,
        )  # fmt: skip
        self.main = str(path)
        self.text = text
        self.memo: dict[int, str | None] = {}
        self.checked: set[int] = set()
        self.findings: set[Finding] = set()
        self.site = 0

    # -- where a declaration lives

    def origin(self, decl: ci.Cursor) -> str:
        f = decl.location.file
        return "system" if f is None else "local" if f.name == self.main else file_origin(f.name)

    def project(self, cursor: ci.Cursor) -> bool:
        return cursor.location.file is not None and self.origin(cursor) in ("local", "runtime")

    # -- what runs Python code; each answer is a reason, or None

    def decl_runs(self, decl: ci.Cursor) -> str | None:
        key = decl.hash
        if key in self.memo:
            return self.memo[key]
        self.memo[key] = None  # recursion: assumed pure while it is being inferred
        self.memo[key] = reason = self._decl_runs(decl)
        return reason

    def _decl_runs(self, decl: ci.Cursor) -> str | None:
        name = qualified(decl)
        marks = annotations(decl)
        if marks & {RUNS_PYTHON, LOOKS_UP_LAST}:
            return f"{name} (declared)"
        origin = self.origin(decl)
        if origin == "runtime" or origin == "system":
            return None
        if decl.kind == K.CONSTRUCTOR and decl.semantic_parent.spelling.startswith("(lambda"):
            return None  # copies the captures
        if origin == "capi":
            if decl.spelling in CAPI_PURE:
                return None
            d = body(decl)
            if d is None:
                return f"{decl.spelling} (C API)"
            inner = self.body_runs(d)
            return inner and f"{decl.spelling} -> {inner}"
        d = body(decl)
        if d is None:
            if decl.kind in (K.CONSTRUCTOR, K.DESTRUCTOR, K.CXX_METHOD) and (
                decl.is_default_method() or decl.is_copy_constructor() or decl.is_move_constructor()
                or decl.spelling.startswith("~")
            ):  # fmt: skip
                return self.fields_run(decl.semantic_parent) if decl.kind == K.CONSTRUCTOR else None
            return f"{name} (no body visible)"
        inner = self.body_runs(d)
        return inner and (inner if inner.startswith(name) else f"{name} -> {inner}")

    def fields_run(self, record: ci.Cursor) -> str | None:
        for field in record.get_children():
            if field.kind == K.FIELD_DECL:
                for init in field.get_children():
                    if reason := self.expr_runs(init):
                        return reason
        return None

    def body_runs(self, definition: ci.Cursor) -> str | None:
        for child in definition.get_children():
            if child.kind in (K.PARM_DECL, K.TEMPLATE_TYPE_PARAMETER, K.TEMPLATE_NON_TYPE_PARAMETER):
                continue
            if reason := self.expr_runs(child):
                return reason
        if definition.kind == K.CONSTRUCTOR:
            return self.fields_run(definition.semantic_parent)
        return None

    def expr_runs(self, node: ci.Cursor) -> str | None:
        """The first evaluation under node that can run Python code."""
        kind = node.kind
        if kind in (K.CXX_UNARY_EXPR, K.CXX_TYPEID_EXPR, K.TYPE_REF, K.TEMPLATE_REF, K.NAMESPACE_REF):
            return None  # unevaluated
        if kind == K.LAMBDA_EXPR:
            # Made now, run later: only the init-captures are evaluated here.
            return next((r for c in node.get_children() if c.kind not in (K.COMPOUND_STMT, K.PARM_DECL)
                         for r in [self.expr_runs(c)] if r), None)  # fmt: skip
        if kind in (K.CLASS_DECL, K.STRUCT_DECL, K.FUNCTION_DECL, K.CXX_METHOD):
            return None  # a local type or function, run when called
        if kind == K.CALL_EXPR:
            if reason := self.call_runs(node):
                return reason
        for child in node.get_children():
            if reason := self.expr_runs(child):
                return reason
        return None

    def call_runs(self, call: ci.Cursor) -> str | None:
        ref = call.referenced
        if ref is None or ref.kind == K.OVERLOADED_DECL_REF:
            candidates = self.overloads(call)
            if candidates is None:
                return None  # dependent: the instantiations are checked
            return next((r for c in candidates for r in [self.decl_runs(c)] if r), None)
        if ref.kind in (K.PARM_DECL, K.VAR_DECL, K.FIELD_DECL):
            if "<" in ref.type.spelling or ref.type.kind == ci.TypeKind.UNEXPOSED:
                return None  # a dependent callee: the instantiations are checked
            return f"a call through {ref.spelling} (unknown)"
        if ref.kind == K.FUNCTION_TEMPLATE and self.origin(ref) == "local":
            return None  # dependent: the instantiations are checked
        if ref.spelling in CAPI_FORMAT and self.origin(ref) == "capi":
            args = list(call.get_arguments())
            fmt = args[CAPI_FORMAT[ref.spelling]] if args else None
            text = "".join(t.spelling for t in fmt.get_tokens()) if fmt is not None else "%S"
            return f"{ref.spelling} with %S, %R or %A" if re.search(r"%[-\d.]*[SRA]", text) else None
        if ref.spelling in CAPI_ITERABLE and self.origin(ref) == "capi":
            args = list(call.get_arguments())
            iterable = args[CAPI_ITERABLE[ref.spelling]] if args else None
            if iterable is not None and self.null(iterable):
                return None
        if reason := self.decl_runs(ref):
            return reason
        if self.origin(ref) == "system":
            for arg in call.get_arguments():
                if reason := self.callable_runs(arg):
                    return f"{qualified(ref)} calls {reason}"
        return None

    @staticmethod
    def null(expr: ci.Cursor) -> bool:
        return [t.spelling for t in expr.get_tokens()] in (["nullptr"], ["NULL"], ["0"])

    def overloads(self, call: ci.Cursor) -> list[ci.Cursor] | None:
        for c in call.walk_preorder():
            if c.kind == K.OVERLOADED_DECL_REF:
                lib = ci.conf.lib
                lib.clang_getNumOverloadedDecls.argtypes = [ci.Cursor]
                lib.clang_getNumOverloadedDecls.restype = ctypes.c_uint
                lib.clang_getOverloadedDecl.argtypes = [ci.Cursor, ctypes.c_uint]
                lib.clang_getOverloadedDecl.restype = ci.Cursor
                n = lib.clang_getNumOverloadedDecls(c)
                return [ci.Cursor.from_result(lib.clang_getOverloadedDecl(c, i), None, [c]) for i in range(n)]
            if c.kind == K.MEMBER_REF_EXPR and c.referenced is None:
                return None
        return None

    def callable_runs(self, arg: ci.Cursor) -> str | None:
        """What calling arg runs, when arg is a lambda, a functor or a function."""
        for c in arg.walk_preorder():
            if c.kind == K.LAMBDA_EXPR:
                block = next((b for b in c.get_children() if b.kind == K.COMPOUND_STMT), None)
                return block and self.expr_runs(block)
            if c.kind == K.DECL_REF_EXPR and c.referenced is not None:
                ref = c.referenced
                if ref.kind == K.FUNCTION_DECL:
                    return self.decl_runs(ref)
                record = ref.type.get_canonical().get_declaration()
                if record.kind in (K.CLASS_DECL, K.STRUCT_DECL) and self.origin(record) == "local":
                    if record.spelling.startswith("(lambda"):
                        block = next((b for d in ref.get_children() if d.kind == K.LAMBDA_EXPR
                                      for b in d.get_children() if b.kind == K.COMPOUND_STMT), None)  # fmt: skip
                        return block and self.expr_runs(block)
                    for m in record.get_children():
                        if m.kind == K.CXX_METHOD and m.spelling == "operator()" and (r := self.decl_runs(m)):
                            return r
                return None
        return None

    # -- the order check

    def run(self) -> list[Finding]:
        for d in self.tu.diagnostics:
            if d.severity >= ci.Diagnostic.Error and d.location.file is not None:
                self.report(d.location.file.name, d.location.line, "compile", d.spelling)
        for top in self.tu.cursor.get_children():
            if self.project(top):
                self.visit(top)
        if self.origin_file_is_runtime():
            self.check_declarations()
        else:
            self.check_raw_api()
        return self.apply_waivers()

    def origin_file_is_runtime(self) -> bool:
        return Path(self.main).resolve().is_relative_to(RUNTIME)

    def visit(self, node: ci.Cursor) -> None:
        stack = [node]
        while stack:
            c = stack.pop()
            if c.kind == K.CALL_EXPR:
                self.check_call(c)
            elif c.kind == K.BINARY_OPERATOR:
                self.check_binary(c)
            stack.extend(c.get_children())

    def check_call(self, call: ci.Cursor) -> None:
        ref = call.referenced
        args = list(call.get_arguments())
        if ref is not None and ref.kind not in (K.PARM_DECL, K.VAR_DECL, K.FIELD_DECL, K.OVERLOADED_DECL_REF):
            # A template of ours, instantiated: check its body as instantiated.
            d = body(ref) if self.instantiated(ref) else None
            if d is not None and self.project(d) and (d.hash, self.site or call.location.line) not in self.checked:
                self.checked.add((d.hash, self.site or call.location.line))
                outer, self.site = self.site, self.site or call.location.line
                self.visit(d)
                self.site = outer
            if LOOKS_UP_LAST in annotations(ref):
                for i, arg in enumerate(args[2:], 2):  # the object is Python's first evaluation
                    if reason := self.expr_runs(arg):
                        self.report_at(arg, "order", f"{qualified(ref)}() looks the method up after its arguments, "
                                       f"but argument {i + 1} runs Python code ({reason}): bind it first")  # fmt: skip
            name = ref.spelling
            if name.startswith("operator") and ref.kind != K.CONVERSION_FUNCTION:
                op = name[len("operator"):].strip()
                if op == "()":
                    args = args[1:]  # the callee object is sequenced before the arguments
                elif op in SEQUENCED or op not in UNSEQUENCED and len(args) < 2:
                    return
            elif ref.kind == K.CONSTRUCTOR and self.braced(call, args):
                return  # list-initialisation runs left to right
        self.check_operands(call, args, f"{qualified(ref) if ref is not None else call.spelling}()", "argument")

    @staticmethod
    def instantiated(decl: ci.Cursor) -> bool:
        parent = decl.semantic_parent
        return decl.get_num_template_arguments() > 0 or (
            parent is not None and parent.kind in (K.CLASS_DECL, K.STRUCT_DECL)
            and parent.get_num_template_arguments() > 0
        )  # fmt: skip

    def braced(self, call: ci.Cursor, args: list[ci.Cursor]) -> bool:
        if not args:
            return False
        start = args[0].extent.start.offset
        before = [t for t in call.get_tokens() if t.extent.end.offset <= start]
        return bool(before) and before[-1].spelling == "{"

    def check_binary(self, node: ci.Cursor) -> None:
        children = list(node.get_children())
        if len(children) != 2:
            return
        end = children[0].extent.end.offset
        op = next((t.spelling for t in node.get_tokens() if t.extent.start.offset >= end), None)
        if op in UNSEQUENCED:
            self.check_operands(node, children, f"operator {op}", "operand")

    def check_operands(self, node: ci.Cursor, operands: list[ci.Cursor], what: str, noun: str) -> None:
        if len(operands) < 2:
            return
        running = [(i, r) for i, a in enumerate(operands) for r in [self.expr_runs(a)] if r]
        if len(running) >= 2:
            listed = ", ".join(f"{noun} {i + 1} ({r})" for i, r in running)
            self.report_at(node, "order", f"{what}: C++ leaves the order of these unspecified, and each can run "
                           f"Python code: {listed}; evaluate them in Python's order as statements first")  # fmt: skip

    # -- the declarations of the runtime

    def check_declarations(self) -> None:
        """A runtime function whose body runs Python code must say so."""
        for top in self.tu.cursor.get_children():
            if self.project(top):
                for c in top.walk_preorder():
                    if (
                        c.kind in (K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.FUNCTION_TEMPLATE)
                        and c.is_definition() and not annotations(c) & {RUNS_PYTHON, LOOKS_UP_LAST}
                        and self.public(c)
                    ):  # fmt: skip
                        for call, reason in self.running_calls(c):
                            self.report_at(call, "declare", f"{qualified(c)} is declared without KV_RUNS_PYTHON, "
                                           f"but here it runs Python code ({reason})")  # fmt: skip

    def running_calls(self, node: ci.Cursor):
        """Each call under node, outside lambda bodies, that can run Python code."""
        for child in node.get_children():
            if child.kind == K.LAMBDA_EXPR:
                continue
            if child.kind == K.CALL_EXPR and (reason := self.call_runs(child)):
                yield child, reason
            else:
                yield from self.running_calls(child)

    def public(self, decl: ci.Cursor) -> bool:
        """Declared in the runtime's header, so callers trust its declaration."""
        return any(Path(d.location.file.name).suffix == ".hpp" for d in (decl, decl.canonical) if d.location.file)

    # -- raw API in module code

    def check_raw_api(self) -> None:
        tokens = list(self.tu.get_tokens(extent=self.tu.cursor.extent))
        for i, t in enumerate(tokens):
            if t.kind != ci.TokenKind.IDENTIFIER or t.spelling not in RAW_API or t.location.file is None:
                continue
            if t.location.file.name != self.main:
                continue
            owned = i >= 2 and tokens[i - 1].spelling == "(" and tokens[i - 2].spelling == "borrow"
            if owned and RAW_API[t.spelling] in (_BORROWED, _BORROWED_DICT):
                continue
            self.report(self.main, t.location.line, "raw-api", f"{t.spelling} {RAW_API[t.spelling]}")

    # -- findings

    def report_at(self, cursor: ci.Cursor, kind: str, message: str) -> None:
        loc = cursor.extent.start
        if loc.file is not None:
            self.report(loc.file.name, loc.line, kind, message)

    def report(self, path: str, line: int, kind: str, message: str) -> None:
        self.findings.add(Finding(path, line, kind, message, self.site))

    def apply_waivers(self) -> list[Finding]:
        out = set(self.findings)
        for path in {f.path for f in self.findings if f.kind in WAIVES.values()} | {self.main}:
            if not self.project_path(path):
                continue
            for line, text, alone in self.waivers(path):
                m = WAIVER.search(text)
                if not m:
                    continue
                kind, reason = WAIVES[m.group(1)], m.group(2)
                lines = {line, line + 1} if alone else {line}
                hit = {f for f in out if f.path == path and f.kind == kind and f.line in lines}
                if not reason:
                    out.add(Finding(path, line, "waiver", f"`{m.group(1)}: ok` needs a reason"))
                elif not hit:
                    out.add(Finding(path, line, "waiver", f"`{m.group(1)}: ok` waives nothing here"))
                else:
                    out -= hit
        return sorted(out)

    def project_path(self, path: str) -> bool:
        return path == self.main or file_origin(path) in ("local", "runtime")

    def waivers(self, path: str) -> list[tuple[int, str, bool]]:
        f = self.tu.get_file(path)
        size = len(self.source(path).encode())
        extent = ci.SourceRange.from_locations(
            ci.SourceLocation.from_offset(self.tu, f, 0), ci.SourceLocation.from_offset(self.tu, f, size)
        )
        out, last_line = [], 0
        for t in self.tu.get_tokens(extent=extent):
            line = t.location.line
            if t.kind == ci.TokenKind.COMMENT:
                out.append((line, t.spelling, line != last_line))
            last_line = t.extent.end.line
        return out

    def source(self, path: str) -> str:
        if path == self.main and self.text is not None:
            return self.text
        return Path(path).read_text(encoding="utf-8")


def check(path: Path, text: str | None = None) -> list[Finding]:
    """The findings in one source file; text stands in for its contents."""
    return Unit(path, text).run()


def default_files() -> list[Path]:
    return sorted((ROOT / "src" / "kavira").glob("*.cpp")) + [RUNTIME / "kavira" / "runtime.cpp"]


def list_functions() -> None:
    unit = Unit(RUNTIME / "kavira" / "runtime.cpp")
    seen = set()
    for top in unit.tu.cursor.get_children():
        for c in top.walk_preorder():
            if c.kind in (K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.FUNCTION_TEMPLATE, K.CONVERSION_FUNCTION) \
                    and unit.origin(c) == "runtime" and unit.public(c):  # fmt: skip
                name = qualified(c)
                if name not in seen:
                    seen.add(name)
                    runs = annotations(c) & {RUNS_PYTHON, LOOKS_UP_LAST}
                    print(f"{'runs' if runs else 'pure'}  {name}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path)
    parser.add_argument("--list-functions", action="store_true", help="print what the runtime declares")
    options = parser.parse_args(argv)
    if options.list_functions:
        list_functions()
        return 0
    findings = sorted({f for path in options.files or default_files() for f in check(path)})
    for f in findings:
        print(str(f).replace(f.path, shown_path(f.path), 1))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
