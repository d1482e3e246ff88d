// kavira.tessel: the output size to request from an image-generation
// service, from a ratio word and a resolution tier.
//
// calc_size has two renderings of one algorithm. The native one runs when
// the class is the shipped calculator or a subclass that only changes
// constants to plain ints and floats within bounds; one guard step decides
// that before any arithmetic, and otherwise the exact rendering on Python
// objects runs from the parsed ratio.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "kavira/numbers.hpp"
#include "kavira/runtime.hpp"
#include "kavira/text.hpp"

namespace {

using kv::Ref;

constexpr double kShrink = 0.999;

struct State : kv::ModuleState {
  // The math module and its sqrt and floor as imported: the native paths
  // run only while the functions the Python code would call are these.
  kv::Held math_module{this}, math_sqrt{this}, math_floor{this};
  kv::Held round_builtin{this};  // builtins.round as imported, which a module global or builtins may replace
  // The class methods as created here, to recognise an unchanged class.
  kv::Held round_method{this}, floor_method{this}, valid_method{this};

  kv::Name math{this, "math"}, ServiceError{this, "ServiceError"}, sqrt{this, "sqrt"}, floor{this, "floor"};
  kv::Name MIN_PIXELS{this, "MIN_PIXELS"}, MAX_PIXELS{this, "MAX_PIXELS"}, MAX_EDGE{this, "MAX_EDGE"},
      MULTIPLE{this, "MULTIPLE"};
  kv::Name MAX_RATIO{this, "MAX_RATIO"}, RESOLUTION_PRESET{this, "RESOLUTION_PRESET"};
  kv::Name round_to_multiple{this, "round_to_multiple"}, floor_to_multiple{this, "floor_to_multiple"};
  kv::Name is_valid_image_size{this, "is_valid_image_size"};
  kv::Name get{this, "get"}, auto_{this, "auto"}, two_k{this, "2k"}, round{this, "round"};

  kv::Held colon{this, kv::text(":")};
  kv::Held shrink{this, kv::floating(kShrink)};
  kv::Held strict_message{this, kv::text("图像宽高比不合法, 相差太大")};
  kv::Held aspect_ratio_keyword{this, kv::names("aspect_ratio")};
  kv::Held keys{this, kv::names("width", "height", "size", "pixels", "aspect_ratio", "resolution", "valid")};
};

constexpr int kMaxLoop = 20;

// The result a class method gives for `-> int`.
Ref int_result(Ref value) {
  if (PyLong_CheckExact(value.get())) return value;
  if (PyNumber_Check(value) && !PyComplex_Check(value.get())) return kv::to_int(value);
  Ref got = Ref::steal(PyType_GetName(Py_TYPE(value.get())));
  kv::raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", PyUnicode_AsUTF8(got));
}

// ---------------------------------------------------------------------------
// Alignment, on Python objects

// max(multiple, int(align(value / multiple) * multiple)); `align` is the
// rounding step, e.g. round() or math.floor().
template <class Align>
Ref align_to_multiple(PyObject* value, PyObject* multiple, Align&& align) {
  Ref aligned = kv::multiply(align(kv::true_divide(value, multiple)), multiple);
  return int_result(kv::max2(multiple, kv::to_int(aligned)));
}

// Native alignment of a double to a positive integer multiple; a product
// that a long long cannot hold takes the object path.
std::optional<long long> align_native(double value, long long multiple, double (*align)(double)) {
  double quotient = align(value / static_cast<double>(multiple));
  if (!std::isfinite(quotient) || std::fabs(quotient) > static_cast<double>(kv::kExactDoubleLimit)) return {};
  const long long q = static_cast<long long>(quotient);
  if (q > std::numeric_limits<long long>::max() / multiple || q < std::numeric_limits<long long>::min() / multiple)
    return {};
  return std::max(q * multiple, multiple);
}

double round_half_even(double x) { return std::nearbyint(x); }
double floor_double(double x) { return std::floor(x); }

Ref round_to_multiple(State& s, PyObject* cls, PyObject* value, PyObject* multiple_arg) {
  Ref multiple = multiple_arg == Py_None ? kv::getattr(cls, s.MULTIPLE) : Ref::borrow(multiple_arg);
  Ref round = s.global(s.round);
  double v;
  long long m;
  if (round.get() == s.round_builtin.get() && kv::native_real(value, v) && kv::small_int(multiple, m) && m > 0)
    if (auto aligned = align_native(v, m, round_half_even)) return kv::integer(*aligned);
  return align_to_multiple(value, multiple, [&](Ref q) { return kv::call(round, q); });
}

const kv::Binding<round_to_multiple> round_binding{
    {kv::Way::ClassMethod, "TesselSizeCalculator.round_to_multiple", "四舍五入对齐到指定倍数，最小不低于倍数本身",
     "int"},
    {{"cls"}, {"value"}, {"multiple", nullptr, nullptr}},
};

Ref floor_to_multiple(State& s, PyObject* cls, PyObject* value, PyObject* multiple_arg) {
  Ref multiple = multiple_arg == Py_None ? kv::getattr(cls, s.MULTIPLE) : Ref::borrow(multiple_arg);
  Ref floor = kv::getattr(s.global(s.math), s.floor);
  double v;
  long long m;
  if (floor.get() == s.math_floor.get() && kv::native_real(value, v) && kv::small_int(multiple, m) && m > 0)
    if (auto aligned = align_native(v, m, floor_double)) return kv::integer(*aligned);
  return align_to_multiple(value, multiple, [&](Ref q) { return kv::call(floor, q); });
}

const kv::Binding<floor_to_multiple> floor_binding{
    {kv::Way::ClassMethod, "TesselSizeCalculator.floor_to_multiple", "向下对齐倍数，用于像素超限时压缩", "int"},
    {{"cls"}, {"value"}, {"multiple", nullptr, nullptr}},
};

// ---------------------------------------------------------------------------
// Validity, on Python objects

Ref is_valid_image_size(State& s, PyObject* cls, kv::Int width, kv::Int height) {
  Ref pixels = kv::multiply(width, height);
  Ref long_edge = kv::max2(width, height);
  Ref short_edge = kv::min2(width, height);
  Ref ratio = kv::true_divide(long_edge, short_edge);
  auto compare = [](kv::Borrowed a, kv::Borrowed b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); };
  auto divisible = [&](PyObject* side) {
    return compare(kv::remainder(side, kv::getattr(cls, s.MULTIPLE)), kv::integer(0), Py_EQ);
  };

  Ref edge_ok = compare(long_edge, kv::getattr(cls, s.MAX_EDGE), Py_LE);
  Ref width_ok = divisible(width);
  Ref height_ok = divisible(height);
  Ref ratio_ok = compare(ratio, kv::getattr(cls, s.MAX_RATIO), Py_LE);
  Ref pixels_ok = compare(kv::getattr(cls, s.MIN_PIXELS), pixels, Py_LE);
  if (kv::truthy(pixels_ok)) pixels_ok = compare(pixels, kv::getattr(cls, s.MAX_PIXELS), Py_LE);

  // `-> bool`: the truth of `a and b and ...`, as True or False.
  for (Ref* condition : {&edge_ok, &width_ok, &height_ok, &ratio_ok})
    if (!kv::truthy(*condition)) return kv::boolean(false);
  return kv::boolean(kv::truthy(pixels_ok));
}

const kv::Binding<is_valid_image_size> valid_binding{
    {kv::Way::ClassMethod, "TesselSizeCalculator.is_valid_image_size", "完整校验所有尺寸约束", "bool"},
    {{"cls"}, {"width", "int"}, {"height", "int"}},
};

// ---------------------------------------------------------------------------
// calc_size

// The native rendering runs no Python code: every class attribute it needs
// is peeked in the namespaces of the class's MRO, module attributes only on
// the math module as imported, and the preset only when its keys are exact
// str. When anything is not a plain native value it gives up, and since
// nothing it did could be seen, the exact rendering starts over from the
// parsed ratio and makes every read at its own point.

// The entry for `name` in the first namespace of cls's MRO that has one:
// what cls.name reads when the class's type is `type`, which has no
// attribute of these names, and the entry is no descriptor (ints, floats and
// dicts are none; the class methods are compared by identity, never called).
// Null when absent. Static built-in bases have no names of ours.
Ref peek(PyObject* cls, PyObject* name) {
  Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(cls)->tp_mro);
  if (!mro || !PyTuple_CheckExact(mro.get())) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    Ref entry = kv::item(mro, i);
    auto* base = reinterpret_cast<PyTypeObject*>(entry.get());
    if (!base->tp_dict) continue;
    if (Ref value = kv::dict_get(base->tp_dict, name)) return value;
  }
  return nullptr;
}

// The native rendering in two steps. The guard peeks everything the exact
// rendering would read, before any arithmetic, and admits only values under
// which no step below can leave exact native arithmetic, run Python code or
// raise: ratio parts in [1, 2**20], MAX_RATIO >= 1, MIN_PIXELS <= 2**24,
// MULTIPLE <= 2**16, the other limits below 2**31, and the shipped methods,
// round and the math functions. The loop then reads line by line as the exact one.
//
// Why the loop stays exact: the ratio lies in [2**-20, 2**20] (a clamp only
// lowers the steeper part, to at least the shorter one), so w and h start at
// most sqrt(2**31 * 2**20) < 2**26. Shrinking and the edge scale by less
// than 1, flooring gives at most max(MULTIPLE, w), and growing gives
// w'^2 = (w / w_align) * (w / h_align) * MIN_PIXELS <= 2 * 2**26 * 2**24, as
// w_align >= w / 2 and h_align >= 1. So w and h stay at most 2**26 and
// positive, the aligned pairs below 2**26 + 2**16, and every product and
// quotient is of integers below 2**53, which doubles hold exactly.
constexpr long long kPartLimit = 1LL << 20;
constexpr long long kMinPixelsLimit = 1LL << 24;
constexpr long long kMultipleLimit = 1LL << 16;
constexpr long long kLimit = 1LL << 31;

struct Limits {
  long long min_pixels, max_pixels, max_edge, multiple, target;
  double max_ratio;
};

struct NativeSize {
  long long width, height, pixels;
  bool valid;
};

bool peek_limit(PyObject* cls, PyObject* name, long long most, long long& out) {
  Ref value = peek(cls, name);
  return value && kv::small_int(value, out) && out > 0 && out <= most;
}

// Whether cls.name is the shipped class method.
bool peek_own(PyObject* cls, PyObject* name, PyObject* method) { return peek(cls, name).get() == method; }

// cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"]) as a
// native int, when the preset is a dict whose look-ups cannot call __eq__.
bool preset_target(State& s, PyObject* cls, PyObject* resolution, long long& target) {
  Ref preset = peek(cls, s.RESOLUTION_PRESET);
  if (!preset || !PyDict_CheckExact(preset.get())) return false;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  // raw-api: ok the keys are only type-tested, and nothing between the steps changes the dict
  while (PyDict_Next(preset, &position, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  // Exact str against exact str: neither look-up can fail or run code.
  // Python reads the "2k" fallback first, so a preset without it raises.
  Ref chosen = kv::dict_get(preset, s.two_k);
  if (!chosen) return false;
  if (resolution != s.two_k.get())
    if (Ref found = kv::dict_get(preset, resolution)) chosen = found;
  return kv::small_int(chosen, target);
}

// Whether round, the math module and its sqrt and floor are those imported.
// Reading attributes of anything else could run code; on a plain module, an
// attribute read finds what its namespace holds.
bool functions_as_imported(State& s) {
  if (s.global(s.round).get() != s.round_builtin.get()) return false;
  Ref math = s.global(s.math);
  if (math.get() != s.math_module.get() || !PyModule_CheckExact(math.get())) return false;
  Ref namespace_ = Ref::borrow(PyModule_GetDict(math));
  return kv::dict_get(namespace_, s.sqrt).get() == s.math_sqrt.get() &&
         kv::dict_get(namespace_, s.floor).get() == s.math_floor.get();
}

// The guard: the limits when the native rendering may run, else nothing.
std::optional<Limits> native_limits(State& s, PyObject* cls, long long rw, long long rh, PyObject* resolution,
                                    bool strict) {
  if (Py_TYPE(cls) != &PyType_Type || rw < 1 || rw > kPartLimit || rh < 1 || rh > kPartLimit) return {};
  Limits c;
  Ref max_ratio = peek(cls, s.MAX_RATIO);
  if (!max_ratio || !PyFloat_CheckExact(max_ratio.get())) return {};
  c.max_ratio = PyFloat_AS_DOUBLE(max_ratio.get());
  if (!(c.max_ratio >= 1)) return {};  // NaN too
  // A steep ratio in strict mode raises ServiceError, which is Python code.
  if (strict && static_cast<double>(std::max(rw, rh)) / static_cast<double>(std::min(rw, rh)) > c.max_ratio) return {};
  if (!preset_target(s, cls, resolution, c.target) || !peek_limit(cls, s.MIN_PIXELS, kMinPixelsLimit, c.min_pixels) ||
      !peek_limit(cls, s.MAX_PIXELS, kLimit - 1, c.max_pixels) ||
      !peek_limit(cls, s.MAX_EDGE, kLimit - 1, c.max_edge) || !peek_limit(cls, s.MULTIPLE, kMultipleLimit, c.multiple))
    return {};
  if (!peek_own(cls, s.round_to_multiple, s.round_method) || !peek_own(cls, s.floor_to_multiple, s.floor_method) ||
      !peek_own(cls, s.is_valid_image_size, s.valid_method) || !functions_as_imported(s))
    return {};
  return c;
}

bool valid_native(const Limits& c, long long width, long long height) {
  const long long pixels = width * height;
  const long long long_edge = std::max(width, height), short_edge = std::min(width, height);
  // Only a final pair truncated from below 1 has a zero side: Python's
  // ZeroDivisionError, raised by the same division.
  if (short_edge == 0) kv::true_divide(kv::integer(long_edge), kv::integer(short_edge));
  const double ratio = static_cast<double>(long_edge) / static_cast<double>(short_edge);
  return long_edge <= c.max_edge && width % c.multiple == 0 && height % c.multiple == 0 && ratio <= c.max_ratio &&
         c.min_pixels <= pixels && pixels <= c.max_pixels;
}

// calc_exact on doubles and ints, step for step.
NativeSize calc_native(const Limits& c, long long rw, long long rh) {
  double ratio = static_cast<double>(rw) / static_cast<double>(rh);
  const long long long_r = std::max(rw, rh), short_r = std::min(rw, rh);
  if (static_cast<double>(long_r) / static_cast<double>(short_r) > c.max_ratio) {
    const auto clamped = static_cast<long long>(c.max_ratio * static_cast<double>(short_r));
    if (rw >= rh) {
      rw = clamped;
      rh = short_r;
    } else {
      rw = short_r;
      rh = clamped;
    }
    ratio = static_cast<double>(rw) / static_cast<double>(rh);
  }

  const long long target = std::max(c.min_pixels, std::min(c.target, c.max_pixels));
  double w = std::sqrt(static_cast<double>(target) * ratio);
  double h = w / ratio;
  auto rescale = [&](double scale) {
    w *= scale;
    h *= scale;
  };
  // cls.round_to_multiple(x) and cls.floor_to_multiple(x), which the guard's
  // bounds keep exact.
  auto aligned = [&](double x, double (*align)(double)) { return *align_native(x, c.multiple, align); };

  for (int i = 0; i < kMaxLoop; ++i) {
    const long long w_align = aligned(w, round_half_even);
    const long long h_align = aligned(h, round_half_even);
    const long long current = w_align * h_align;
    if (valid_native(c, w_align, h_align)) {
      w = static_cast<double>(w_align);
      h = static_cast<double>(h_align);
      break;
    }
    if (current > c.max_pixels) {
      rescale(std::sqrt(static_cast<double>(c.max_pixels) / static_cast<double>(current)) * kShrink);
      continue;
    }
    const double long_e = std::max(w, h);
    if (long_e > static_cast<double>(c.max_edge)) {
      rescale(static_cast<double>(c.max_edge) / long_e);
      continue;
    }
    if (current < c.min_pixels) {
      rescale(std::sqrt(static_cast<double>(c.min_pixels) / static_cast<double>(current)));
      continue;
    }
    w = static_cast<double>(aligned(w, floor_double));
    h = static_cast<double>(aligned(h, floor_double));
  }

  NativeSize size;
  size.width = static_cast<long long>(w);
  size.height = static_cast<long long>(h);
  size.pixels = size.width * size.height;
  size.valid = valid_native(c, size.width, size.height);
  return size;
}

kv::Result result_dict(State& s, const kv::Borrowed (&values)[7]);

kv::Result calc_exact(State& s, PyObject* cls, Ref rw, Ref rh, PyObject* aspect_ratio, PyObject* resolution,
                      bool strict) {
  Ref ratio = kv::true_divide(rw, rh);
  Ref long_r = kv::max2(rw, rh);
  Ref short_r = kv::min2(rw, rh);
  Ref steepness = kv::true_divide(long_r, short_r);
  if (kv::greater(steepness, kv::getattr(cls, s.MAX_RATIO))) {
    if (strict) {
      Ref error = kv::call_kw(s.global(s.ServiceError), s.aspect_ratio_keyword, s.strict_message, aspect_ratio);
      return kv::fail_with(error);
    }
    Ref clamped = kv::to_int(kv::multiply(kv::getattr(cls, s.MAX_RATIO), short_r));
    if (kv::check(PyObject_RichCompareBool(rw, rh, Py_GE))) {
      rw = clamped;
      rh = short_r;
    } else {
      rw = short_r;
      rh = clamped;
    }
    ratio = kv::true_divide(rw, rh);
  }

  // cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"]),
  // in Python's order: the method first, then its arguments.
  kv::Method get = kv::method(kv::getattr(cls, s.RESOLUTION_PRESET).get(), s.get);
  Ref fallback = kv::getitem(kv::getattr(cls, s.RESOLUTION_PRESET), s.two_k);
  Ref target = get(resolution, fallback);
  Ref min_pixels = kv::getattr(cls, s.MIN_PIXELS);
  target = kv::max2(min_pixels, kv::min2(target, kv::getattr(cls, s.MAX_PIXELS)));

  // math.sqrt is looked up before its argument is computed.
  auto math_sqrt = [&] { return kv::getattr(s.global(s.math), s.sqrt); };
  Ref sqrt = math_sqrt();
  Ref w = kv::call(sqrt, kv::multiply(target, ratio));
  Ref h = kv::true_divide(w, ratio);
  auto rescale = [&](kv::Borrowed scale) {  // w *= scale: a __imul__ of w's own runs
    w = kv::imultiply(w, scale);
    h = kv::imultiply(h, scale);
  };

  for (int i = 0; i < kMaxLoop; ++i) {
    Ref w_align = kv::call_method(cls, s.round_to_multiple, w);
    Ref h_align = kv::call_method(cls, s.round_to_multiple, h);
    Ref current = kv::multiply(w_align, h_align);
    if (kv::truthy(kv::call_method(cls, s.is_valid_image_size, w_align, h_align))) {
      w = w_align;
      h = h_align;
      break;
    }
    if (kv::greater(current, kv::getattr(cls, s.MAX_PIXELS))) {
      sqrt = math_sqrt();
      Ref root = kv::call(sqrt, kv::true_divide(kv::getattr(cls, s.MAX_PIXELS), current));
      rescale(kv::multiply(root, s.shrink));
      continue;
    }
    Ref long_e = kv::max2(w, h);
    if (kv::greater(long_e, kv::getattr(cls, s.MAX_EDGE))) {
      rescale(kv::true_divide(kv::getattr(cls, s.MAX_EDGE), long_e));
      continue;
    }
    if (kv::less(current, kv::getattr(cls, s.MIN_PIXELS))) {
      sqrt = math_sqrt();
      rescale(kv::call(sqrt, kv::true_divide(kv::getattr(cls, s.MIN_PIXELS), current)));
      continue;
    }
    w = kv::call_method(cls, s.floor_to_multiple, w);
    h = kv::call_method(cls, s.floor_to_multiple, h);
  }

  Ref width = kv::to_int(w);
  Ref height = kv::to_int(h);
  Ref pixels = kv::multiply(width, height);
  Ref valid = kv::call_method(cls, s.is_valid_image_size, width, height);
  Ref text = Ref::steal(PyUnicode_FromFormat("%Sx%S", width.get(), height.get()));
  return result_dict(s, {width, height, text, pixels, aspect_ratio, resolution, valid});
}

// int() of an ASCII piece of the plain form [blanks][sign]digits[blanks].
// False for anything else (underscores, other digits or blanks, no digits,
// overflow), which the general conversion then handles.
bool plain_int(const char* p, const char* end, long long& out) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (p < end && blank(*p)) ++p;
  while (end > p && blank(end[-1])) --end;
  bool negative = p < end && (*p == '-' || *p == '+') && *p++ == '-';
  if (p == end || end - p > 18) return false;
  long long value = 0;
  for (; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
  }
  out = negative ? -value : value;
  return true;
}

// The parts of an ASCII word "w:h" whose pieces plain_int reads.
bool parse_native(PyObject* aspect_ratio, long long& w, long long& h) {
  if (!PyUnicode_IS_ASCII(aspect_ratio)) return false;
  const char* text = reinterpret_cast<const char*>(PyUnicode_DATA(aspect_ratio));
  const char* end = text + PyUnicode_GET_LENGTH(aspect_ratio);
  const char* colon = std::find(text, end, ':');
  return colon != end && std::find(colon + 1, end, ':') == end && plain_int(text, colon, w) &&
         plain_int(colon + 1, end, h);
}

// `rw, rh = map(int, word.split(":"))`: each piece is converted as it is
// unpacked, so a bad third piece fails in int() before the count does. False
// when that raised, with the exception pending.
bool parse_ratio_word(State& s, PyObject* aspect_ratio, Ref& rw, Ref& rh) {
  Ref pieces = Ref::steal(PyUnicode_Split(aspect_ratio, s.colon, -1));
  Py_ssize_t n = PyList_GET_SIZE(pieces.get());
  Ref parts[2];
  for (Py_ssize_t i = 0; i < n && i < 3; ++i) {
    Ref part = Ref::steal_or_null(PyLong_FromUnicodeObject(kv::item(pieces, i).get(), 10));
    if (!part) return false;
    if (i < 2) parts[i] = part;
  }
  if (n != 2) return kv::unpack_error(n), false;
  rw = parts[0];
  rh = parts[1];
  return true;
}

// `word == "" or word.lower() == "auto"`; on ASCII text lower() only folds
// A-Z, so such words are compared without making the lower-cased copy.
bool is_square_word(State& s, PyObject* word) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(word);
  if (n == 0) return true;
  if (!PyUnicode_IS_ASCII(word)) return kv::equal(kv::lower(word), s.auto_);
  if (n != 4) return false;
  const char* text = reinterpret_cast<const char*>(PyUnicode_DATA(word));
  for (int i = 0; i < 4; ++i)
    if ((text[i] | 0x20) != "auto"[i]) return false;
  return true;
}

kv::Result result_dict(State& s, const kv::Borrowed (&values)[7]) {
  Ref result = Ref::steal(_PyDict_NewPresized(7));
  for (Py_ssize_t i = 0; i < 7; ++i) kv::check(PyDict_SetItem(result, kv::item(s.keys, i).get(), values[i]));
  return result;
}

kv::Result calc_size(State& s, PyObject* cls, kv::Str aspect_ratio, kv::Str resolution_arg, bool strict_arg) {
  const bool strict = strict_arg;
  Ref resolution = kv::lower(resolution_arg);

  long long w_part = 1, h_part = 1;
  Ref rw, rh;
  bool small = is_square_word(s, aspect_ratio) || parse_native(aspect_ratio, w_part, h_part);
  if (!small) {
    if (!parse_ratio_word(s, aspect_ratio, rw, rh)) return kv::Raised{};
    small = kv::small_int(rw, w_part) && kv::small_int(rh, h_part);
  }
  if (small) {
    if (auto limits = native_limits(s, cls, w_part, h_part, resolution, strict)) {
      const NativeSize native = calc_native(*limits, w_part, h_part);
      Ref width = kv::integer(native.width), height = kv::integer(native.height);
      Ref pixels = kv::integer(native.pixels), text = kv::pair_text(native.width, 'x', native.height);
      return result_dict(s, {width, height, text, pixels, aspect_ratio, resolution, kv::boolean(native.valid)});
    }
    if (!rw) {
      rw = kv::integer(w_part);
      rh = kv::integer(h_part);
    }
  }
  return calc_exact(s, cls, rw, rh, aspect_ratio, resolution, strict);
}

const kv::Binding<calc_size> calc_binding{
    {kv::Way::ClassMethod, "TesselSizeCalculator.calc_size", R"(
        计算图像生成服务应请求的输出尺寸。

        先按目标像素数与宽高比求出理想的实数宽高，再在至多 20 次迭代内
        寻找满足全部约束的对齐整数宽高：像素超上限时按比例缩小，
        长边超限时缩放到 MAX_EDGE，像素不足时放大，否则向下对齐。

        Args:
            aspect_ratio: 宽高比，如 "16:9"；"auto"（不区分大小写）或空字符串按 1:1 处理
            resolution: 分辨率档位 "1k" / "2k" / "4k"，不区分大小写；未知档位按 "2k" 处理
            strict: 为真时，宽高比超过 MAX_RATIO 则抛出 ServiceError；否则收敛到 MAX_RATIO

        Returns:
            dict: width、height、size（"宽x高"）、pixels、aspect_ratio（原样）、
            resolution（小写）以及 valid（返回的宽高是否满足全部约束）
        )"},
    {{"cls"}, {"aspect_ratio", "str", "1:1"}, {"resolution", "str", "2k"}, {"strict", "bool", false}},
};

Ref init(State&, PyObject*) { return kv::none(); }

const kv::Binding<init> init_binding{
    {kv::Way::Method, "TesselSizeCalculator.__init__"},
    {{"self"}},
};

// ---------------------------------------------------------------------------
// The module

const char kClassDoc[] = R"(
    图像生成服务输出尺寸计算器。

    根据用户选择的宽高比（如 "16:9"、"auto"）与分辨率档位（"1k"、"2k"、"4k"），
    计算图像生成服务可接受的输出宽度与高度。合法尺寸须同时满足：
    长边不超过 MAX_EDGE，宽高均为 MULTIPLE 的倍数，长短边之比不超过 MAX_RATIO，
    像素总数介于 MIN_PIXELS 与 MAX_PIXELS 之间（含两端）。
    所有常量与对齐、校验方法均在使用时通过 cls 读取，子类可覆盖。
    )";

void populate(PyObject* module, State& s) {
  s.math_module = kv::import("math");
  kv::add_global(module, "math", s.math_module);
  s.math_sqrt = kv::getattr(s.math_module, s.sqrt);
  s.math_floor = kv::getattr(s.math_module, s.floor);
  kv::add_global(module, "ServiceError", kv::import_from_svcfault("ServiceError"));
  s.round_builtin = kv::import_from(nullptr, "builtins", "round");

  // Interned keys, as a class body's literals are: "2k" is then found by identity.
  Ref preset = kv::new_dict();
  for (auto [tier, pixels] : {std::pair{"1k", 1572516}, {"2k", 6553600}, {"4k", 8294400}})
    kv::setitem(preset, kv::intern(tier), kv::integer(pixels));
  Ref calculator = kv::make_class(module, "TesselSizeCalculator", kClassDoc,
                                  {
                                      {"MIN_PIXELS", kv::integer(655360)},
                                      {"MAX_PIXELS", kv::integer(8294400)},
                                      {"MAX_EDGE", kv::integer(3840)},
                                      {"MULTIPLE", kv::integer(2)},
                                      {"MAX_RATIO", kv::floating(3.0)},
                                      {"RESOLUTION_PRESET", preset},
                                  },
                                  {init_binding, round_binding, floor_binding, valid_binding, calc_binding});
  s.round_method = kv::own_member(calculator, "round_to_multiple");
  s.floor_method = kv::own_member(calculator, "floor_to_multiple");
  s.valid_method = kv::own_member(calculator, "is_valid_image_size");
  kv::add_global(module, "TesselSizeCalculator", calculator);
}

}  // namespace

KV_MODULE(tessel, State, populate, "Output sizes that an image-generation service accepts.")
