// kavira.framekit: the standard ratio table, ratio parsing, and growing the
// shorter side of an encoded image by stretching it or by filling around it.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "kavira/runtime.hpp"
#include "numbers.hpp"
#include "pngenc.hpp"
#include "text.hpp"

namespace {

using kv::Ref;

struct State : kv::ModuleState {
  kv::Held re_match{this};  // re.match as imported: the native parser stands in for it only while it is unchanged

  kv::Name BytesIO{this, "BytesIO"}, Image{this, "Image"}, re{this, "re"};
  kv::Name STANDARD_RATIO_LIST{this, "STANDARD_RATIO_LIST"}, std_ratio_map{this, "_std_ratio_map"};
  kv::Name parse_ratio{this, "_parse_ratio"}, get_closest_standard_ratio{this, "_get_closest_standard_ratio"};
  kv::Name proportion{this, "proportion"}, need_adjust{this, "need_adjust"}, fill_color{this, "fill_color"},
      kwargs{this, "kwargs"};
  kv::Name open{this, "open"}, convert{this, "convert"}, size{this, "size"}, width{this, "width"},
      height{this, "height"}, mode{this, "mode"};
  kv::Name format{this, "format"}, resize{this, "resize"}, new_{this, "new"}, paste{this, "paste"}, save{this, "save"},
      seek{this, "seek"};
  kv::Name read{this, "read"}, Resampling{this, "Resampling"}, LANCZOS{this, "LANCZOS"}, match{this, "match"},
      group{this, "group"};
  kv::Name items{this, "items"}, RGBA{this, "RGBA"}, PNG{this, "PNG"}, fill{this, "fill"};

  kv::Held mask_keyword{this, kv::names("mask")};
  kv::Held save_keywords{this, kv::names("format", "quality")};
  kv::Held quality{this, kv::integer(95)};
  kv::Held zero{this, kv::integer(0)}, one{this, kv::integer(1)}, two{this, kv::integer(2)};
  kv::Held infinity{this, kv::floating(std::numeric_limits<double>::infinity())};
  kv::Held ratio_pattern{this, kv::text("(\\d+):(\\d+)")};
  kv::Held format_error_prefix{this, kv::text("比例格式错误 ")};
  kv::Held format_error_suffix{this, kv::text("，示例：3:4")};
  kv::Held mode_error{this, kv::text("need_adjust 仅支持 resize / fill")};

  // What the native PNG writer stands in for, as imported. It runs only
  // while the result's path would reach exactly these.
  kv::Held bytes_io{this}, pil_image{this}, image_class{this}, image_save{this}, png_save{this};
  kv::Held raw_encoder{this};  // Pillow's row copier; null if this Pillow lacks it
  kv::Held zlib_compress{this};
  kv::Held compressobj{this};  // isal_zlib.compressobj; null when isal is not installed
  kv::Held sync_flush{this}, finish{this};
  kv::Name SAVE{this, "SAVE"}, im{this, "im"}, setimage{this, "setimage"}, encode{this, "encode"},
      compress{this, "compress"}, flush{this, "flush"};
  kv::Name info{this, "info"}, icc_profile{this, "icc_profile"}, closed{this, "closed"};
  // ISA-L's level 2 and raw deflate: the best size for the time on photos.
  kv::Held deflate_level{this, kv::integer(2)}, deflated{this, kv::integer(8)}, raw_window{this, kv::integer(-15)};
  kv::Held fast_save_keywords{this, kv::names("format", "quality", "compress_level")};
};

// ---------------------------------------------------------------------------
// Framekit.__init__

Ref init(State& s, PyObject* self, kv::OptionalStr proportion, kv::Str need_adjust, PyObject* fill_color,
         kv::Kwargs kwargs) {
  // A blank target ratio means "no target ratio"; any other text is kept as given.
  bool blank = PyUnicode_CheckExact(proportion) && kv::is_blank(proportion);
  kv::setattr(self, s.proportion, blank ? Py_None : proportion);
  kv::setattr(self, s.need_adjust, need_adjust);
  kv::setattr(self, s.fill_color, fill_color);
  kv::setattr(self, s.kwargs, kwargs);

  kv::setattr(self, s.std_ratio_map, kv::new_dict());
  Ref ratios = kv::iterate(kv::getattr(self, s.STANDARD_RATIO_LIST));
  while (Ref ratio = kv::next(ratios)) {
    auto [w, h] = kv::unpack2(kv::call_method(self, s.parse_ratio, ratio));
    Ref value = kv::true_divide(w, h);
    // The map is read afresh per entry: a _parse_ratio may have replaced it.
    kv::setitem(kv::getattr(self, s.std_ratio_map), ratio, value);
  }
  return kv::none();
}

// ---------------------------------------------------------------------------
// Framekit._parse_ratio

// \d and its value, without a table look-up for the ASCII digits.
bool is_decimal(Py_UCS4 c) { return c < 128 ? c - '0' < 10 : Py_UNICODE_ISDECIMAL(c); }
unsigned decimal_value(Py_UCS4 c) { return c < 128 ? c - '0' : static_cast<unsigned>(Py_UNICODE_TODECIMAL(c)); }

// int() of text[from:to], a run of decimal digits whose value, when it has
// at most 18 digits, is `value`.
Ref digits_to_int(PyObject* text, Py_ssize_t from, Py_ssize_t to, unsigned long long value) {
  if (to - from <= 18) return kv::integer(static_cast<long long>(value));
  Ref digits = Ref::steal(PyUnicode_Substring(text, from, to));
  return Ref::steal(PyLong_FromUnicodeObject(digits, 10));
}

// The prefix match of "(\d+):(\d+)" on text[start:end], where \d is any
// Unicode decimal digit; `data` is the text's storage, one Char per code point.
template <class Char>
bool match_ratio(PyObject* text, const Char* data, Py_ssize_t start, Py_ssize_t end, Ref& width, Ref& height) {
  Py_ssize_t from[2], to[2];
  unsigned long long value[2];  // wraps past 19 digits, when it is not used
  Py_ssize_t i = start;
  for (int part = 0; part < 2; ++part) {
    if (part == 1) {
      if (i == end || data[i] != ':') return false;
      ++i;
    }
    from[part] = i;
    value[part] = 0;
    for (; i < end && is_decimal(data[i]); ++i) value[part] = value[part] * 10 + decimal_value(data[i]);
    if (i == from[part]) return false;
    to[part] = i;
  }
  width = digits_to_int(text, from[0], to[0], value[0]);
  height = digits_to_int(text, from[1], to[1], value[1]);
  return true;
}

bool match_ratio(PyObject* text, Py_ssize_t start, Py_ssize_t end, Ref& width, Ref& height) {
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return match_ratio(text, PyUnicode_1BYTE_DATA(text), start, end, width, height);
    case PyUnicode_2BYTE_KIND:
      return match_ratio(text, PyUnicode_2BYTE_DATA(text), start, end, width, height);
    default:
      return match_ratio(text, PyUnicode_4BYTE_DATA(text), start, end, width, height);
  }
}

Ref parse_ratio(State& s, kv::Str ratio_str) {
  Ref width, height;
  bool matched;
  Ref match = kv::getattr(s.global(s.re), s.match);
  if (match.get() == s.re_match.get()) {
    auto [start, end] = kv::stripped_bounds(ratio_str);
    matched = match_ratio(ratio_str, start, end, width, height);
  } else {
    // re.match was replaced: ask it, as the module's own code would.
    Ref found = kv::call(match, s.ratio_pattern, kv::strip(ratio_str));
    matched = kv::truthy(found);
    if (matched) {
      width = kv::to_int(kv::call_method(found, s.group, s.one));
      height = kv::to_int(kv::call_method(found, s.group, s.two));
    }
  }
  if (!matched) {
    Ref message = Ref::steal(PyUnicode_Concat(s.format_error_prefix, ratio_str));
    message = Ref::steal(PyUnicode_Concat(message, s.format_error_suffix));
    PyErr_SetObject(PyExc_ValueError, message);
    kv::raise();
  }
  return kv::tuple(width, height);
}

// ---------------------------------------------------------------------------
// Framekit._get_closest_standard_ratio

// The first key of an exact dict whose value is nearest to `target`, read
// in one pass that runs no Python code. False when some value is not an
// exact float, which sends the caller to the general loop; `chosen` stays
// null for an empty map.
bool closest_native(PyObject* ratio_map, double target, Ref& chosen) {
  double min_diff = std::numeric_limits<double>::infinity();
  PyObject* nearest = nullptr;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  // raw-api: ok the walk runs no Python code, and the key is owned before return
  while (PyDict_Next(ratio_map, &position, &key, &value)) {
    if (!PyFloat_CheckExact(value)) return false;
    double diff = std::fabs(target - PyFloat_AS_DOUBLE(value));
    if (diff < min_diff) {
      min_diff = diff;
      nearest = key;
    }
  }
  chosen = Ref::borrow(nearest);
  return true;
}

// width / height, natively when both are small ints.
Ref quotient(PyObject* width, PyObject* height) {
  long long w, h;
  if (kv::small_int(width, w) && kv::small_int(height, h) && h != 0)
    return kv::floating(static_cast<double>(w) / static_cast<double>(h));
  return kv::true_divide(width, height);
}

// self.STANDARD_RATIO_LIST[0]
Ref first_standard_ratio(State& s, PyObject* self) {
  Ref ratios = kv::getattr(self, s.STANDARD_RATIO_LIST);
  if (PyList_CheckExact(ratios.get()) && PyList_GET_SIZE(ratios.get()) > 0) return kv::item(ratios, 0);
  return kv::getitem(ratios, s.zero);
}

Ref get_closest_standard_ratio(State& s, PyObject* self, kv::Int width, kv::Int height) {
  Ref img_ratio = quotient(width, height);
  Ref best = first_standard_ratio(s, self);
  Ref ratio_map = kv::getattr(self, s.std_ratio_map);
  Ref chosen;
  if (PyDict_CheckExact(ratio_map.get()) && PyFloat_CheckExact(img_ratio.get()) &&
      closest_native(ratio_map.get(), PyFloat_AS_DOUBLE(img_ratio.get()), chosen))
    return chosen ? chosen : best;

  Ref min_diff = s.infinity;
  Ref entries = kv::iterate(kv::call_method(ratio_map, s.items));
  while (Ref entry = kv::next(entries)) {
    auto [ratio, value] = kv::unpack2(entry);
    Ref diff = kv::absolute(kv::subtract(img_ratio, value));
    if (kv::less(diff, min_diff)) {
      min_diff = diff;
      best = ratio;
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// Framekit.adjust_size

// int(x * scale), truncated toward zero.
Ref grow(PyObject* x, double scale) {
  long long v, grown;
  if (kv::small_int(x, v) && kv::truncate_native(static_cast<double>(v) * scale, grown)) return kv::integer(grown);
  return kv::to_int(kv::multiply(x, kv::floating(scale)));
}

// ---------------------------------------------------------------------------
// The result's PNG, written natively
//
// Bands of rows are copied out of the image under the GIL, filtered without
// it, and deflated by ISA-L (which lets the GIL go while it works) as raw
// deflate streams that end on a byte boundary, so that they join into one
// zlib stream; each band is one IDAT chunk. Bands go to several threads for
// a large image, as pigz does.

constexpr std::size_t kPixelBytes = 4;
constexpr std::size_t kBandBytes = std::size_t{1} << 20;  // pixels per band, in bytes
constexpr unsigned kMaxThreads = 4;
constexpr std::uint8_t kZlibHeader[2] = {0x78, 0x01};  // deflate, 32 KiB window, fastest

// Threads for one image: KAVIRA_PNG_THREADS when set (1 keeps to the
// calling thread), else the cores, at most kMaxThreads.
unsigned encoder_threads() {
  if (const char* given = std::getenv("KAVIRA_PNG_THREADS")) {
    long n = std::strtol(given, nullptr, 10);
    return static_cast<unsigned>(std::clamp<long>(n, 1, kMaxThreads));
  }
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
}

// Runs its scope without the GIL. Nothing in the scope may touch a Python
// object beyond the bytes of one it owns.
class WithoutGil {
 public:
  WithoutGil() : thread_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(thread_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* thread_;
};

const std::uint8_t* bytes_of(const Ref& b) { return reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.get())); }

struct Band {
  Ref head, tail;  // what compress() and flush() gave
  std::size_t filtered_size = 0;
  std::uint32_t adler = 1, crc = 0;  // crc covers the chunk type and data, without the last chunk's trailer
};

struct Bands {
  Bands(State& state, Ref rows, std::size_t w, std::size_t h)
      : s(state),
        encoder(std::move(rows)),
        width(w),
        height(h),
        rows_per_band(std::max<std::size_t>(1, kBandBytes / (w * kPixelBytes))),
        done((h + rows_per_band - 1) / rows_per_band),
        carry(w * kPixelBytes) {}

  State& s;
  Ref encoder;
  std::size_t width, height, rows_per_band;
  std::vector<Band> done;
  // The rest is shared by the threads and guarded by the GIL.
  std::size_t next = 0;
  std::vector<std::uint8_t> carry;  // the last row handed out: the row above the next band
  std::unique_ptr<kv::PendingError> error;

  std::size_t stride() const { return width * kPixelBytes; }
};

// The next `rows` rows of the image, as Pillow's raw encoder copies them.
Ref copy_rows(Bands& b, std::size_t rows) {
  const std::size_t size = rows * b.stride();
  Ref wanted = kv::integer(static_cast<long long>(size));
  Ref got = kv::call_method(b.encoder, b.s.encode, wanted);
  Ref pixels;
  if (PyTuple_CheckExact(got.get()) && PyTuple_GET_SIZE(got.get()) == 3) pixels = kv::item(got, 2);
  if (!pixels || !PyBytes_CheckExact(pixels.get()) || static_cast<std::size_t>(PyBytes_GET_SIZE(pixels.get())) != size)
    kv::raise(PyExc_SystemError, "Pillow's raw encoder gave no %zu rows", rows);
  return pixels;
}

// Takes bands until none is left; the GIL is held on entry and on return.
// Failures are kept for the calling thread to raise.
void run_bands(Bands& b) {
  try {
    const std::size_t stride = b.stride();
    std::vector<std::uint8_t> above(stride), zeros(stride);
    const std::size_t count = b.done.size();
    while (!b.error && b.next < count) {
      const std::size_t index = b.next++;
      const std::size_t rows = std::min(b.rows_per_band, b.height - index * b.rows_per_band);
      const bool first = index == 0, last = index + 1 == count;
      Ref pixels = copy_rows(b, rows);
      const std::uint8_t* data = bytes_of(pixels);
      if (!first) std::memcpy(above.data(), b.carry.data(), stride);
      std::memcpy(b.carry.data(), data + (rows - 1) * stride, stride);

      Band band;
      band.filtered_size = rows * (stride + 1);
      Ref filtered = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(band.filtered_size)));
      {
        WithoutGil unlocked;
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(filtered.get()));
        png::filter_rgba_rows(data, b.width, rows, first ? nullptr : above.data(), out, zeros.data());
        band.adler = png::adler32(1, out, band.filtered_size);
      }
      pixels = nullptr;
      Ref deflater = kv::call(b.s.compressobj, b.s.deflate_level, b.s.deflated, b.s.raw_window);
      band.head = kv::call_method(deflater, b.s.compress, filtered);
      band.tail = kv::call_method(deflater, b.s.flush, last ? b.s.finish : b.s.sync_flush);
      filtered = nullptr;
      if (!PyBytes_CheckExact(band.head.get()) || !PyBytes_CheckExact(band.tail.get()))
        kv::raise(PyExc_SystemError, "isal returned something other than bytes");
      {
        WithoutGil unlocked;
        std::uint32_t crc = png::crc32(0, reinterpret_cast<const std::uint8_t*>("IDAT"), 4);
        if (first) crc = png::crc32(crc, kZlibHeader, sizeof kZlibHeader);
        crc = png::crc32(crc, bytes_of(band.head), static_cast<std::size_t>(PyBytes_GET_SIZE(band.head.get())));
        band.crc = png::crc32(crc, bytes_of(band.tail), static_cast<std::size_t>(PyBytes_GET_SIZE(band.tail.get())));
      }
      b.done[index] = std::move(band);
      kv::check_signals();
    }
  } catch (const kv::Error&) {
    if (!b.error) b.error = std::make_unique<kv::PendingError>();
    PyErr_Clear();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    if (!b.error) b.error = std::make_unique<kv::PendingError>();
    PyErr_Clear();
  }
}

void band_worker(Bands& b, PyInterpreterState* interpreter) {
  PyThreadState* thread = PyThreadState_New(interpreter);
  if (!thread) return;  // the other threads take its bands
  PyEval_RestoreThread(thread);
  run_bands(b);
  PyThreadState_Clear(thread);
  PyThreadState_DeleteCurrent();
}

// The PNG file of an RGBA image of Pillow's own class, as Pillow would
// frame it: IHDR, iCCP when `icc` is set, IDAT, IEND.
Ref write_png(State& s, PyObject* image, std::size_t width, std::size_t height, PyObject* icc) {
  Ref profile = icc ? kv::call(s.zlib_compress, icc) : Ref();
  if (profile && !PyBytes_CheckExact(profile.get())) kv::raise(PyExc_SystemError, "zlib.compress returned no bytes");

  Ref encoder = kv::call(s.raw_encoder, s.RGBA, s.RGBA);
  Ref pixels = kv::getattr(image, s.im);
  Ref extent = kv::tuple(s.zero, s.zero, kv::integer(static_cast<long long>(width)),
                         kv::integer(static_cast<long long>(height)));
  kv::call_method(encoder, s.setimage, pixels, extent);

  Bands b(s, std::move(encoder), width, height);

  std::vector<std::thread> pool;
  const std::size_t helpers = std::min<std::size_t>(encoder_threads(), b.done.size()) - 1;
  PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
  for (std::size_t k = 0; k < helpers; ++k) {
    try {
      pool.emplace_back(band_worker, std::ref(b), interpreter);
    } catch (const std::system_error&) {
      break;  // fewer threads, same result
    }
  }
  run_bands(b);
  if (!pool.empty()) {
    WithoutGil unlocked;
    for (auto& thread : pool) thread.join();
  }
  if (b.error) {
    b.error->restore();
    kv::raise();
  }

  static constexpr std::uint8_t profile_name[] = "ICC Profile\0";  // name, its terminator, method 0
  const std::size_t profile_size = profile ? static_cast<std::size_t>(PyBytes_GET_SIZE(profile.get())) : 0;
  std::size_t total = png::kSignatureSize + png::kHeaderChunkSize + png::kChunkOverhead + sizeof kZlibHeader + 4;
  if (profile) total += png::kChunkOverhead + sizeof profile_name + profile_size;
  std::uint32_t adler = 1;
  for (const Band& band : b.done) {
    total += png::kChunkOverhead + static_cast<std::size_t>(PyBytes_GET_SIZE(band.head.get())) +
             static_cast<std::size_t>(PyBytes_GET_SIZE(band.tail.get()));
    adler = png::adler32_combine(adler, band.adler, band.filtered_size);
  }
  Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  auto* at = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(file.get()));
  at = png::put_signature_and_header(at, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  if (profile) at = png::put_chunk(at, "iCCP", profile_name, sizeof profile_name, bytes_of(profile), profile_size);
  std::uint8_t trailer[4];
  png::put32(trailer, adler);
  for (std::size_t i = 0; i < b.done.size(); ++i) {
    const Band& band = b.done[i];
    const bool first = i == 0, last = i + 1 == b.done.size();
    const auto head = static_cast<std::size_t>(PyBytes_GET_SIZE(band.head.get()));
    const auto tail = static_cast<std::size_t>(PyBytes_GET_SIZE(band.tail.get()));
    const std::size_t extra = (first ? sizeof kZlibHeader : 0) + (last ? sizeof trailer : 0);
    at = png::put32(at, static_cast<std::uint32_t>(head + tail + extra));
    std::memcpy(at, "IDAT", 4);
    at += 4;
    if (first) at = std::copy(std::begin(kZlibHeader), std::end(kZlibHeader), at);
    at = std::copy_n(bytes_of(band.head), head, at);
    at = std::copy_n(bytes_of(band.tail), tail, at);
    std::uint32_t crc = band.crc;
    if (last) {
      at = std::copy(std::begin(trailer), std::end(trailer), at);
      crc = png::crc32(crc, trailer, sizeof trailer);
    }
    at = png::put32(at, crc);
  }
  png::put_chunk(at, "IEND", nullptr, 0);
  return file;
}

// Whether text is the exact str `expected`.
bool is_text(PyObject* text, const char* expected) {
  return PyUnicode_CheckExact(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// The result's PNG file when saving it would run only Pillow's own code on
// an RGBA image of Pillow's own class; a null Ref otherwise. `save` is
// result.save as read for the call.
Ref native_png(State& s, PyObject* result, PyObject* format, PyObject* save) {
  if (!s.raw_encoder || !s.compressobj || !is_text(format, "PNG")) return nullptr;
  if (Py_TYPE(result) != reinterpret_cast<PyTypeObject*>(s.image_class.get())) return nullptr;
  if (!PyMethod_Check(save) || PyMethod_GET_SELF(save) != result || PyMethod_GET_FUNCTION(save) != s.image_save.get())
    return nullptr;
  Ref registry = kv::getattr(s.pil_image, s.SAVE);
  if (!PyDict_CheckExact(registry.get())) return nullptr;
  Ref handler = kv::dict_get(registry, s.PNG);
  if (handler.get() != s.png_save.get()) return nullptr;

  Ref mode = kv::getattr(result, s.mode);
  if (!is_text(mode, "RGBA")) return nullptr;
  auto [width, height] = kv::unpack2(kv::getattr(result, s.size));
  long long w, h;
  // Empty and oversized images take Pillow's own path to its own error.
  constexpr long long kLargest = 0x7FFFFFFF;
  if (!kv::small_int(width, w) || !kv::small_int(height, h) || w <= 0 || h <= 0 || w > kLargest / 4 || h > kLargest)
    return nullptr;
  Ref info = kv::getattr(result, s.info);
  if (!PyDict_CheckExact(info.get())) return nullptr;
  Ref icc = kv::dict_get(info, s.icc_profile);
  if (icc && !PyBytes_CheckExact(icc.get())) return nullptr;
  if (icc && PyBytes_GET_SIZE(icc.get()) == 0) icc = nullptr;  // Pillow skips an empty profile
  return write_png(s, result, static_cast<std::size_t>(w), static_cast<std::size_t>(h), icc.get());
}

Ref adjust_size(State& s, PyObject* self, kv::Bytes image_bytes, bool return_origin_ratio, double expand_percent) {
  const double scale = expand_percent / 100 + 1;
  const bool with_ratio = return_origin_ratio;

  Ref stream = kv::call(s.global(s.BytesIO), image_bytes);
  Ref working = kv::call_method(kv::call_method(s.global(s.Image), s.open, stream), s.convert, s.RGBA);
  auto [ori_w, ori_h] = kv::unpack2(kv::getattr(working, s.size));
  Ref closest = kv::call_method(self, s.get_closest_standard_ratio, ori_w, ori_h);

  // A different target ratio: hand the input back untouched.
  // Each mention of self.proportion is its own read, as a property would see it.
  if (kv::getattr(self, s.proportion).get() != Py_None &&
      kv::check(PyObject_RichCompareBool(kv::getattr(self, s.proportion).get(), closest, Py_NE))) {
    // Some of Pillow's readers close the stream they were given; its content
    // is image_bytes all the same.
    Ref original;
    if (Py_TYPE(stream.get()) == reinterpret_cast<PyTypeObject*>(s.bytes_io.get()) &&
        kv::truthy(kv::getattr(stream, s.closed))) {
      original = Ref::borrow(image_bytes);
    } else {
      kv::call_method(stream, s.seek, s.zero);
      original = kv::call_method(stream, s.read);
    }
    if (!with_ratio) return original;
    Ref proportion = kv::getattr(self, s.proportion);
    return kv::tuple(original, proportion);
  }

  // Grow the shorter side; a square grows on both.
  Ref new_w = ori_w, new_h = ori_h;
  if (kv::greater(ori_h, ori_w)) {
    new_w = grow(ori_w, scale);
  } else if (kv::greater(ori_w, ori_h)) {
    new_h = grow(ori_h, scale);
  } else {
    new_w = grow(ori_w, scale);
    new_h = grow(ori_h, scale);
  }
  Ref new_size = kv::tuple(new_w, new_h);

  Ref result;
  if (kv::equal(kv::getattr(self, s.need_adjust), s.resize)) {
    kv::Method resize = kv::method(working.get(), s.resize);
    Ref lanczos = kv::getattr(kv::getattr(s.global(s.Image), s.Resampling), s.LANCZOS);
    result = resize(new_size, lanczos);
  } else if (kv::equal(kv::getattr(self, s.need_adjust), s.fill)) {
    kv::Method new_image = kv::method(s.global(s.Image).get(), s.new_);
    Ref fill_color = kv::getattr(self, s.fill_color);
    result = new_image(s.RGBA, new_size, fill_color);
    Ref paste_x = kv::floor_divide(kv::subtract(new_w, kv::getattr(working, s.width)), s.two);
    Ref paste_y = kv::floor_divide(kv::subtract(new_h, kv::getattr(working, s.height)), s.two);
    kv::Method paste = kv::method(result.get(), s.paste);
    Ref position = kv::tuple(paste_x, paste_y);
    Ref mask = kv::equal(kv::getattr(working, s.mode), s.RGBA) ? working : kv::none();
    paste.with_keywords(s.mask_keyword, working, position, mask);
  } else {
    PyErr_SetObject(PyExc_ValueError, s.mode_error);
    kv::raise();
  }

  Ref format = kv::getattr(working, s.format);
  if (!kv::truthy(format)) format = Ref::borrow(s.PNG);
  Ref output;
  Ref bytes_io = s.global(s.BytesIO);
  if (bytes_io.get() == s.bytes_io.get()) {
    // The real BytesIO runs no Python code, so making the stream can wait
    // until we know that it is needed.
    Ref save = kv::getattr(result, s.save);
    if (Ref encoded = native_png(s, result, format, save)) return with_ratio ? kv::tuple(encoded, closest) : encoded;
    output = kv::call(bytes_io);
    // Without isal, Pillow's fastest level is still four times its default.
    bool fast = !s.compressobj && s.raw_encoder && is_text(format, "PNG") &&
                Py_TYPE(result.get()) == reinterpret_cast<PyTypeObject*>(s.image_class.get());
    if (fast)
      kv::call_kw(save, s.fast_save_keywords, output, format, s.quality, s.one);
    else
      kv::call_kw(save, s.save_keywords, output, format, s.quality);
  } else {
    output = kv::call(bytes_io);
    kv::call_method_kw(result, s.save, s.save_keywords, output, format, s.quality);
  }
  kv::call_method(output, s.seek, s.zero);
  Ref encoded = kv::call_method(output, s.read);
  return with_ratio ? kv::tuple(encoded, closest) : encoded;
}

// ---------------------------------------------------------------------------
// The module

const kv::Binding<init> init_binding{
    .qualname = "Framekit.__init__",
    .doc =
        "\n        :param proportion: 目标比例 \"3:4\"/\"1:1\"/\"\"空字符串/None"
        "\n        :param need_adjust: resize / fill"
        "\n        :param fill_color: 填充背景色 RGBA，默认透明"
        "\n        ",
    .params = {{"self"}, {"proportion", "Optional[str]"}, {"need_adjust", "str"}, {"fill_color"}},
};

const kv::Binding<parse_ratio> parse_ratio_binding{
    .qualname = "Framekit._parse_ratio",
    .doc = "解析 3:4 -> (3,4)",
    .params = {{"ratio_str", "str"}},
    .returns = "Tuple[int, int]",
};

const kv::Binding<get_closest_standard_ratio> get_closest_standard_ratio_binding{
    .qualname = "Framekit._get_closest_standard_ratio",
    .doc = "\n        计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串\n        ",
    .params = {{"self"}, {"width", "int"}, {"height", "int"}},
    .returns = "str",
};

const kv::Binding<adjust_size> adjust_size_binding{
    .qualname = "Framekit.adjust_size",
    .doc =
        "\n        调整图片尺寸"
        "\n        1. proportion存在有效值："
        "\n           - 若与原图最接近标准比例不一致 → 直接返回原图不处理"
        "\n           - 若一致 → 反转比例后执行resize/fill，生成对应比例画布填充"
        "\n        2. proportion=\"\" / None 且 need_adjust=\"fill\"："
        "\n           - 仅最小边按百分比放大，不使用任何比例画布，输出尺寸=放大后图片尺寸"
        "\n        3. proportion=\"\" / None 且 need_adjust=\"resize\"：沿用原有逻辑"
        "\n        :param expand_percent: 放大百分比，传数字 10 代表放大10%，传0不缩放，负数缩小"
        "\n        ",
    .params = {{"self"}, {"image_bytes", "bytes"}, {"return_origin_ratio", "bool"}, {"expand_percent", "float"}},
};

// A module that may be missing, or an attribute that an older or newer
// release may lack: null, and the native writer stays off.
template <class Body>
Ref optional(Body&& body) {
  try {
    return body();
  } catch (const kv::Error&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw;
    PyErr_Clear();
    return nullptr;
  }
}

void populate_png_writer(State& s) {
  s.bytes_io = s.global(s.BytesIO);
  s.pil_image = s.global(s.Image);
  s.image_class = kv::getattr(s.pil_image, s.Image);
  s.image_save = kv::getattr(s.image_class, s.save);
  s.png_save = optional([] { return kv::import_from(nullptr, "PIL.PngImagePlugin", "_save"); });
  s.raw_encoder =
      optional([&] { return kv::getattr(kv::getattr(s.pil_image, kv::intern("core")), kv::intern("raw_encoder")); });
  s.zlib_compress = kv::import_from(nullptr, "zlib", "compress");
  Ref isal = optional([] { return kv::import("isal.isal_zlib"); });
  if (isal) {
    s.sync_flush = optional([&] { return kv::getattr(isal, kv::intern("Z_SYNC_FLUSH")); });
    s.finish = optional([&] { return kv::getattr(isal, kv::intern("Z_FINISH")); });
    if (s.sync_flush && s.finish)
      s.compressobj = optional([&] { return kv::getattr(isal, kv::intern("compressobj")); });
  }
}

void populate(PyObject* module, State& s) {
  kv::add_global(module, "BytesIO", kv::import_from(nullptr, "io", "BytesIO"));
  kv::add_global(module, "Optional", kv::import_from(nullptr, "typing", "Optional"));
  kv::add_global(module, "Tuple", kv::import_from(nullptr, "typing", "Tuple"));
  kv::add_global(module, "Image", kv::import_from(nullptr, "PIL", "Image"));
  Ref re = kv::import("re");
  kv::add_global(module, "re", re);
  s.re_match = kv::getattr(re, s.match);
  kv::add_global(module, "math", kv::import("math"));
  populate_png_writer(s);

  Ref ratios = Ref::steal(
      Py_BuildValue("[ssssssssss]", "1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"));
  Ref fill_color = kv::tuple(kv::integer(255), kv::integer(255), kv::integer(255), kv::integer(0));
  Ref framekit = kv::make_class(
      module, "Framekit", nullptr,
      {
          {"STANDARD_RATIO_LIST", ratios},
          {"__init__", kv::make_function(module, init_binding, kv::tuple(Py_None, kv::text("fill"), fill_color))},
          {"_parse_ratio", kv::static_method(kv::make_function(module, parse_ratio_binding))},
          {"_get_closest_standard_ratio", kv::make_function(module, get_closest_standard_ratio_binding)},
          {"adjust_size", kv::make_function(module, adjust_size_binding, kv::tuple(Py_False, kv::integer(10)))},
      });
  kv::add_global(module, "Framekit", framekit);
}

using Definition = kv::ModuleDefinition<State, populate>;

}  // namespace

PyMODINIT_FUNC PyInit_framekit() {
  return Definition::init("kavira.framekit", "Standard ratios and percentage growth of encoded images.");
}
