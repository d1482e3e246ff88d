// Native number paths shared by the modules: where a double or a long long
// gives exactly what Python's arithmetic would.
#pragma once

#include "kavira/runtime.hpp"

namespace kv {

// Exact integers that convert to double without rounding take native paths.
constexpr long long kExactDoubleLimit = 1LL << 53;

// The value of an exact int when it lies within +-2**53, which any double
// operation handles exactly.
inline bool small_int(Borrowed o, long long& out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow || v > kExactDoubleLimit || v < -kExactDoubleLimit) return false;
  out = v;
  return true;
}

// The value of an exact float, or of a small exact int as a double.
inline bool native_real(Borrowed o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o.get());
    return true;
  }
  long long v;
  if (small_int(o, v)) {
    out = static_cast<double>(v);
    return true;
  }
  return false;
}

// int(x) of a finite double within the exact range; false when Python
// would produce a big int or raise.
inline bool truncate_native(double x, long long& out) {
  if (!(x > -9.0e18 && x < 9.0e18)) return false;
  out = static_cast<long long>(x);
  return true;
}

}  // namespace kv
