// kavira's runtime, what module code is written in. CONTRIBUTING.md, "Adding a function", says more.
// * Python code can run in every kv:: call marked KV_RUNS_PYTHON (reads, comparisons, hashes, calls, conversions):
//   it may change anything, so hold owned Refs across it, never borrowed pointers.
// * Python's order: `obj.f(a.x)` reads f before a.x, which a property or __getattr__ can see, so write
//   `kv::Method f = kv::method(obj, name);`, the arguments as statements, then `f(...)`. call_method() looks the
//   method up last: its arguments are bound values. No argument list holds two evaluations that run Python code.
// * Raw C API in module code: calls whose new reference goes straight into Ref::steal, and type tests and reads of
//   objects it owns. No borrowed look-ups (dict_get() and item() own theirs) and no refcounting.
// * Errors: a failing call throws kv::Error with the Python error pending, and the one boundary returns NULL; a
//   raise the caller expects (a refusal, a bad argument) returns kv::Raised through kv::Result instead.
// * A new function touches: its implementation; the kv::Binding right below it (way, name, parameters with
//   annotations and defaults, docstring); its class's make_class() or the module's add_functions() list; a State
//   Name when a method calls it through self; the .pyi stub; its plain rendering in bench/plain/.
// Every object a module state holds is Held, so the module's traverse and clear reach it; none lives in a static.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cassert>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// Marks a declaration whose call can run Python code. scripts/check_order.py
// reads it from clang's AST; callers trust it, and a runtime body that runs
// Python code without it is a finding. KV_LOOKS_UP_METHOD_LAST also says
// that the method is looked up after the arguments, which therefore must
// run no Python code.
#if defined(__clang__)
#define KV_RUNS_PYTHON [[clang::annotate("kv:runs-python")]]
#define KV_LOOKS_UP_METHOD_LAST [[clang::annotate("kv:looks-up-method-last")]]
#else
#define KV_RUNS_PYTHON
#define KV_LOOKS_UP_METHOD_LAST
#endif

// A pointer whose object is owned by the one it came from: clang warns when
// it outlives a temporary owner (`PyObject* p = kv::str(o).get();`).
#if defined(__clang__)
#define KV_LIFETIMEBOUND [[clang::lifetimebound]]
#else
#define KV_LIFETIMEBOUND
#endif

namespace kv {

// A Python exception is pending. Everything the runtime and the modules
// throw is a std::exception, and every handler that does not rethrow
// catches only those: glibc ends a thread (pthread_exit; the interpreter's
// exit ends daemon threads so) by unwinding its stack with an exception of
// no C++ type, which each C++ library treats in its own way when caught,
// and which aborts the process when a handler swallows it.
struct Error : std::exception {};

// Whether this thread may release references. Not while the interpreter's
// exit ends a daemon thread with a forced unwind: that thread holds no GIL,
// and the process is going, so what it owns is left to leak. The first test
// is one load on every other path.
inline bool may_release() {
#if PY_VERSION_HEX >= 0x030D0000
  if (!Py_IsFinalizing()) [[likely]]
#else
  if (!_Py_IsFinalizing()) [[likely]]
#endif
    return true;
  PyThreadState* mine = PyGILState_GetThisThreadState();
  return mine && mine == _PyThreadState_UncheckedGet();
}

[[noreturn]] inline void raise() {
  assert(PyErr_Occurred() && "kv::raise() without a pending Python exception");
  throw Error{};
}

// A Python exception is pending, and the function says so by returning
// this instead of throwing: a throw costs an unwinding search per frame,
// several times what the interpreter's own raise costs. Implementations
// return it (through Result) where raising is the expected outcome of a call.
struct Raised {};

template <class... A>
KV_RUNS_PYTHON Raised fail(PyObject* type, const char* format, A... args) {
  PyErr_Format(type, format, args...);
  return {};
}

// Throws what a returned failure left pending.
[[noreturn]] inline void raise(Raised) { raise(); }

template <class... A>
KV_RUNS_PYTHON [[noreturn]] void raise(PyObject* type, const char* format, A... args) {
  fail(type, format, args...);
  throw Error{};
}

inline int check(int status) {
  if (status < 0) raise();
  return status;
}

// An owned reference.
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(const Ref& other) : p_(Py_XNewRef(other.p_)) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~Ref() {
    if (p_ && may_release()) Py_DECREF(p_);
  }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Takes over a new reference; throws if the call that made it failed.
  static Ref steal(PyObject* p) {
    if (!p) raise();
    return Ref(p);
  }
  // Takes over a new reference that may be NULL without an error (lookups).
  static Ref steal_or_null(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }

  PyObject* get() const KV_LIFETIMEBOUND { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }
  // A named Ref passes where a PyObject* is wanted; a temporary does not,
  // so its pointer cannot outlive it unnoticed: write .get() for a C API
  // call, or pass it to a runtime function, which takes Borrowed.
  operator PyObject*() const& { return p_; }
  operator PyObject*() const&& = delete;

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// What an implementation returns: a new reference, or Raised with the
// Python exception pending. A null Ref is neither, and is refused.
class Result {
 public:
  Result(Ref value) : value_(std::move(value)) { assert(value_ && "a null Ref is no result"); }
  Result(Raised) { assert(PyErr_Occurred() && "kv::Raised without a pending Python exception"); }
  bool raised() const { return !value_; }
  // The value, or the pending exception thrown, for code that throws.
  Ref get() && {
    if (!value_) raise();
    return std::move(value_);
  }
  PyObject* release() { return value_.release(); }

 private:
  Ref value_;
};

// What runtime functions take: a reference borrowed for the span of one
// call, from a PyObject*, a Ref (a temporary one lives until the call
// returns) or a Name. Only ever a parameter type.
class Borrowed {
 public:
  Borrowed(PyObject* p) : p_(p) {}
  Borrowed(const Ref& r) : p_(r.get()) {}
  template <class T>
    requires requires(const T& t) {
      { t.get() } -> std::same_as<PyObject*>;
    }
  Borrowed(const T& named) : p_(named.get()) {}
  operator PyObject*() const { return p_; }
  PyObject* get() const { return p_; }

 private:
  PyObject* p_;
};

// `raise type(message)` for a message object, returned or thrown.
KV_RUNS_PYTHON inline Raised fail(PyObject* type, Borrowed message) {
  PyErr_SetObject(type, message);
  return {};
}
KV_RUNS_PYTHON [[noreturn]] inline void raise(PyObject* type, Borrowed message) {
  fail(type, message);
  throw Error{};
}

// Owns the exception being handled while cleanup code runs, and restores it.
class PendingError {
 public:
  PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingError() {
    if (!may_release()) return;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  KV_RUNS_PYTHON void normalize() { PyErr_NormalizeException(&type_, &value_, &traceback_); }
  PyObject* type() const KV_LIFETIMEBOUND { return type_ ? type_ : Py_None; }
  PyObject* value() const KV_LIFETIMEBOUND { return value_ ? value_ : Py_None; }
  PyObject* traceback() const KV_LIFETIMEBOUND { return traceback_ ? traceback_ : Py_None; }
  // Makes the exception pending again.
  void restore() {
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Runs its scope without the GIL. Nothing in the scope may touch a Python
// object beyond the bytes of one it owns. Taking the GIL back may end the
// thread with a forced unwind, which must leave the destructor. Other
// threads run Python code meanwhile.
class WithoutGil {
 public:
  KV_RUNS_PYTHON WithoutGil() : thread_(PyEval_SaveThread()) {}
  ~WithoutGil() noexcept(false) { PyEval_RestoreThread(thread_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* thread_;
};

// ---------------------------------------------------------------------------
// Object construction and access

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref floating(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref text(std::string_view utf8) {
  return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
Ref intern(const char* utf8);

template <class... A>
Ref tuple(const A&... items) {
  Ref t = Ref::steal(PyTuple_New(sizeof...(A)));
  Py_ssize_t i = 0;
  ((PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(Borrowed(items).get()))), ...);
  return t;
}

// sequence[i] of an exact tuple or list, owned, so that it outlives Python
// code that changes the container; IndexError outside it.
inline Ref item(Borrowed sequence, Py_ssize_t i) {
  assert(PyTuple_CheckExact(sequence.get()) || PyList_CheckExact(sequence.get()));
  if (i < 0 || i >= PySequence_Fast_GET_SIZE(sequence.get()))
    raise(PyExc_IndexError, "index out of range");  // pure: ok a built-in error with a constant message
  return Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
}

inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_set() { return Ref::steal(PySet_New(nullptr)); }
inline void append(Borrowed list, Borrowed item) { check(PyList_Append(list, item)); }

KV_RUNS_PYTHON inline Ref dict_get(Borrowed dict, Borrowed key);

// object.name. For a plain module and a name that is not a dunder, the
// generic look-up finds nothing on the module type (which has only dunder
// attributes and cannot gain others) and takes the module's own dict entry:
// read it directly. A miss takes the full protocol for __getattr__ and the
// error message.
KV_RUNS_PYTHON inline Ref getattr(Borrowed object, Borrowed name) {
  if (PyModule_CheckExact(object.get()) && PyUnicode_CheckExact(name.get()) && PyUnicode_GET_LENGTH(name) > 0 &&
      PyUnicode_READ_CHAR(name, 0) != '_') {
    if (Ref value = dict_get(PyModule_GetDict(object), name)) return value;
  }
  return Ref::steal(PyObject_GetAttr(object, name));
}
KV_RUNS_PYTHON inline void setattr(Borrowed object, Borrowed name, Borrowed value) {
  check(PyObject_SetAttr(object, name, value));
}
KV_RUNS_PYTHON inline Ref getitem(Borrowed object, Borrowed key) { return Ref::steal(PyObject_GetItem(object, key)); }
KV_RUNS_PYTHON inline void setitem(Borrowed object, Borrowed key, Borrowed value) {
  check(PyObject_SetItem(object, key, value));
}
KV_RUNS_PYTHON inline bool truthy(Borrowed object) { return check(PyObject_IsTrue(object)) != 0; }
KV_RUNS_PYTHON inline bool isinstance(Borrowed object, PyTypeObject* type) {
  return check(PyObject_IsInstance(object, reinterpret_cast<PyObject*>(type))) != 0;
}
KV_RUNS_PYTHON inline bool equal(Borrowed a, Borrowed b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }
KV_RUNS_PYTHON inline Ref str(Borrowed object) { return Ref::steal(PyObject_Str(object)); }

// Next item of an iterator, or a null Ref at the end.
KV_RUNS_PYTHON inline Ref next(Borrowed iterator) {
  PyObject* item = PyIter_Next(iterator);
  if (!item && PyErr_Occurred()) raise();
  return Ref::steal_or_null(item);
}
KV_RUNS_PYTHON inline Ref iterate(Borrowed iterable) { return Ref::steal(PyObject_GetIter(iterable)); }

// f(args...) through vectorcall.
template <class... A>
KV_RUNS_PYTHON Ref call(Borrowed callable, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {nullptr, Borrowed(args).get()...};
  return Ref::steal(PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., keyword=...) where the last len(kwnames) arguments are keywords.
template <class... A>
KV_RUNS_PYTHON Ref call_kw(Borrowed callable, Borrowed kwnames, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {nullptr, Borrowed(args).get()...};
  size_t positional = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  return Ref::steal(PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// object.name(args...), without creating a bound method where possible.
// The method is looked up after the arguments exist, so they must be
// constants or values already bound; otherwise use method().
// try_call_method() returns a failure rather than throwing it, for a call
// whose raising is the expected outcome.
template <class... A>
KV_LOOKS_UP_METHOD_LAST Result try_call_method(Borrowed object, Borrowed name, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {object, Borrowed(args).get()...};
  PyObject* result =
      PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!result) return Raised{};
  return Ref::steal(result);
}
template <class... A>
KV_LOOKS_UP_METHOD_LAST Ref call_method(Borrowed object, Borrowed name, const A&... args) {
  return try_call_method(object, name, args...).get();
}

template <class... A>
KV_LOOKS_UP_METHOD_LAST Ref call_method_kw(Borrowed object, Borrowed name, Borrowed kwnames, const A&... args) {
  PyObject* stack[sizeof...(A) + 1] = {object, Borrowed(args).get()...};
  size_t positional = sizeof...(A) + 1 - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
  return Ref::steal(PyObject_VectorcallMethod(name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// `object.name`, looked up now, to be called once its arguments exist.
class Method {
 public:
  KV_RUNS_PYTHON Method(PyObject* object, PyObject* name) : bound_(Ref::steal(PyObject_GetAttr(object, name))) {}
  template <class... A>
  KV_RUNS_PYTHON Ref operator()(const A&... args) const {
    return call(bound_.get(), args...);
  }

 private:
  Ref bound_;
};
KV_RUNS_PYTHON inline Method method(Borrowed object, Borrowed name) { return Method(object, name); }

// d[key] as an owned reference, or a null Ref when the key is absent; an
// error raised by a key's __eq__ or __hash__ throws.
KV_RUNS_PYTHON inline Ref dict_get(Borrowed dict, Borrowed key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (!value && PyErr_Occurred()) raise();
  return Ref::borrow(value);
}

// Raises KeyboardInterrupt and the like between chunks of a long loop.
KV_RUNS_PYTHON inline void check_signals() {
  if (PyErr_CheckSignals() < 0) raise();
}

// ---------------------------------------------------------------------------
// Statement-level semantics

// `import name` and `from name import attribute` (level > 0 is relative to
// the package of `globals`).
KV_RUNS_PYTHON Ref import(const char* name);
KV_RUNS_PYTHON Ref import_from(Borrowed globals, const char* module, const char* attribute, int level = 0);
// `from module import first, second`: one import, two names.
KV_RUNS_PYTHON std::pair<Ref, Ref> import_from(Borrowed globals, const char* module, const char* first,
                                               const char* second, int level);
// `from svcfault import attribute`. The host application provides svcfault;
// when it is missing, the ModuleNotFoundError stays as it is and gains a
// note that says how to get the stand-in outside such a host.
KV_RUNS_PYTHON Ref import_from_svcfault(const char* attribute);

// A module global as the interpreter's LOAD_GLOBAL finds it: the module's
// namespace, then builtins, else NameError.
KV_RUNS_PYTHON Ref global(Borrowed module_dict, Borrowed name);

// `a, b = value`, with the messages the modules document.
KV_RUNS_PYTHON std::pair<Ref, Ref> unpack2(Borrowed value);
// The ValueError of unpacking `got` values into two.
KV_RUNS_PYTHON Raised unpack_error(Py_ssize_t got);

// `raise exception` for an object that a call returned: returned, or thrown.
KV_RUNS_PYTHON Raised fail_with(Borrowed exception);
KV_RUNS_PYTHON [[noreturn]] inline void raise_object(Borrowed exception) {
  fail_with(exception);
  raise();
}

// `try: body() except (types): pass`: false when an exception of one of
// `types` left the body and was cleared; any other passes on.
template <class Body>
KV_RUNS_PYTHON bool suppress(std::initializer_list<PyObject*> types, Body&& body) {
  try {
    body();
    return true;
  } catch (const Error&) {
    if (std::none_of(types.begin(), types.end(), PyErr_ExceptionMatches)) throw;
    PyErr_Clear();
    return false;
  }
}

// ---------------------------------------------------------------------------
// Numbers, with the interpreter's semantics

KV_RUNS_PYTHON inline Ref add(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Add(a, b)); }
KV_RUNS_PYTHON inline Ref subtract(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Subtract(a, b)); }
KV_RUNS_PYTHON inline Ref multiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Multiply(a, b)); }
KV_RUNS_PYTHON inline Ref imultiply(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_InPlaceMultiply(a, b)); }
KV_RUNS_PYTHON inline Ref true_divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
KV_RUNS_PYTHON inline Ref floor_divide(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
KV_RUNS_PYTHON inline Ref remainder(Borrowed a, Borrowed b) { return Ref::steal(PyNumber_Remainder(a, b)); }
KV_RUNS_PYTHON inline Ref absolute(Borrowed a) { return Ref::steal(PyNumber_Absolute(a)); }
KV_RUNS_PYTHON inline bool less(Borrowed a, Borrowed b) { return check(PyObject_RichCompareBool(a, b, Py_LT)) != 0; }
KV_RUNS_PYTHON inline bool greater(Borrowed a, Borrowed b) { return check(PyObject_RichCompareBool(a, b, Py_GT)) != 0; }

// int(x).
KV_RUNS_PYTHON inline Ref to_int(Borrowed o) {
  if (PyLong_CheckExact(o)) return Ref::borrow(o);
  return Ref::steal(PyNumber_Long(o));
}
// max(a, b) and min(a, b): the second only when strictly greater (smaller).
KV_RUNS_PYTHON inline Ref max2(Borrowed a, Borrowed b) { return Ref::borrow(greater(b, a) ? b : a); }
KV_RUNS_PYTHON inline Ref min2(Borrowed a, Borrowed b) { return Ref::borrow(less(b, a) ? b : a); }

// ---------------------------------------------------------------------------
// Functions and classes

enum class Kind {
  Any,           // no annotation check
  Str,           // exactly str
  OptionalStr,   // exactly str, or None
  Bytes,         // exactly bytes
  List,          // exactly list
  OptionalList,  // exactly list, or None
  Int,           // exact int unchanged, other numbers through int()
  Float,         // any real number, as a float
  Bool,          // any object, by its truth value
};

// The parameter types an implementation takes. A parameter's kind is the
// type it is declared with, so what the binding checked is what the body
// reads: `double` for Kind::Float, `bool` for Kind::Bool, a Checked object
// for the exact types, PyObject* for Kind::Any.
template <Kind K>
class Checked {
 public:
  static constexpr Kind kind = K;
  explicit Checked(PyObject* p) : p_(p) {}
  operator PyObject*() const { return p_; }
  PyObject* get() const { return p_; }

 private:
  PyObject* p_;
};
using Str = Checked<Kind::Str>;
using OptionalStr = Checked<Kind::OptionalStr>;
using Bytes = Checked<Kind::Bytes>;
using List = Checked<Kind::List>;
using OptionalList = Checked<Kind::OptionalList>;
using Int = Checked<Kind::Int>;  // an exact int
// The dict of a trailing **kwargs; only ever the last parameter.
class Kwargs : public Checked<Kind::Any> {
  using Checked::Checked;
};

// How an argument the binding has checked reaches a parameter of type T.
template <class T>
constexpr Kind parameter_kind() {
  if constexpr (std::is_same_v<T, double>) {
    return Kind::Float;
  } else if constexpr (std::is_same_v<T, bool>) {
    return Kind::Bool;
  } else if constexpr (requires { T::kind; }) {
    return T::kind;
  } else {
    static_assert(std::is_same_v<T, PyObject*>, "a parameter is PyObject*, double, bool or a kv:: checked type");
    return Kind::Any;
  }
}
template <class T>
T parameter_from(PyObject* o) {
  if constexpr (std::is_same_v<T, double>) {
    return PyFloat_AS_DOUBLE(o);
  } else if constexpr (std::is_same_v<T, bool>) {
    return o == Py_True;
  } else {
    return T(o);
  }
}

// A parameter's default, as the declaration writes it: None, a bool, an
// int, a str, or a tuple of at most four ints.
struct Default {
  enum class Type : unsigned char { Absent, None, Bool, Int, Str, Ints };
  constexpr Default() = default;
  constexpr Default(std::nullptr_t) : type(Type::None) {}
  constexpr Default(bool b) : type(Type::Bool), count(b) {}
  constexpr Default(int v) : type(Type::Int) { ints[0] = v; }
  constexpr Default(const char* utf8) : type(Type::Str), text(utf8) {}
  constexpr Default(std::initializer_list<int> values) : type(Type::Ints), count(values.size()) {
    size_t i = 0;
    for (int v : values) ints[i++] = v;  // more than four do not compile
  }
  Type type = Type::Absent;
  size_t count = 0;  // the bool, or how many ints
  int ints[4] = {};
  const char* text = nullptr;
};

struct Param {
  constexpr Param() = default;
  constexpr Param(const char* name, const char* annotation = nullptr, Default fallback = {})
      : name(name), annotation(annotation), fallback(fallback) {}
  const char* name = nullptr;
  const char* annotation = nullptr;  // stored in __annotations__ when set
  Default fallback;                  // the parameter's default, when it has one
};

constexpr size_t kMaxParams = 8;

struct ModuleState;

// What an implementation receives: the bound, converted arguments.
struct Call {
  ModuleState* module_state;  // the function's module's, checked live
  PyObject* const* args;      // one per parameter, then the **kwargs dict
};

// Adapts `Ref f(State&, A...)` or `Result f(State&, A...)` to the binding:
// its parameter kinds, and whether it ends in **kwargs.
template <auto F>
struct Adapter;
template <class State, class R, class... A, R (*F)(State&, A...)>
  requires std::same_as<R, Ref> || std::same_as<R, Result>
struct Adapter<F> {
  static constexpr bool var_keywords = [] {
    constexpr bool is_kwargs[] = {std::is_same_v<A, Kwargs>..., false};
    return is_kwargs[sizeof...(A) == 0 ? 0 : sizeof...(A) - 1];
  }();
  static constexpr size_t params = sizeof...(A) - (var_keywords ? 1 : 0);
  static constexpr Kind kinds[] = {parameter_kind<A>()..., Kind::Any};
  static_assert((std::is_same_v<A, Kwargs> + ... + 0) == (var_keywords ? 1 : 0), "Kwargs is only ever last");
  static_assert(params <= kMaxParams, "more parameters than the binding holds");

  // A new reference, or NULL with the exception pending.
  KV_RUNS_PYTHON static PyObject* run(const Call& call) { return run(call, std::index_sequence_for<A...>{}); }
  template <size_t... I>
  KV_RUNS_PYTHON static PyObject* run(const Call& call, std::index_sequence<I...>) {
    return F(*static_cast<State*>(call.module_state), parameter_from<A>(call.args[I])...).release();
  }
};

// How a binding sits in its module: a module function, a method (a plain
// function in its class), a staticmethod or a classmethod.
enum class Way { Function, Method, StaticMethod, ClassMethod };

// What a binding says of its function besides its parameters. __name__ is
// the last part of the qualified name, and the name it gets in its class or
// module.
struct About {
  Way way;
  const char* qualname;
  const char* doc = nullptr;      // nullptr: __doc__ is None
  const char* returns = nullptr;  // return annotation
};

// What the function type keeps of a binding.
struct FunctionSpec {
  About about;
  Param params[kMaxParams];
  const Kind* kinds;
  size_t count;  // parameters, not counting **kwargs
  bool var_keywords;
  PyObject* (*run)(const Call&);
};

// A mismatch found while a binding compiles; the failing instantiation or
// call names it.
template <size_t Declared, size_t Taken>
consteval void check_parameter_count() {
  static_assert(Declared == Taken, "parameters declared (left) differ from those the implementation takes (right)");
}
void a_parameter_without_a_default_follows_one_with_a_default();

// The one declaration of a function implemented by F, written below F:
//   const kv::Binding<f> f_binding{{kv::Way::Method, "C.f", "doc", "str"}, {{"self"}, {"x", "int", 0}}};
// `params` names exactly the parameters F takes after the state (and before
// a trailing Kwargs), each with its annotation and default.
template <auto F>
struct Binding : FunctionSpec {
  template <size_t N>
  consteval Binding(const About& about, const Param (&list)[N])
      : FunctionSpec{about, {}, Adapter<F>::kinds, Adapter<F>::params, Adapter<F>::var_keywords, &Adapter<F>::run} {
    check_parameter_count<N, Adapter<F>::params>();
    for (size_t i = 0; i < N; ++i) {
      params[i] = list[i];
      if (i > 0 && list[i - 1].fallback.type != Default::Type::Absent && list[i].fallback.type == Default::Type::Absent)
        a_parameter_without_a_default_follows_one_with_a_default();
    }
  }
  consteval Binding(const About& about)
      : FunctionSpec{about, {}, Adapter<F>::kinds, Adapter<F>::params, Adapter<F>::var_keywords, &Adapter<F>::run} {
    check_parameter_count<0, Adapter<F>::params>();
  }
};

// A reference owned by a module state. Each one is made with its owner and
// enrols itself there, so the module's traverse and clear reach every
// object the state holds, and a member without an owner does not compile.
class Held : public Ref {
 public:
  explicit Held(ModuleState* owner, Ref value = nullptr);
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Held& operator=(Ref value) {
    Ref::operator=(std::move(value));
    return *this;
  }
};

// Per-module state: the module's own function type, names and constants.
// Members are declared `Held x{this, value}` or `Name x{this, "x"}`.
struct ModuleState {
  ModuleState() = default;
  virtual ~ModuleState() = default;
  ModuleState(const ModuleState&) = delete;

  std::vector<Held*> held;  // every Held member, in declaration order
  Held function_type{this};
  PyObject* globals = nullptr;  // the module's namespace, owned by the module
  bool cleared = false;         // set by the module's clear; calls refuse to run after it
  // A module global, looked up now.
  KV_RUNS_PYTHON Ref global(Borrowed name) const { return kv::global(globals, name); }
};

inline Held::Held(ModuleState* owner, Ref value) : Ref(std::move(value)) { owner->held.push_back(this); }

// An interned name, owned by the module state.
class Name {
 public:
  Name(ModuleState* owner, const char* utf8) : ref_(owner, intern(utf8)) {}
  operator PyObject*() const { return ref_.get(); }
  PyObject* get() const KV_LIFETIMEBOUND { return ref_.get(); }

 private:
  Held ref_;
};

// A tuple of interned keyword names for call_kw.
template <class... A>
Ref names(const A*... utf8) {
  return tuple(intern(utf8)...);
}

// type(name, bases, namespace) with __module__, __qualname__ and __doc__
// set, then the constants and the bindings' functions added in order.
struct Member {
  const char* name;
  Ref value;
};
using Bindings = std::initializer_list<std::reference_wrapper<const FunctionSpec>>;
KV_RUNS_PYTHON Ref make_class(Borrowed module, const char* name, const char* doc,
                              std::initializer_list<Member> constants, Bindings bindings,
                              Borrowed base = reinterpret_cast<PyObject*>(&PyBaseObject_Type));
// Binds each module function as a module global.
KV_RUNS_PYTHON void add_functions(Borrowed module, Bindings bindings);
// What the class's own namespace binds to `name`, or a null Ref.
KV_RUNS_PYTHON Ref own_member(Borrowed cls, const char* name);

// Binds a module global.
KV_RUNS_PYTHON inline void add_global(Borrowed module, const char* name, const Ref& value) {
  check(PyModule_AddObjectRef(module, name, value));
}

// The function type of one module, made once in its exec slot.
Ref new_function_type(Borrowed module);

// Inside a catch block: makes the exception being handled a pending Python
// error, as the interpreter would see it leave native code.
KV_RUNS_PYTHON void set_error_from_exception() noexcept;

// Runs `body` and turns a C++ throw into a pending Python error. A forced
// unwind (a daemon thread ended by the interpreter's exit) passes on to the
// thread's start, since swallowing it aborts the process: so no noexcept.
template <class Body>
KV_RUNS_PYTHON auto boundary(Body&& body, decltype(body()) failed) -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception&) {
    set_error_from_exception();
  }
  return failed;
}

// The PyModuleDef of a module whose state is `State` and whose exec slot
// runs `populate(module, state)`.
template <class State, void (*Populate)(PyObject*, State&)>
struct ModuleDefinition {
  KV_RUNS_PYTHON static int exec(PyObject* module) {
    return boundary(
        [&] {
          auto* state = new State();
          *slot(module) = state;
          state->function_type = new_function_type(module);
          state->globals = PyModule_GetDict(module);
          Populate(module, *state);
          return 0;
        },
        -1);
  }
  static ModuleState** slot(void* module) {
    return static_cast<ModuleState**>(PyModule_GetState(static_cast<PyObject*>(module)));
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) {
    if (ModuleState** state = slot(module); state && *state)
      for (Held* held : (*state)->held) Py_VISIT(held->get());  // pure: ok visit is the collector's
    return 0;
  }
  static int clear(PyObject* module) {
    if (ModuleState** state = slot(module); state && *state) {
      (*state)->cleared = true;
      for (Held* held : (*state)->held) *held = Ref();
    }
    return 0;
  }
  static void free(void* module) {
    if (ModuleState** state = slot(module)) delete std::exchange(*state, nullptr);
  }
  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(&exec)},
      {0, nullptr},
  };
  static inline PyModuleDef def = {
      PyModuleDef_HEAD_INIT, nullptr, nullptr, sizeof(ModuleState*), nullptr, slots, &traverse, &clear, &free,
  };
  static PyObject* init(const char* name, const char* doc) {
    def.m_name = name;
    def.m_doc = doc;
    return PyModuleDef_Init(&def);
  }
};

// The entry point of module kavira.<name>, whose state is `State` and whose
// exec slot runs `populate`; written after the module's namespace closes.
#define KV_MODULE(name, State, populate, doc) \
  PyMODINIT_FUNC PyInit_##name() { return ::kv::ModuleDefinition<State, populate>::init("kavira." #name, doc); }

// ---------------------------------------------------------------------------

// The bound __enter__ and __exit__ of a context manager, looked up on its
// type as the interpreter does.
KV_RUNS_PYTHON std::pair<Ref, Ref> context_methods(Borrowed manager);
// Calls __exit__ for the pending exception; true when it swallowed it.
KV_RUNS_PYTHON bool exit_with_error(Borrowed exit);

// `with manager as value: body(value)`. Returns false when __exit__
// swallowed an exception, so the body did not finish.
template <class Body>
KV_RUNS_PYTHON bool with(Borrowed manager, Body&& body) {
  auto [enter, exit] = context_methods(manager);
  Ref value = call(enter);
  try {
    body(value.get());
  } catch (const std::exception&) {
    // Whatever leaves the body, __exit__ sees it as the Python error it becomes.
    set_error_from_exception();
    if (exit_with_error(exit)) return false;
    raise();
  }
  call(exit, Py_None, Py_None, Py_None);
  return true;
}

}  // namespace kv
