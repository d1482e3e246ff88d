// kavira.aspectra: the exact and the approximate simple aspect ratio of an
// encoded image. Only the image's size is read; pixels are never decoded.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "kavira/runtime.hpp"
#include "text.hpp"

namespace {

using kv::Ref;

struct State : kv::ModuleState {
  kv::Name BytesIO{this, "BytesIO"}, Image{this, "Image"}, open{this, "open"}, size{this, "size"}, gcd{this, "_gcd"};
  kv::Name approx_search_range{this, "approx_search_range"};
  kv::Held one{this, kv::integer(1)};
  kv::Held infinity{this, kv::floating(std::numeric_limits<double>::infinity())};
};

// Searches longer than this many tried pairs let other threads run meanwhile.
constexpr long long kReleaseGilPairs = 1LL << 20;

Ref init(State& s, PyObject* self, kv::Int approx_search_range) {
  kv::setattr(self, s.approx_search_range, approx_search_range);
  return kv::none();
}

// Euclid with the floored remainder: the result takes the sign the remainder
// rules give, so _gcd(4, -6) is -2.
Ref gcd(State&, kv::Int a, kv::Int b) {
  int overflow_a = 0, overflow_b = 0;
  long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
  long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
  if (!overflow_a && !overflow_b && x != LLONG_MIN && y != LLONG_MIN) {
    while (y != 0) {
      long long r = x % y;
      if (r != 0 && ((r < 0) != (y < 0))) r += y;
      x = y;
      y = r;
    }
    return kv::integer(x);
  }
  Ref p = Ref::borrow(a), q = Ref::borrow(b);
  while (kv::truthy(q)) {
    Ref r = kv::remainder(p, q);
    p = q;
    q = r;
  }
  return p;
}

// with BytesIO(image_bytes) as buf:
//     with Image.open(buf) as img:
//         width, height = img.size
std::pair<Ref, Ref> image_size(State& s, PyObject* image_bytes) {
  Ref width, height;
  Ref stream = kv::call(s.global(s.BytesIO), image_bytes);
  kv::with(stream, [&](PyObject* buf) {
    Ref image = kv::call_method(s.global(s.Image), s.open, buf);
    kv::with(image, [&](PyObject* img) { std::tie(width, height) = kv::unpack2(kv::getattr(img, s.size)); });
  });
  // An __exit__ that swallowed the error leaves the names unbound.
  if (!width)
    kv::raise(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
              "width");
  return {width, height};
}

Ref get_raw_simple_ratio(State& s, PyObject* self, kv::Bytes image_bytes) {
  auto [width, height] = image_size(s, image_bytes);
  Ref div = kv::call_method(self, s.gcd, width, height);
  Ref w = kv::floor_divide(width, div);
  Ref h = kv::floor_divide(height, div);
  return kv::ratio_text(w, h);
}

struct Search {
  double target;
  long long limit;
  double min_error = std::numeric_limits<double>::infinity();
  long long w = 0, h = 0;
  bool found = false;
};

// The first strict minimum of the error over the rows w of one column h;
// w == 0 when no error there is below infinity.
struct Best {
  double error = std::numeric_limits<double>::infinity();
  long long w = 0;
};

// The pair visited first among those of least error is the least (error, w, h),
// so bests found out of visit order merge in any order.
void offer(Search& search, double error, long long w, long long h) {
  if (error < search.min_error || (error == search.min_error && (w < search.w || (w == search.w && h < search.h)))) {
    search.min_error = error;
    search.w = w;
    search.h = h;
    search.found = true;
  }
}

// Why a column needs only a few rows: for a fixed h, w/h rounds monotonically
// in w and so does w/h - target, so the signed distance d(w) never decreases
// and the error |d(w)| falls while d <= 0 and rises while d >= 0. If rows
// [lo, hi] have d(lo) <= 0 with |d(lo)| above their least error, every w < lo
// is strictly worse; if d(hi) >= 0, no w > hi is better, and it comes later.
// Rows start at floor(target * h) - 1 .. + 1, where that holds but in rare
// roundings, and widen until it holds or they reach the ends: the result is
// the column's own first strict minimum, in the same arithmetic.

template <int N>
struct Vectors;
template <>
struct Vectors<2> {
  typedef double F __attribute__((vector_size(16)));
  typedef long long M __attribute__((vector_size(16)));
};
template <>
struct Vectors<4> {
  typedef double F __attribute__((vector_size(32)));
  typedef long long M __attribute__((vector_size(32)));
};

// The search on N lanes of doubles. Everything is inlined into one function
// per instruction set; no vector is passed by value, whose ABI would differ.
template <int N>
struct Kernel {
  using F = typename Vectors<N>::F;
  using M = typename Vectors<N>::M;
  static constexpr double kInfinity = std::numeric_limits<double>::infinity();
  static constexpr long long kMagnitude = 0x7fffffffffffffffLL;  // all bits but the sign
  static constexpr double kRound = 0x1.8p52;

  // Rows [a, b] of column h, a <= b; long runs a lane per row.
  [[gnu::always_inline]] static Best rows(double target, long long h, long long a, long long b) {
    Best best;
    const double height = static_cast<double>(h);
    long long w = a;
    if (b - a + 1 >= 2 * N) {
      F error = F{} + kInfinity, at = F{}, row = F{};
      for (int k = 0; k < N; ++k) row[k] = static_cast<double>(a + k);
      for (; w + (N - 1) <= b; w += N, row += static_cast<double>(N)) {
        const F e = (F)((M)(row / height - target) & kMagnitude);
        const M less = e < error;
        error = less ? e : error;
        at = less ? row : at;
      }
      // Each lane holds its own first minimum: the least row wins ties between lanes.
      for (int k = 0; k < N; ++k)
        if (at[k] > 0 && (error[k] < best.error || (error[k] == best.error && at[k] < best.w)))
          best = {error[k], static_cast<long long>(at[k])};
    }
    for (; w <= b; ++w) {
      const double e = std::fabs(static_cast<double>(w) / height - target);
      if (e < best.error) best = {e, w};
    }
    return best;
  }

  // Column h alone, from the window at target * h, widened downwards until it
  // clears the rest. Upwards it always does: unless it ends at the limit, hi
  // is floor(fl(target * h)) + 1 or more, above target * h, since the floor
  // of the exact product is an integer at most the product and so at most its
  // rounding; then hi / h rounds to target or above, and d(hi) >= 0.
  [[gnu::always_inline]] static Best column(double target, long long limit, long long h, long long& pairs) {
    const double height = static_cast<double>(h);
    const double centre = target * height;
    const double top = static_cast<double>(limit);
    const double start = centre > 0 ? (centre < top ? centre : top) : 0;
    long long lo = std::max(1LL, std::min(static_cast<long long>(start) - 1, limit - 2));
    const long long hi = std::min(limit, lo + 2);
    Best best = rows(target, h, lo, hi);
    pairs += hi - lo + 1;
    for (long long step = 8; lo > 1; step *= 2) {
      const double low = static_cast<double>(lo) / height - target;
      if (low <= 0 && std::fabs(low) > best.error) break;
      const long long a = std::max(1LL, lo - step);
      const Best more = rows(target, h, a, lo - 1);
      if (more.w != 0 && more.error <= best.error) best = more;  // earlier rows win ties
      pairs += lo - a;
      lo = a;
    }
    return best;
  }

  // Columns from `first` on, a lane per column, until about `budget` pairs
  // are tried; returns the next column.
  [[gnu::always_inline]] static long long columns(Search& search, long long first, long long budget) {
    const double target = search.target;
    const long long limit = search.limit;
    long long h = first, pairs = 0;
    if (limit >= 3) {  // a lane's window is three rows
      const double top = static_cast<double>(limit);
      F best_error = F{} + kInfinity, best_w = F{}, best_h = F{}, heights = F{};
      for (int k = 0; k < N; ++k) heights[k] = static_cast<double>(h + k);
      while (h + (N - 1) <= limit && pairs < budget) {
        // The common case alone in this loop, so that its vectors stay in registers.
        for (; h + (N - 1) <= limit && pairs < budget; h += N, pairs += 3 * N, heights += static_cast<double>(N)) {
          // floor(target * h) - 1, kept inside [1, limit - 2]: rounding
          // centre - 0.5 to an integer, by adding and taking away 1.5 * 2^52,
          // gives the floor, or one less when centre is an integer.
          F centre = target * heights;
          centre = centre > 2.25 ? centre : 2.25;
          centre = centre < top - 0.75 ? centre : top - 0.75;
          const F lo = ((centre - 0.5) + kRound) - (kRound + 1.0);
          const F d0 = lo / heights - target, d1 = (lo + 1.0) / heights - target, d2 = (lo + 2.0) / heights - target;
          const F e0 = (F)((M)d0 & kMagnitude), e1 = (F)((M)d1 & kMagnitude), e2 = (F)((M)d2 & kMagnitude);
          // The target is finite, so every error is.
          F error = e0, w = lo;
          M less = e1 < error;
          error = less ? e1 : error;
          w = less ? lo + 1.0 : w;
          less = e2 < error;
          error = less ? e2 : error;
          w = less ? lo + 2.0 : w;
          // d0 < -error is d0 <= 0 with |d0| > error, as error >= 0.
          const M clear = ((lo == 1.0) | (d0 < -error)) & ((lo == top - 2.0) | (d2 >= 0.0));
          long long all = clear[0];
          for (int k = 1; k < N; ++k) all &= clear[k];
          if (!all) break;
          const M take = (error < best_error) | ((error == best_error) & (w < best_w));
          best_error = take ? error : best_error;
          best_w = take ? w : best_w;
          best_h = take ? heights : best_h;
        }
        if (h + (N - 1) > limit || pairs >= budget) break;
        // A window did not clear its column: these columns one by one.
        for (int k = 0; k < N; ++k) {
          const Best own = column(target, limit, h + k, pairs);
          if (own.w != 0) offer(search, own.error, own.w, h + k);
        }
        h += N;
        heights += static_cast<double>(N);
      }
      for (int k = 0; k < N; ++k)
        if (best_w[k] > 0)
          offer(search, best_error[k], static_cast<long long>(best_w[k]), static_cast<long long>(best_h[k]));
    }
    if (limit < 3 || h + (N - 1) > limit) {  // fewer columns left than lanes
      for (; h <= limit; ++h) {
        const Best own = column(target, limit, h, pairs);
        if (own.w != 0) offer(search, own.error, own.w, h);
      }
    }
    return h;
  }
};

long long columns_portable(Search& search, long long first, long long budget) {
  return Kernel<2>::columns(search, first, budget);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] long long columns_avx2(Search& search, long long first, long long budget) {
  return Kernel<4>::columns(search, first, budget);
}
#endif

// KAVIRA_NO_AVX2 set and not empty keeps to the portable lanes, so that they
// can be tested on a machine that has AVX2.
using Columns = long long (*)(Search&, long long, long long);
Columns pick_columns() {
#if defined(__x86_64__) || defined(__i386__)
  const char* off = std::getenv("KAVIRA_NO_AVX2");
  __builtin_cpu_init();
  if (!(off && *off) && __builtin_cpu_supports("avx2")) return columns_avx2;
#endif
  return columns_portable;
}
const Columns search_columns = pick_columns();

// The whole search in chunks of about kReleaseGilPairs tried pairs: long ones
// run without the GIL, and signals are checked between chunks so that Ctrl-C
// and alarms still work. Short ones keep the GIL: handing it over could cost
// more than they take.
void search_native(Search& search) {
  // A NaN target makes every error NaN and an infinite one every error
  // infinite: none is below the first minimum, infinity, so none is found.
  // The lanes count on finite errors.
  if (!std::isfinite(search.target)) return;
  long long next = 1;
  if (search.limit <= kReleaseGilPairs) next = search_columns(search, 1, kReleaseGilPairs);
  while (next <= search.limit) {
    PyThreadState* thread = PyEval_SaveThread();
    next = search_columns(search, next, kReleaseGilPairs);
    PyEval_RestoreThread(thread);
    kv::check_signals();
  }
}

Ref get_approx_simple_ratio(State& s, PyObject* self, kv::Bytes image_bytes) {
  auto [width, height] = image_size(s, image_bytes);
  Ref target = kv::true_divide(width, height);
  Ref limit = kv::getattr(self, s.approx_search_range);
  // range(1, limit + 1) admits integers only.
  Ref stop = Ref::steal(PyNumber_Index(kv::add(limit, s.one).get()));

  int overflow = 0;
  const long long stop_value = PyLong_AsLongLongAndOverflow(stop, &overflow);
  if (overflow < 0 || (!overflow && stop_value <= 1)) return kv::ratio_text(width, height);  // no pairs to try
  const long long last = stop_value - 1;
  if (PyFloat_CheckExact(target.get()) && !overflow && last < (1LL << 31)) {
    Search search{PyFloat_AS_DOUBLE(target.get()), last};
    search_native(search);
    if (!search.found) return kv::ratio_text(width, height);
    return kv::ratio_text(kv::integer(search.w), kv::integer(search.h));
  }

  // Targets or limits native arithmetic cannot mirror: the same loops on objects.
  Ref min_error = s.infinity;
  Ref best_w = width, best_h = height;
  Ref range = Ref::steal(
      PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyRange_Type), s.one.get(), stop.get(), nullptr));
  Ref outer = kv::iterate(range);
  while (Ref i = kv::next(outer)) {
    kv::check_signals();
    Ref inner = kv::iterate(range);
    while (Ref j = kv::next(inner)) {
      Ref error = kv::absolute(kv::subtract(kv::true_divide(i, j), target));
      if (kv::less(error, min_error)) {
        min_error = error;
        best_w = i;
        best_h = j;
      }
    }
  }
  return kv::ratio_text(best_w, best_h);
}

const kv::Spec<init> init_spec{
    .qualname = "ImageAspectra.__init__",
    .doc =
        "\n        图片比例分析类"
        "\n        :param approx_search_range: 近似比例搜索整数范围，默认1~10"
        "\n        ",
    .params = {{"self"}, {"approx_search_range", "int"}},
};

const kv::Spec<gcd> gcd_spec{
    .qualname = "ImageAspectra._gcd",
    .doc = "计算最大公约数",
    .params = {{"a", "int"}, {"b", "int"}},
    .returns = "int",
};

const kv::Spec<get_raw_simple_ratio> raw_spec{
    .qualname = "ImageAspectra.get_raw_simple_ratio",
    .doc =
        "\n        获取图片真实最简宽高比，不做近似。"
        "\n"
        "\n        Args:"
        "\n            image_bytes: 图片二进制数据"
        "\n"
        "\n        Returns:"
        "\n            最简比例字符串，如 \"16:9\""
        "\n        ",
    .params = {{"self"}, {"image_bytes", "bytes"}},
    .returns = "str",
};

const kv::Spec<get_approx_simple_ratio> approx_spec{
    .qualname = "ImageAspectra.get_approx_simple_ratio",
    .doc =
        "\n        自动拟合近似简单整数比例，无预设标准比例池。"
        "\n"
        "\n        遍历 1~approx_search_range 范围内的整数组合，"
        "\n        找到与图片实际比例最接近的简单整数比。"
        "\n"
        "\n        Args:"
        "\n            image_bytes: 图片二进制数据"
        "\n"
        "\n        Returns:"
        "\n            近似比例字符串，如 \"2:3\"、\"16:9\""
        "\n        ",
    .params = {{"self"}, {"image_bytes", "bytes"}},
    .returns = "str",
};

const char kClassDoc[] =
    "\n    图片比例分析工具。"
    "\n"
    "\n    提供两种比例获取方式："
    "\n    - get_raw_simple_ratio: 获取图片真实最简宽高比（精确值）"
    "\n    - get_approx_simple_ratio: 自动拟合近似简单整数比例（如 2:3、16:9）"
    "\n    ";

void populate(PyObject* module, State&) {
  kv::add_global(module, "BytesIO", kv::import_from(nullptr, "io", "BytesIO"));
  kv::add_global(module, "Image", kv::import_from(nullptr, "PIL", "Image"));
  Ref aspectra = kv::make_class(module, "ImageAspectra", kClassDoc,
                                {
                                    {"__init__", kv::make_function(module, init_spec, kv::tuple(kv::integer(10)))},
                                    {"_gcd", kv::static_method(kv::make_function(module, gcd_spec))},
                                    {"get_raw_simple_ratio", kv::make_function(module, raw_spec)},
                                    {"get_approx_simple_ratio", kv::make_function(module, approx_spec)},
                                });
  kv::add_global(module, "ImageAspectra", aspectra);
}

using Definition = kv::ModuleDefinition<State, populate>;

}  // namespace

PyMODINIT_FUNC PyInit_aspectra() {
  return Definition::init("kavira.aspectra", "Exact and approximate simple aspect ratios of encoded images.");
}
