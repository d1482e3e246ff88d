// Text helpers shared by the modules: str methods and the "w:h" forms,
// natively where the result is the same as Python's.
#pragma once

#include <algorithm>
#include <cstring>
#include <utility>

#include "kavira/runtime.hpp"

namespace kv {

// The decimal text of two integers joined by one ASCII separator.
inline Ref pair_text(long long first, char separator, long long second) {
  // Writes the decimal digits of v ending just before `end`; returns the start.
  auto decimal = [](long long v, char* end) {
    unsigned long long magnitude =
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
      *--end = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
    if (v < 0) *--end = '-';
    return end;
  };
  char buffer[48];
  char* end = buffer + sizeof buffer;
  char* start = decimal(second, end);
  *--start = separator;
  start = decimal(first, start);
  Ref text = Ref::steal(PyUnicode_New(end - start, 127));
  std::memcpy(PyUnicode_DATA(text.get()), start, static_cast<size_t>(end - start));
  return text;
}

// f"{width}:{height}", the form every ratio string takes: format(), which a __format__ of their own can change.
KV_RUNS_PYTHON inline Ref ratio_text(Borrowed width, Borrowed height) {
  int overflow_w = 0, overflow_h = 0;
  if (PyLong_CheckExact(width) && PyLong_CheckExact(height)) {
    long long w = PyLong_AsLongLongAndOverflow(width, &overflow_w);
    long long h = PyLong_AsLongLongAndOverflow(height, &overflow_h);
    if (!overflow_w && !overflow_h) return pair_text(w, ':', h);
  }
  Ref first = Ref::steal(PyObject_Format(width, nullptr)), second = Ref::steal(PyObject_Format(height, nullptr));
  return Ref::steal(PyUnicode_FromFormat("%U:%U", first.get(), second.get()));
}

// The [start, end) bounds of what str.strip() with no argument keeps, for
// an exact str.
inline std::pair<Py_ssize_t, Py_ssize_t> stripped_bounds(Borrowed text) {
  int kind = PyUnicode_KIND(text.get());
  const void* data = PyUnicode_DATA(text.get());
  Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(text.get());
  while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
  while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  return {start, end};
}

// str.strip() with no argument, for an exact str.
inline Ref strip(Borrowed text) {
  auto [start, end] = stripped_bounds(text);
  return Ref::steal(PyUnicode_Substring(text, start, end));
}

inline bool is_blank(Borrowed text) {
  auto [start, end] = stripped_bounds(text);
  return start == end;
}

// str.lower() of an exact str, natively for ASCII text.
KV_RUNS_PYTHON inline Ref lower(Borrowed text) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
  if (!PyUnicode_IS_ASCII(text.get())) {
    // Unchanged by lower() when no character has a lower-case mapping of its own.
    int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (Py_UNICODE_TOLOWER(c) != c) return Ref::steal(PyObject_CallMethod(text, "lower", nullptr));
    }
    return Ref::borrow(text);
  }
  const char* data = reinterpret_cast<const char*>(PyUnicode_DATA(text.get()));
  // Text that lower() would not change serves as its own lower-cased form.
  if (std::none_of(data, data + n, [](char c) { return c >= 'A' && c <= 'Z'; })) return Ref::borrow(text);
  Ref result = Ref::steal(PyUnicode_New(n, 127));
  char* out = reinterpret_cast<char*>(PyUnicode_DATA(result.get()));
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = (data[i] >= 'A' && data[i] <= 'Z') ? data[i] + ('a' - 'A') : data[i];
  return result;
}

}  // namespace kv
