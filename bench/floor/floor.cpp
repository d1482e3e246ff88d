// benchfloor: the cheapest native calls of the shapes kavira's logic paths
// must have, so bench/run.py can show how far each path is from the limit.
// Built only for the benchmark; nothing here is part of the package.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

PyObject* g_result = nullptr;  // the fixed dict calc_size copies
PyObject* g_names[3] = {};     // interned parameter names of calc_size

// The binding and type checks of calc_size(cls, aspect_ratio="1:1",
// resolution="2k", strict=False); -1 with an exception set.
int bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&bound)[3]) {
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "calc_size() takes at most 3 positional arguments (%zd given)", nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int slot = -1;
    for (int p = 0; p < 3 && slot < 0; ++p)
      if (key == g_names[p]) slot = p;
    for (int p = 0; p < 3 && slot < 0; ++p)
      if (PyUnicode_Compare(key, g_names[p]) == 0) slot = p;
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "calc_size() got an unexpected keyword argument '%U'", key);
      return -1;
    }
    if (bound[slot]) {
      PyErr_Format(PyExc_TypeError, "calc_size() got multiple values for argument '%U'", key);
      return -1;
    }
    bound[slot] = args[nargs + k];
  }
  for (int p = 0; p < 2; ++p) {
    if (bound[p] && !PyUnicode_CheckExact(bound[p])) {
      PyErr_Format(PyExc_TypeError, "Argument '%U' has incorrect type (expected str, got %s)", g_names[p],
                   Py_TYPE(bound[p])->tp_name);
      return -1;
    }
  }
  if (bound[2] && PyObject_IsTrue(bound[2]) < 0) return -1;
  return 0;
}

// calc_size with the real method's binding, then a copy of one dict.
PyObject* calc_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (bind(args, nargs, kwnames, bound) < 0) return nullptr;
  return PyDict_Copy(g_result);
}

// The class attributes, module attributes and result values that calc_size
// cannot do without when it reads them live on every call, as the Python
// code does: on the path of ('16:9', '2k') that is six constants, two
// class methods (each read makes a bound method), math and math.sqrt, the
// tier's preset, and a dict of seven entries with four new objects in it.
enum { kMaxRatio, kPreset, kMinPixels, kMaxPixels, kRound, kMultiple, kValid, kMaxEdge, kMath, kSqrt, kNames };
PyObject* g_live_names[kNames] = {};
PyObject* g_result_keys[7] = {};
PyObject* g_globals = nullptr;  // the module's namespace, where `math` is bound
PyObject *g_default_word = nullptr, *g_default_tier = nullptr;

PyObject* calc_size_live(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (bind(args, nargs, kwnames, bound) < 0) return nullptr;
  PyObject* resolution = bound[1] ? bound[1] : g_default_tier;
  PyObject* preset = nullptr;
  for (int n = kMaxRatio; n <= kMaxEdge; ++n) {
    PyObject* value = PyObject_GetAttr(cls, g_live_names[n]);
    if (!value) return nullptr;
    if (n == kPreset)
      preset = value;
    else
      Py_DECREF(value);
  }
  PyObject* target = PyDict_GetItemWithError(preset, resolution);
  Py_DECREF(preset);
  if (!target && PyErr_Occurred()) return nullptr;
  // A plain module's attribute is what its namespace holds.
  PyObject* math = PyDict_GetItemWithError(g_globals, g_live_names[kMath]);
  if (!math || !PyModule_CheckExact(math) || !PyDict_GetItemWithError(PyModule_GetDict(math), g_live_names[kSqrt])) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "math.sqrt");
    return nullptr;
  }

  PyObject* size = PyUnicode_New(9, 127);
  if (!size) return nullptr;
  memcpy(PyUnicode_DATA(size), "3414x1920", 9);
  PyObject* values[7] = {PyLong_FromLong(3414),
                         PyLong_FromLong(1920),
                         size,
                         PyLong_FromLong(3414 * 1920),
                         bound[0] ? bound[0] : g_default_word,
                         resolution,
                         Py_True};
  PyObject* result = _PyDict_NewPresized(7);
  for (int i = 0; result && i < 7; ++i)
    if (PyDict_SetItem(result, g_result_keys[i], values[i]) < 0) Py_CLEAR(result);
  for (int i = 0; i < 4; ++i) Py_XDECREF(values[i]);
  return result;
}

PyObject* noop(PyObject*, PyObject*) { Py_RETURN_NONE; }
PyMethodDef noop_def = {"noop", noop, METH_O, nullptr};

// Floor's class attributes, of the kinds calc_size reads.
int add_limits(PyObject* type) {
  const char* ints[] = {"MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE"};
  const long values[] = {655360, 8294400, 3840, 2};
  for (int i = 0; i < 4; ++i) {
    PyObject* value = PyLong_FromLong(values[i]);
    if (!value || PyObject_SetAttrString(type, ints[i], value) < 0) return -1;
    Py_DECREF(value);
  }
  PyObject* ratio = PyFloat_FromDouble(3.0);
  // Interned keys, so that a tier passed as a literal is found by identity.
  PyObject* preset = PyDict_New();
  const char* tiers[] = {"1k", "2k", "4k"};
  const long pixels[] = {1572516, 6553600, 8294400};
  for (int i = 0; preset && i < 3; ++i) {
    PyObject* tier = PyUnicode_InternFromString(tiers[i]);
    PyObject* value = PyLong_FromLong(pixels[i]);
    if (!tier || !value || PyDict_SetItem(preset, tier, value) < 0) Py_CLEAR(preset);
    Py_XDECREF(tier);
    Py_XDECREF(value);
  }
  PyObject* function = PyCFunction_New(&noop_def, nullptr);
  PyObject* method = function ? PyClassMethod_New(function) : nullptr;
  int status = ratio && preset && method && PyObject_SetAttrString(type, "MAX_RATIO", ratio) == 0 &&
                       PyObject_SetAttrString(type, "RESOLUTION_PRESET", preset) == 0 &&
                       PyObject_SetAttrString(type, "round_to_multiple", method) == 0 &&
                       PyObject_SetAttrString(type, "is_valid_image_size", method) == 0
                   ? 0
                   : -1;
  Py_XDECREF(ratio);
  Py_XDECREF(preset);
  Py_XDECREF(function);
  Py_XDECREF(method);
  return status;
}

// parse_ratio(s): digits ':' digits at the start of the stripped text.
PyObject* parse_ratio(PyObject*, PyObject* s) {
  if (!PyUnicode_CheckExact(s)) {
    PyErr_Format(PyExc_TypeError, "Argument 'ratio_str' has incorrect type (expected str, got %s)",
                 Py_TYPE(s)->tp_name);
    return nullptr;
  }
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s);
  while (i < n && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
  uint64_t parts[2] = {0, 0};
  for (int p = 0; p < 2; ++p) {
    if (p == 1) {
      if (i >= n || PyUnicode_READ(kind, data, i) != ':') goto bad;
      ++i;
    }
    Py_ssize_t start = i;
    for (; i < n; ++i) {
      int digit = Py_UNICODE_TODECIMAL(PyUnicode_READ(kind, data, i));
      if (digit < 0) break;
      // Only a floor: words longer than 18 digits are not its business.
      if (i - start >= 18) goto bad;
      parts[p] = parts[p] * 10 + static_cast<uint64_t>(digit);
    }
    if (i == start) goto bad;
  }
  {
    PyObject* w = PyLong_FromUnsignedLongLong(parts[0]);
    PyObject* h = w ? PyLong_FromUnsignedLongLong(parts[1]) : nullptr;
    PyObject* pair = h ? PyTuple_Pack(2, w, h) : nullptr;
    Py_XDECREF(w);
    Py_XDECREF(h);
    return pair;
  }
bad:
  PyErr_SetString(PyExc_ValueError, "malformed ratio");
  return nullptr;
}

struct Pair {
  long long i = 0, j = 0;
};

// Every pair i, j in 1..limit; strict-less minimum of |i/j - target|.
Pair best_pair(double target, long long limit) {
  Pair best;
  double min_error = INFINITY;
  for (long long i = 1; i <= limit; ++i) {
    const double x = static_cast<double>(i);
    for (long long j = 1; j <= limit; ++j) {
      const double error = std::fabs(x / static_cast<double>(j) - target);
      if (error < min_error) {
        min_error = error;
        best = {i, j};
      }
    }
  }
  return best;
}

// search(target, limit) -> (i, j): the search loop alone, GIL released.
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "search() takes exactly 2 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  double target = PyFloat_AsDouble(args[0]);
  if (target == -1.0 && PyErr_Occurred()) return nullptr;
  long long limit = PyLong_AsLongLong(args[1]);
  if (limit == -1 && PyErr_Occurred()) return nullptr;
  Pair best;
  Py_BEGIN_ALLOW_THREADS;
  best = best_pair(target, limit);
  Py_END_ALLOW_THREADS;
  return Py_BuildValue("(LL)", best.i, best.j);
}

PyMethodDef floor_methods[] = {
    {"calc_size", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calc_size)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "A copy of one fixed result dict."},
    {"calc_size_live", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calc_size_live)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "calc_size's live reads and a result of new objects."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_methods},
    {Py_tp_doc, const_cast<char*>("The cheapest class method of calc_size's shape.")},
    {0, nullptr},
};

PyType_Spec floor_spec = {"benchfloor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};

// A native function that only refuses its argument: what setting the
// exception costs from C, below which no raise can go.
PyObject* refuse(PyObject*, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "prompt", "str",
               Py_TYPE(value)->tp_name);
  return nullptr;
}
PyObject* refuse_with(PyObject*, PyObject* message) {
  PyErr_SetObject(PyExc_ValueError, message);
  return nullptr;
}

PyMethodDef module_methods[] = {
    {"refuse", refuse, METH_O, "Raises TypeError for the argument, and nothing else."},
    {"refuse_with", refuse_with, METH_O, "Raises ValueError(message), and nothing else."},
    {"parse_ratio", parse_ratio, METH_O, "(w, h) of the 'digits:digits' at the start of the stripped text."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search)), METH_FASTCALL,
     "The best pair (i, j) of 1..limit for the target, as a tight native loop."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "benchfloor",
                          "Native floors for kavira's benchmarks.",
                          -1,
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_benchfloor() {
  const char* names[3] = {"aspect_ratio", "resolution", "strict"};
  for (int p = 0; p < 3; ++p)
    if (!(g_names[p] = PyUnicode_InternFromString(names[p]))) return nullptr;
  g_result = Py_BuildValue("{s:i,s:i,s:s,s:i,s:s,s:s,s:O}", "width", 3414, "height", 1920, "size", "3414x1920",
                           "pixels", 3414 * 1920, "aspect_ratio", "16:9", "resolution", "2k", "valid", Py_True);
  if (!g_result) return nullptr;
  const char* live[kNames] = {"MAX_RATIO", "RESOLUTION_PRESET",   "MIN_PIXELS", "MAX_PIXELS", "round_to_multiple",
                              "MULTIPLE",  "is_valid_image_size", "MAX_EDGE",   "math",       "sqrt"};
  for (int n = 0; n < kNames; ++n)
    if (!(g_live_names[n] = PyUnicode_InternFromString(live[n]))) return nullptr;
  const char* keys[7] = {"width", "height", "size", "pixels", "aspect_ratio", "resolution", "valid"};
  for (int i = 0; i < 7; ++i)
    if (!(g_result_keys[i] = PyUnicode_InternFromString(keys[i]))) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  g_globals = PyModule_GetDict(module);
  g_default_word = PyUnicode_InternFromString("1:1");
  g_default_tier = PyUnicode_InternFromString("2k");
  PyObject* math = PyImport_ImportModule("math");
  if (!math || PyModule_AddObject(module, "math", math) < 0) {
    Py_XDECREF(math);
    Py_DECREF(module);
    return nullptr;
  }
  PyObject* type = PyType_FromSpec(&floor_spec);
  if (!type || add_limits(type) < 0 || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
