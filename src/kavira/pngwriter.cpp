#include "pngwriter.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "numbers.hpp"
#include "pngenc.hpp"

namespace png {

using kv::Ref;

Writer::Writer(kv::ModuleState* owner)
    : bytes_io(owner),
      pil_image(owner),
      image_class(owner),
      image_save(owner),
      png_save(owner),
      raw_encoder(owner),
      zlib_compress(owner),
      compressobj(owner),
      sync_flush(owner),
      finish(owner),
      SAVE(owner, "SAVE"),
      PNG(owner, "PNG"),
      RGBA(owner, "RGBA"),
      im(owner, "im"),
      setimage(owner, "setimage"),
      encode_(owner, "encode"),
      compress(owner, "compress"),
      flush(owner, "flush"),
      mode(owner, "mode"),
      size(owner, "size"),
      info(owner, "info"),
      icc_profile(owner, "icc_profile"),
      deflate_level(owner, kv::integer(2)),
      deflated(owner, kv::integer(8)),
      raw_window(owner, kv::integer(-15)),
      zero(owner, kv::integer(0)) {}

namespace {

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

using kv::WithoutGil;

const std::uint8_t* bytes_of(const Ref& b) { return reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.get())); }

struct Band {
  Ref head, tail;  // what compress() and flush() gave
  std::size_t filtered_size = 0;
  std::uint32_t adler = 1, crc = 0;  // crc covers the chunk type and data, without the last chunk's trailer
};

struct Bands {
  Bands(Writer& state, Ref rows, std::size_t w, std::size_t h)
      : s(state),
        encoder(std::move(rows)),
        width(w),
        height(h),
        rows_per_band(std::max<std::size_t>(1, kBandBytes / (w * kPixelBytes))),
        done((h + rows_per_band - 1) / rows_per_band),
        carry(w * kPixelBytes) {}

  Writer& s;
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
  Ref got = kv::call_method(b.encoder, b.s.encode_, wanted);
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
Ref write_png(Writer& s, PyObject* image, std::size_t width, std::size_t height, PyObject* icc) {
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

}  // namespace

Ref Writer::encode(PyObject* result, PyObject* format, PyObject* save) {
  Writer& s = *this;
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

bool Writer::wants_fast_save(PyObject* result, PyObject* format) const {
  return !compressobj && raw_encoder && is_text(format, "PNG") &&
         Py_TYPE(result) == reinterpret_cast<PyTypeObject*>(image_class.get());
}

void Writer::populate(kv::Borrowed stream_type, kv::Borrowed image_module) {
  bytes_io = Ref::borrow(stream_type);
  pil_image = Ref::borrow(image_module);
  image_class = kv::getattr(pil_image, kv::intern("Image"));
  image_save = kv::getattr(image_class, kv::intern("save"));
  png_save = optional([] { return kv::import_from(nullptr, "PIL.PngImagePlugin", "_save"); });
  raw_encoder =
      optional([&] { return kv::getattr(kv::getattr(pil_image, kv::intern("core")), kv::intern("raw_encoder")); });
  zlib_compress = kv::import_from(nullptr, "zlib", "compress");
  Ref isal = optional([] { return kv::import("isal.isal_zlib"); });
  if (isal) {
    sync_flush = optional([&] { return kv::getattr(isal, kv::intern("Z_SYNC_FLUSH")); });
    finish = optional([&] { return kv::getattr(isal, kv::intern("Z_FINISH")); });
    if (sync_flush && finish) compressobj = optional([&] { return kv::getattr(isal, kv::intern("compressobj")); });
  }
}

}  // namespace png
