// kavira.aspectra: the exact and the approximate simple aspect ratio of an
// encoded image. Only the image's size is read; pixels are never decoded.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <utility>

#include "kavira/runtime.hpp"
#include "kavira/text.hpp"

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
// Object-loop pairs between signal checks: well under a millisecond.
constexpr unsigned kObjectPairsPerCheck = 1024;
// How long the object loop holds the GIL before it hands it over. A waiting
// thread asks for the GIL only once the holder has kept it for a whole switch
// interval (5 ms by default); a hand-over every few pairs would restart that
// wait each time and starve it, so hand over only after twice as long.
constexpr auto kHoldGil = std::chrono::milliseconds(10);

Ref init(State& s, PyObject* self, kv::Int approx_search_range) {
  kv::setattr(self, s.approx_search_range, approx_search_range);
  return kv::none();
}

const kv::Binding<init> init_binding{
    {kv::Way::Method, "ImageAspectra.__init__", R"(
        图片比例分析类
        :param approx_search_range: 近似比例搜索整数范围，默认1~10
        )"},
    {{"self"}, {"approx_search_range", "int", 10}},
};

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
      x = std::exchange(y, r);
    }
    return kv::integer(x);
  }
  Ref p = Ref::borrow(a), q = Ref::borrow(b);
  while (kv::truthy(q)) p = std::exchange(q, kv::remainder(p, q));  // a, b = b, a % b
  return p;
}

const kv::Binding<gcd> gcd_binding{
    {kv::Way::StaticMethod, "ImageAspectra._gcd", "计算最大公约数", "int"},
    {{"a", "int"}, {"b", "int"}},
};

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

const kv::Binding<get_raw_simple_ratio> raw_binding{
    {kv::Way::Method, "ImageAspectra.get_raw_simple_ratio",
     R"(
        获取图片真实最简宽高比，不做近似。

        Args:
            image_bytes: 图片二进制数据

        Returns:
            最简比例字符串，如 "16:9"
        )",
     "str"},
    {{"self"}, {"image_bytes", "bytes"}},
};

struct Search {
  double target;
  long long limit;
  double min_error = std::numeric_limits<double>::infinity();
  long long w = 0, h = 0;  // w == 0 until a pair is found
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

// Rows [a, b] of column h, a <= b.
Best rows(double target, long long h, long long a, long long b) {
  Best best;
  const double height = static_cast<double>(h);
  for (long long w = a; w <= b; ++w) {
    const double e = std::fabs(static_cast<double>(w) / height - target);
    if (e < best.error) best = {e, w};
  }
  return best;
}

// Widens column h's window [lo, lo + 2] downwards until it clears the
// rows below it. Upwards it always does: unless it ends at the limit, its
// top is floor(fl(target * h)) + 1 or more, above target * h, since the
// floor of the exact product is an integer at most the product and so at
// most its rounding; then that row / h rounds to target or above.
Best widen(double target, long long h, long long lo, Best best, long long& pairs) {
  const double height = static_cast<double>(h);
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

// Columns are taken kBlock at a time: their windows' errors come from plain
// loops the compiler can vectorise, and only the few windows that do not
// clear the rows below them widen one by one.
constexpr long long kBlock = 64;

// Columns from `first` on until about kReleaseGilPairs pairs are tried;
// returns the next column. The limit is below 2**31, so rows fit an int.
long long search_columns(Search& search, long long first) {
  const double target = search.target, top = static_cast<double>(search.limit);
  const int floor_row = static_cast<int>(std::max(1LL, search.limit - 2));
  long long h = first, pairs = 0;
  if (search.limit < 3) {  // windows narrower than three rows
    for (; h <= search.limit && pairs < kReleaseGilPairs; ++h) {
      const Best own = rows(target, h, 1, search.limit);
      pairs += search.limit;
      if (own.w != 0) offer(search, own.error, own.w, h);
    }
    return h;
  }
  int lo[kBlock];
  double below[kBlock], middle[kBlock], above[kBlock];
  while (h <= search.limit && pairs < kReleaseGilPairs) {
    const int n = static_cast<int>(std::min(kBlock, search.limit - h + 1));
    for (int i = 0; i < n; ++i) {
      const double height = static_cast<double>(h + i);
      const double centre = target * height;
      const double start = centre > 0 ? (centre < top ? centre : top) : 0;
      const int row = std::max(1, std::min(static_cast<int>(start) - 1, floor_row));
      const double w = static_cast<double>(row);
      lo[i] = row;
      below[i] = w / height - target;  // signed: whether the rows under it can be better
      middle[i] = std::fabs((w + 1) / height - target);
      above[i] = std::fabs((w + 2) / height - target);
    }
    for (int i = 0; i < n; ++i) {
      Best best{std::fabs(below[i]), lo[i]};
      if (!(best.error < std::numeric_limits<double>::infinity())) best = {};
      if (middle[i] < best.error) best = {middle[i], lo[i] + 1LL};
      if (above[i] < best.error) best = {above[i], lo[i] + 2LL};
      pairs += 3;
      if (lo[i] > 1 && !(below[i] <= 0 && std::fabs(below[i]) > best.error))
        best = widen(target, h + i, lo[i], best, pairs);
      if (best.w != 0) offer(search, best.error, best.w, h + i);
    }
    h += n;
  }
  return h;
}

// The whole search in chunks of about kReleaseGilPairs tried pairs: long ones
// run without the GIL, and signals are checked between chunks so that Ctrl-C
// and alarms still work. Short ones keep the GIL: handing it over could cost
// more than they take.
void search_native(Search& search) {
  // A NaN target makes every error NaN and an infinite one every error
  // infinite: none is below the first minimum, infinity, so none is found.
  if (!std::isfinite(search.target)) return;
  long long next = 1;
  if (search.limit <= kReleaseGilPairs) next = search_columns(search, 1);
  while (next <= search.limit) {
    {
      kv::WithoutGil unlocked;
      next = search_columns(search, next);
    }
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
  // The loops evaluate limit + 1 again for every row, which only an exact int answers without running code.
  if (PyFloat_CheckExact(target.get()) && PyLong_CheckExact(limit.get()) && !overflow && last < (1LL << 31)) {
    Search search{PyFloat_AS_DOUBLE(target.get()), last};
    search_native(search);
    return search.w ? kv::pair_text(search.w, ':', search.h) : kv::ratio_text(width, height);
  }

  // Targets or limits native arithmetic cannot mirror: the same loops on objects.
  Ref min_error = s.infinity;
  Ref best_w = width, best_h = height;
  PyObject* range = reinterpret_cast<PyObject*>(&PyRange_Type);
  Ref outer = kv::iterate(kv::call(range, s.one, stop));
  unsigned pairs = 0;
  auto held_since = std::chrono::steady_clock::now();
  while (Ref i = kv::next(outer)) {
    Ref inner = kv::iterate(kv::call(range, s.one, kv::add(limit, s.one)));
    while (Ref j = kv::next(inner)) {
      // A row may be 2**40 pairs long: signals get their chance and other
      // threads a turn, as the interpreter's own loop gives them.
      if (++pairs % kObjectPairsPerCheck == 0) {
        kv::check_signals();
        if (auto now = std::chrono::steady_clock::now(); now - held_since >= kHoldGil) {
          kv::WithoutGil{};  // released and taken back at once
          held_since = std::chrono::steady_clock::now();
        }
      }
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

const kv::Binding<get_approx_simple_ratio> approx_binding{
    {kv::Way::Method, "ImageAspectra.get_approx_simple_ratio",
     R"(
        自动拟合近似简单整数比例，无预设标准比例池。

        遍历 1~approx_search_range 范围内的整数组合，
        找到与图片实际比例最接近的简单整数比。

        Args:
            image_bytes: 图片二进制数据

        Returns:
            近似比例字符串，如 "2:3"、"16:9"
        )",
     "str"},
    {{"self"}, {"image_bytes", "bytes"}},
};

const char kClassDoc[] = R"(
    图片比例分析工具。

    提供两种比例获取方式：
    - get_raw_simple_ratio: 获取图片真实最简宽高比（精确值）
    - get_approx_simple_ratio: 自动拟合近似简单整数比例（如 2:3、16:9）
    )";

void populate(PyObject* module, State&) {
  kv::add_global(module, "BytesIO", kv::import_from(nullptr, "io", "BytesIO"));
  kv::add_global(module, "Image", kv::import_from(nullptr, "PIL", "Image"));
  Ref aspectra =
      kv::make_class(module, "ImageAspectra", kClassDoc, {}, {init_binding, gcd_binding, raw_binding, approx_binding});
  kv::add_global(module, "ImageAspectra", aspectra);
}

}  // namespace

KV_MODULE(aspectra, State, populate, "Exact and approximate simple aspect ratios of encoded images.")
