#include "kavira/runtime.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstring>

namespace kv {

Ref intern(const char* utf8) { return Ref::steal(PyUnicode_InternFromString(utf8)); }

// ---------------------------------------------------------------------------
// Statement-level semantics

Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

namespace {
// IMPORT_FROM: the attribute, or a submodule already in sys.modules, else
// the interpreter's ImportError.
Ref name_from(Borrowed imported, Borrowed name) {
  PyObject* value = PyObject_GetAttr(imported, name);
  if (value) return Ref::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
  PyErr_Clear();
  Ref package = Ref::steal(PyModule_Check(imported) ? PyModule_GetNameObject(imported) : nullptr);
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
  if (Ref found = dict_get(PyImport_GetModuleDict(), full)) return found;
  Ref path = Ref::steal_or_null(PyModule_GetFilenameObject(imported));
  if (!path) {
    PyErr_Clear();
    path = text("unknown location");
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, package.get(), path.get()));
  PyErr_SetImportError(message, package, path);
  raise();
}

constexpr const char* kSvcfaultNote =
    "svcfault is the host application's module of service exceptions; outside such a host, install "
    "kavira's stand-in for it: pip install \"kavira[standalone]\"";

// Adds a PEP 678 note to the pending ModuleNotFoundError when the module it
// names is `module`, so that one missing further down is not mistaken for
// it. The exception stays pending; a failure to add the note is dropped.
KV_RUNS_PYTHON void note_missing_module(const char* module, const char* note) {
  PendingError error;
  error.normalize();
  PyObject* value = error.value();
  Ref name = Ref::steal_or_null(value != Py_None ? PyObject_GetAttrString(value, "name") : nullptr);
  if (name && PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name, module) == 0)
    Ref added = Ref::steal_or_null(PyObject_CallMethod(value, "add_note", "s", note));
  PyErr_Clear();
  error.restore();
}

Ref import_level(Borrowed globals, const char* module, Borrowed fromlist, int level) {
  return Ref::steal(PyImport_ImportModuleLevelObject(text(module).get(), globals, nullptr, fromlist, level));
}
}  // namespace

Ref import_from(Borrowed globals, const char* module, const char* attribute, int level) {
  Ref name = text(attribute);
  return name_from(import_level(globals, module, tuple(name), level), name);
}

std::pair<Ref, Ref> import_from(Borrowed globals, const char* module, const char* first, const char* second,
                                int level) {
  Ref a = text(first), b = text(second);
  Ref imported = import_level(globals, module, tuple(a, b), level);
  Ref value_a = name_from(imported, a);
  return {value_a, name_from(imported, b)};
}

Ref import_from_svcfault(const char* attribute) {
  try {
    return import_from(nullptr, "svcfault", attribute);
  } catch (const Error&) {
    if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) note_missing_module("svcfault", kSvcfaultNote);
    throw;
  }
}

Ref global(Borrowed module_dict, Borrowed name) {
  if (Ref value = dict_get(module_dict, name)) return value;
  if (Ref value = dict_get(PyEval_GetBuiltins(), name)) return value;
  raise(PyExc_NameError, "name '%U' is not defined", name.get());
}

Raised unpack_error(Py_ssize_t got) {
  if (got > 2) return fail(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
  return fail(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

std::pair<Ref, Ref> unpack2(Borrowed value) {
  if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    if (n != 2) raise(unpack_error(n));
    PyObject** items = PySequence_Fast_ITEMS(value.get());
    return {Ref::borrow(items[0]), Ref::borrow(items[1])};
  }
  PyObject* iterator = PyObject_GetIter(value);
  if (!iterator) {
    // As the interpreter's unpacking: only an object with no way to iterate
    // gets this message; an __iter__'s own TypeError passes on.
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
      PyErr_Clear();
      raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    raise();
  }
  Ref it = Ref::steal(iterator);
  Ref first = next(it);
  if (!first) raise(unpack_error(0));
  Ref second = next(it);
  if (!second) raise(unpack_error(1));
  if (next(it)) raise(unpack_error(3));
  return {std::move(first), std::move(second)};
}

Raised fail_with(Borrowed exception) {
  if (PyExceptionInstance_Check(exception)) return fail(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
  if (!PyExceptionClass_Check(exception.get()))
    return fail(PyExc_TypeError, "exceptions must derive from BaseException");
  // `raise C` instantiates C there and then, as the raise statement does.
  Ref instance = Ref::steal_or_null(PyObject_CallNoArgs(exception));
  if (!instance) return Raised{};
  if (!PyExceptionInstance_Check(instance))
    return fail(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                exception.get(), Py_TYPE(instance.get()));
  return fail(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance);
}

namespace {
Ref lookup_special(Borrowed object, Borrowed name) {
  PyObject* descriptor = _PyType_Lookup(Py_TYPE(object), name);
  if (!descriptor) return nullptr;
  descrgetfunc get = Py_TYPE(descriptor)->tp_descr_get;
  if (!get) return Ref::borrow(descriptor);
  return Ref::steal(get(descriptor, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}
}  // namespace

std::pair<Ref, Ref> context_methods(Borrowed manager) {
  Ref enter = lookup_special(manager, intern("__enter__"));
  if (!enter)
    raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol", Py_TYPE(manager)->tp_name);
  Ref exit = lookup_special(manager, intern("__exit__"));
  if (!exit)
    raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
          Py_TYPE(manager)->tp_name);
  return {std::move(enter), std::move(exit)};
}

void set_error_from_exception() noexcept {
  try {
    throw;
  } catch (const Error&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception&) {
    PyErr_SetString(PyExc_SystemError, "kavira: unexpected C++ exception");
  }
}

bool exit_with_error(Borrowed exit) {
  PendingError error;
  error.normalize();
  if (error.value() != Py_None && error.traceback() != Py_None)
    PyException_SetTraceback(error.value(), error.traceback());
  Ref swallowed =
      Ref::steal_or_null(PyObject_CallFunctionObjArgs(exit, error.type(), error.value(), error.traceback(), nullptr));
  int truth = swallowed ? PyObject_IsTrue(swallowed) : -1;
  if (truth < 0) {
    // As in an except block: a new error remembers the one it replaced, and the same one raised again does not.
    PendingError replaced;
    replaced.normalize();
    if (replaced.value() != Py_None && error.value() != Py_None && replaced.value() != error.value())
      PyException_SetContext(replaced.value(), Py_NewRef(error.value()));
    replaced.restore();
    return false;
  }
  if (truth) return true;
  error.restore();
  return false;
}

// ---------------------------------------------------------------------------
// The function type

namespace {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* definition;  // the module's binding, static
  PyObject* module;
  PyObject* param_names;  // tuple of interned str, in parameter order
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;
  PyObject* doc;
  PyObject* defaults;  // tuple, or NULL for None
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakreflist;
};

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

const char* utf8_or(PyObject* s, const char* fallback) {
  const char* u = s && PyUnicode_Check(s) ? PyUnicode_AsUTF8(s) : nullptr;
  if (!u) PyErr_Clear();
  return u ? u : fallback;
}

// The argument errors are returned, not thrown: a caller's mistake costs
// no more than the interpreter's own.
Raised count_error(Function* f, Py_ssize_t given) {
  Py_ssize_t total = static_cast<Py_ssize_t>(f->definition->count);
  Py_ssize_t with_default = f->defaults ? std::min(PyTuple_GET_SIZE(f->defaults), total) : 0;
  Py_ssize_t minimum = total - with_default;
  Py_ssize_t expected = given < minimum ? minimum : total;
  const char* bound = minimum == total ? "exactly" : given < minimum ? "at least" : "at most";
  return fail(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", utf8_or(f->name, "?"),
              bound, expected, expected == 1 ? "" : "s", given);
}

Raised type_error(const char* name, const char* expected, PyTypeObject* exact_type, PyObject* value) {
  Ref got = Ref::steal_or_null(PyType_GetName(Py_TYPE(value)));
  if (!got) return Raised{};
  if (exact_type && PyObject_TypeCheck(value, exact_type))
    return fail(PyExc_TypeError,
                "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                "Note that subclasses are refused: pass an object of exactly type %.200s",
                name, expected, PyUnicode_AsUTF8(got), expected);
  return fail(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
              PyUnicode_AsUTF8(got));
}

// Whether `v` reaches the function as it is, with no conversion or error.
bool passes_unchanged(Kind kind, PyObject* v) {
  switch (kind) {
    case Kind::Any:
      return true;
    case Kind::OptionalStr:
      return v == Py_None || PyUnicode_CheckExact(v);
    case Kind::Str:
      return PyUnicode_CheckExact(v);
    case Kind::Bytes:
      return PyBytes_CheckExact(v);
    case Kind::OptionalList:
      return v == Py_None || PyList_CheckExact(v);
    case Kind::List:
      return PyList_CheckExact(v);
    case Kind::Int:
      return PyLong_CheckExact(v);
    case Kind::Float:
      return PyFloat_CheckExact(v);
    case Kind::Bool:
      return v == Py_True || v == Py_False;
  }
  return false;
}

// The argument as the parameter's annotation admits it: `converted` stays
// null when `v` passes unchanged, else holds the converted value; false when
// it cannot be converted, with the exception pending.
bool convert(Kind kind, const char* name, PyObject* v, Ref& converted) {
  if (passes_unchanged(kind, v)) return true;
  PyNumberMethods* number = Py_TYPE(v)->tp_as_number;
  switch (kind) {
    case Kind::Any:
      return true;
    case Kind::OptionalStr:
    case Kind::Str:
      return type_error(name, "str", &PyUnicode_Type, v), false;
    case Kind::Bytes:
      return type_error(name, "bytes", &PyBytes_Type, v), false;
    case Kind::OptionalList:
    case Kind::List:
      return type_error(name, "list", &PyList_Type, v), false;
    case Kind::Int:
      // What int() can convert; an object with only __float__ is refused here
      // rather than failing inside int().
      if (!number || (!number->nb_index && !number->nb_int)) return type_error(name, "int", nullptr, v), false;
      converted = Ref::steal_or_null(PyNumber_Long(v));
      break;
    case Kind::Float: {
      // A C double, as the C API converts one: a float subclass gives its
      // stored value; other objects go through __float__ or __index__.
      if (!number || (!number->nb_float && !number->nb_index)) return type_error(name, "float", nullptr, v), false;
      double d = PyFloat_AsDouble(v);
      if (d == -1.0 && PyErr_Occurred()) return false;
      converted = Ref::steal_or_null(PyFloat_FromDouble(d));
      break;
    }
    case Kind::Bool: {
      int truth = PyObject_IsTrue(v);
      if (truth < 0) return false;
      converted = boolean(truth != 0);
      break;
    }
  }
  return static_cast<bool>(converted);
}

bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  return PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return boundary(
      [&]() -> PyObject* {
        Function* f = as_function(self);
        const FunctionSpec& definition = *f->definition;
        auto* state = *static_cast<ModuleState**>(PyModule_GetState(f->module));
        if (!state || state->cleared)
          return fail(PyExc_SystemError, "kavira: the module of %U was cleared", f->qualname), nullptr;
        const Py_ssize_t total = static_cast<Py_ssize_t>(definition.count);
        const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
        if (given > total) return count_error(f, given), nullptr;

        // All positional, and each already of the kind its parameter takes:
        // the caller's array is the bound arguments as it stands.
        if (!kwnames && given == total && !definition.var_keywords) {
          Py_ssize_t i = 0;
          while (i < total && passes_unchanged(definition.kinds[i], args[i])) ++i;
          if (i == total) return definition.run(Call{state, args});
        }

        // The caller keeps its arguments alive for the call; defaults and
        // converted values are owned here, since conversion can run Python
        // code that rebinds __defaults__.
        PyObject* bound[kMaxParams + 1] = {};
        Ref owned[kMaxParams + 1];
        for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args[i];
        Ref extra;
        if (definition.var_keywords) extra = new_dict();

        Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
          PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
          PyObject* value = args[given + k];
          Py_ssize_t index = 0;
          while (index < total && !same_name(PyTuple_GET_ITEM(f->param_names, index), keyword)) ++index;
          if (index == total) {
            if (!extra)
              return fail(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword),
                     nullptr;
            setitem(extra, keyword, value);
          } else if (bound[index]) {
            return fail(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword), nullptr;
          } else {
            bound[index] = value;
          }
        }

        Py_ssize_t first_default = total - (f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0);
        for (Py_ssize_t i = 0; i < total; ++i) {
          if (bound[i]) continue;
          if (i < first_default) return count_error(f, given), nullptr;
          owned[i] = Ref::borrow(PyTuple_GET_ITEM(f->defaults, i - first_default));
          bound[i] = owned[i].get();
        }

        for (Py_ssize_t i = 0; i < total; ++i) {
          Ref converted;
          if (!convert(definition.kinds[i], definition.params[i].name, bound[i], converted)) return nullptr;
          if (converted) {
            owned[i] = std::move(converted);
            bound[i] = owned[i].get();
          }
        }
        bound[total] = extra.get();
        return definition.run(Call{state, bound});
      },
      nullptr);
}

PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
  if (!instance || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->module);
  Py_VISIT(f->name);  // a str subclass, with a __dict__, may be assigned
  Py_VISIT(f->qualname);
  Py_VISIT(f->doc);
  Py_VISIT(f->module_name);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  Function* f = as_function(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->param_names);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

// An attribute kept in one field. A setter takes objects that pass
// `accepts`; where None means "unset", it and deletion leave the field
// null. The setter's closure is its error message.
template <PyObject* Function::* Field>
PyObject* get_field(PyObject* self, void*) {
  PyObject* value = as_function(self)->*Field;
  return Py_NewRef(value ? value : Py_None);
}
template <PyObject* Function::* Field, int (*Accepts)(PyObject*), bool NoneUnsets>
int set_field(PyObject* self, PyObject* value, void* message) {
  if (NoneUnsets && value == Py_None) value = nullptr;
  if (value ? !Accepts(value) : !NoneUnsets) {
    PyErr_SetString(PyExc_TypeError, static_cast<const char*>(message));
    return -1;
  }
  Py_XSETREF(as_function(self)->*Field, Py_XNewRef(value));
  return 0;
}
int is_str(PyObject* o) { return PyUnicode_Check(o); }
int is_tuple(PyObject* o) { return PyTuple_Check(o); }
int is_dict(PyObject* o) { return PyDict_Check(o); }

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->annotations) f->annotations = PyDict_New();
  return Py_XNewRef(f->annotations);
}
PyObject* get_globals(PyObject* self, void*) { return Py_XNewRef(PyModule_GetDict(as_function(self)->module)); }

// inspect.Signature built from the current parameters, defaults and
// annotations, so that writes to those attributes show.
PyObject* get_signature(PyObject* self, void*) {
  return boundary(
      [&]() -> PyObject* {
        Ref parameter_keywords = names("default", "annotation");
        Ref return_keyword = names("return_annotation");
        Function* f = as_function(self);
        Ref inspect = import("inspect");
        Ref parameter = getattr(inspect, intern("Parameter"));
        Ref signature = getattr(inspect, intern("Signature"));
        Ref positional = getattr(parameter, intern("POSITIONAL_OR_KEYWORD"));
        Ref empty = getattr(parameter, intern("empty"));
        Ref annotations = Ref::steal(get_annotations(self, nullptr));
        auto annotation_of = [&](PyObject* name) {
          Ref found = PyDict_Check(annotations.get()) ? dict_get(annotations, name) : nullptr;
          return found ? found : empty;
        };

        const Py_ssize_t total = PyTuple_GET_SIZE(f->param_names);
        Ref defaults = Ref::borrow(f->defaults);  // read once, as inspect does: the calls below can rebind it
        Py_ssize_t first_default = total - (defaults ? PyTuple_GET_SIZE(defaults.get()) : 0);
        Ref parameters = new_list();
        for (Py_ssize_t i = 0; i < total; ++i) {
          PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
          Ref fallback = i >= first_default ? Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i - first_default)) : empty;
          append(parameters, call_kw(parameter, parameter_keywords, name, positional, fallback, annotation_of(name)));
        }
        if (f->definition->var_keywords) {
          Ref name = text("kwargs");
          Ref kind = getattr(parameter, intern("VAR_KEYWORD"));
          Ref annotation = annotation_of(name);
          append(parameters, call_kw(parameter, parameter_keywords, name, kind, empty, annotation));
        }
        Ref return_name = intern("return");
        Ref return_annotation = annotation_of(return_name);
        return call_kw(signature, return_keyword, parameters, return_annotation).release();
      },
      nullptr);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&Function::name>, set_field<&Function::name, is_str, false>, nullptr,
     const_cast<char*>("__name__ must be set to a string object")},
    {"__qualname__", get_field<&Function::qualname>, set_field<&Function::qualname, is_str, false>, nullptr,
     const_cast<char*>("__qualname__ must be set to a string object")},
    {"__defaults__", get_field<&Function::defaults>, set_field<&Function::defaults, is_tuple, true>, nullptr,
     const_cast<char*>("__defaults__ must be set to a tuple object")},
    {"__kwdefaults__", get_field<&Function::kwdefaults>, set_field<&Function::kwdefaults, is_dict, true>, nullptr,
     const_cast<char*>("__kwdefaults__ must be set to a dict object")},
    {"__annotations__", get_annotations, set_field<&Function::annotations, is_dict, true>, nullptr,
     const_cast<char*>("__annotations__ must be set to a dict object")},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by qualified name, as built-in functions are, so that a function
// can be sent to another process; copies are the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* function_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "kavira.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

Ref new_function_type(Borrowed module) { return Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr)); }

namespace {
Ref default_value(const Default& d) {
  switch (d.type) {
    case Default::Type::Absent:
    case Default::Type::None:
      return none();
    case Default::Type::Bool:
      return boolean(d.count != 0);
    case Default::Type::Int:
      return integer(d.ints[0]);
    case Default::Type::Str:
      return text(d.text);
    case Default::Type::Ints: {
      Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(d.count)));
      for (size_t i = 0; i < d.count; ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), integer(d.ints[i]).release());
      return t;
    }
  }
  return none();
}

// __name__: the last part of the qualified name.
const char* member_name(const FunctionSpec& definition) {
  const char* dot = std::strrchr(definition.about.qualname, '.');
  return dot ? dot + 1 : definition.about.qualname;
}

// The function object alone, before its way wraps it.
Ref new_function(Borrowed module, const FunctionSpec& definition) {
  auto& state = *static_cast<ModuleState*>(*static_cast<ModuleState**>(PyModule_GetState(module)));
  auto* type = reinterpret_cast<PyTypeObject*>(state.function_type.get());

  Ref param_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(definition.count)));
  Ref annotations = new_dict();
  Ref defaults = new_list();
  for (size_t i = 0; i < definition.count; ++i) {
    const Param& param = definition.params[i];
    Ref name = intern(param.name);
    if (param.annotation) check(PyDict_SetItem(annotations, name, text(param.annotation).get()));
    if (param.fallback.type != Default::Type::Absent) append(defaults, default_value(param.fallback));
    PyTuple_SET_ITEM(param_names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  if (definition.about.returns)
    check(PyDict_SetItemString(annotations, "return", text(definition.about.returns).get()));
  Ref default_tuple = PyList_GET_SIZE(defaults.get()) ? Ref::steal(PyList_AsTuple(defaults)) : nullptr;

  // PyObject_GC_New takes the instance's reference to its heap type and
  // leaves the rest unset: every field starts null, so that a failure below
  // frees a consistent object.
  Ref object = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, type)));
  Function* f = as_function(object);
  std::memset(&f->vectorcall, 0, sizeof(Function) - offsetof(Function, vectorcall));
  f->vectorcall = function_vectorcall;
  f->definition = &definition;
  f->module = Py_NewRef(module);
  f->param_names = param_names.release();
  f->defaults = default_tuple.release();
  f->annotations = annotations.release();
  PyObject_GC_Track(object);
  f->name = text(member_name(definition)).release();
  f->qualname = text(definition.about.qualname).release();
  f->module_name = PyModule_GetNameObject(module);
  if (!f->module_name) raise();
  f->doc = definition.about.doc ? text(definition.about.doc).release() : Py_NewRef(Py_None);
  return object;
}

// The function object as its binding's way puts it in a class: a
// staticmethod or classmethod wraps it.
Ref make_function(Borrowed module, const FunctionSpec& definition) {
  Ref f = new_function(module, definition);
  switch (definition.about.way) {
    case Way::StaticMethod:
      return Ref::steal(PyStaticMethod_New(f));
    case Way::ClassMethod:
      return Ref::steal(PyClassMethod_New(f));
    default:
      return f;
  }
}
}  // namespace

Ref make_class(Borrowed module, const char* name, const char* doc, std::initializer_list<Member> constants,
               Bindings bindings, Borrowed base) {
  Ref class_name = text(name);
  Ref namespace_ = new_dict();
  check(PyDict_SetItemString(namespace_, "__module__", Ref::steal(PyModule_GetNameObject(module)).get()));
  check(PyDict_SetItemString(namespace_, "__qualname__", class_name));
  if (doc) check(PyDict_SetItemString(namespace_, "__doc__", text(doc).get()));
  for (const Member& member : constants) check(PyDict_SetItemString(namespace_, member.name, member.value));
  for (const FunctionSpec& binding : bindings)
    check(PyDict_SetItemString(namespace_, member_name(binding), make_function(module, binding).get()));
  return call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, tuple(base), namespace_);
}

void add_functions(Borrowed module, Bindings bindings) {
  for (const FunctionSpec& binding : bindings)
    check(PyModule_AddObjectRef(module, member_name(binding), make_function(module, binding).get()));
}

Ref own_member(Borrowed cls, const char* name) {
  return dict_get(reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict, intern(name));
}

}  // namespace kv
