#include "pngwriter.hpp"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "kavira/numbers.hpp"
#include "pngenc.hpp"

namespace png {

using kv::Ref;

namespace {

// Each band of rows is one IDAT chunk and a raw deflate stream that ends on a
// byte boundary, so that the bands join into one zlib stream. Bands go to
// several threads for a large image, as pigz does: only isal's parallel
// compressor lets the GIL go while it deflates (its compressobj holds it,
// which left one large image on one core).

constexpr std::size_t kPixelBytes = 4;
constexpr std::size_t kBandBytes = std::size_t{1} << 20;  // pixels per band, in bytes
constexpr unsigned kMaxThreads = 4;
constexpr std::uint8_t kZlibHeader[2] = {0x78, 0x01};  // deflate, 32 KiB window, fastest

// Threads for one image: KAVIRA_PNG_THREADS when set (1 keeps to the
// calling thread), else the cores, at most kMaxThreads.
unsigned encoder_threads() {
  if (const char* given = std::getenv("KAVIRA_PNG_THREADS"))
    return static_cast<unsigned>(std::clamp<long>(std::strtol(given, nullptr, 10), 1, kMaxThreads));
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
}

std::span<const std::uint8_t> bytes_of(const Ref& b) {
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b.get())),
          static_cast<std::size_t>(PyBytes_GET_SIZE(b.get()))};
}

struct Band {
  Ref deflated;  // what compress_and_crc gave
  std::size_t filtered_size = 0;
  std::uint32_t adler = 1, crc = 0;  // crc covers the chunk type and data, without the last chunk's trailer
};

struct Bands {
  Bands(Writer& state, Ref rows, const Paste& where) : s(state), encoder(std::move(rows)), paste(where) {}

  Writer& s;
  Ref encoder;  // on the source
  Paste paste;  // where the source lies; its `source` is the caller's, not to be used here
  std::size_t width = paste.canvas_width, height = paste.canvas_height, stride = width * kPixelBytes;
  std::size_t rows_per_band = std::max<std::size_t>(1, kBandBytes / stride);
  std::vector<Band> done = std::vector<Band>((height + rows_per_band - 1) / rows_per_band);
  // The rest is shared by the threads and guarded by the GIL.
  std::size_t next = 0;
  // The row above the next band: the last row handed out, zeros above the
  // top, where band 0, always the first handed out, finds them.
  std::vector<std::uint8_t> carry = std::vector<std::uint8_t>(stride);
  std::unique_ptr<kv::PendingError> error;
  // Helpers are detached, never joined: a forked child owns none of them,
  // and a thread ended by finalisation must not wait on one. They count
  // themselves out under `lock`, which the GIL never nests inside.
  const pid_t owner = getpid();
  bool threaded = false;  // helpers were started in `owner`
  std::mutex lock;
  std::condition_variable all_out;
  std::size_t running = 0;

  // Whether the bands handed to helpers can still arrive: not in a child
  // forked while they ran, which has only the thread that forked.
  bool helpers_alive() const { return !threaded || getpid() == owner; }

  // The source rows under canvas rows [from, to).
  std::size_t source_from(std::size_t row) const { return std::clamp(row, paste.y, paste.y + paste.height) - paste.y; }
  // Canvas row `row` as the paste leaves it; `source` holds source rows from `first`.
  void compose(std::size_t row, const std::uint8_t* source, std::size_t first, std::uint8_t* out) const {
    const bool inside = row >= paste.y && row < paste.y + paste.height;
    const std::uint8_t* from = inside ? source + (row - paste.y - first) * paste.width * kPixelBytes : nullptr;
    if (paste.blend)
      compose_rgba_row(paste.fill, width, from, paste.x, paste.width, out);
    else
      std::memcpy(out, from, stride);
  }
  // Whether canvas rows [top, top + rows) are the source's `rows` as they
  // are: an opaque source the canvas's width, as a landscape photo grown in
  // height is, needs no blend and no copy.
  bool as_pasted(std::size_t top, std::size_t rows, const std::uint8_t* source) const {
    if (paste.width != width || top < paste.y || top + rows > paste.y + paste.height) return false;
    if (!paste.blend) return true;
    unsigned opaque = 255;
    for (std::size_t i = kPixelBytes - 1; i < rows * stride; i += kPixelBytes) opaque &= source[i];
    return opaque == 255;
  }
};

// The next `size` bytes of pixels, as Pillow's raw encoder copies them.
Ref copy_rows(Bands& b, std::size_t size) {
  Ref got = kv::call_method(b.encoder, b.s.encode_, kv::integer(static_cast<long long>(size)));
  Ref pixels;
  if (PyTuple_CheckExact(got.get()) && PyTuple_GET_SIZE(got.get()) == 3) pixels = kv::item(got, 2);
  if (!pixels || !PyBytes_CheckExact(pixels.get()) || bytes_of(pixels).size() != size)
    kv::raise(PyExc_SystemError, "Pillow's raw encoder gave no %zu bytes", size);
  return pixels;
}

// Raw deflate of `filtered`, ended by a sync flush, with no dictionary, so
// that a band's bytes depend on nothing but its rows.
Ref deflate(Bands& b, const Ref& deflater, std::vector<std::uint8_t>& filtered, std::size_t size) {
  Ref view = Ref::steal(
      PyMemoryView_FromMemory(reinterpret_cast<char*>(filtered.data()), static_cast<Py_ssize_t>(size), PyBUF_READ));
  Ref got = kv::call_method(deflater, b.s.compress_and_crc, view, b.s.no_dictionary);
  // Nothing may read the buffer once the next band is filtered into it.
  kv::call_method(view, b.s.release);
  Ref deflated;
  if (PyTuple_CheckExact(got.get()) && PyTuple_GET_SIZE(got.get()) == 2) deflated = kv::item(got, 0);
  if (!deflated || !PyBytes_CheckExact(deflated.get())) kv::raise(PyExc_SystemError, "isal gave no deflated bytes");
  return deflated;
}

// The CRC of a band's chunk, up to what the last chunk adds.
std::uint32_t chunk_crc(const Bands& b, const Band& band) {
  std::uint32_t crc = crc32(0, reinterpret_cast<const std::uint8_t*>("IDAT"), 4);
  if (&band == &b.done.front()) crc = crc32(crc, kZlibHeader, sizeof kZlibHeader);
  return crc32(crc, bytes_of(band.deflated).data(), bytes_of(band.deflated).size());
}

// Takes bands until none is left; the GIL is held on entry and on return.
// Failures are kept for the calling thread to raise. The GIL is let go
// twice a band, each time for a millisecond or more: a thread that takes it
// back sooner than the other can wake starves it, and one image stays on one
// core. So a band's CRC waits for the next band's filter.
void run_bands(Bands& b) {
  try {
    const std::size_t stride = b.stride;
    std::vector<std::uint8_t> above(stride), filtered, composed;
    Ref deflater;
    Band* unsummed = nullptr;  // deflated, its CRC still to compute
    while (!b.error && b.next < b.done.size() && b.helpers_alive()) {
      const std::size_t index = b.next++;
      const std::size_t top = index * b.rows_per_band;
      const std::size_t rows = std::min(b.rows_per_band, b.height - top);
      Ref pixels;
      const std::uint8_t* data = nullptr;
      const std::size_t source_first = b.source_from(top);
      if (const std::size_t source_rows = b.source_from(top + rows) - source_first) {
        pixels = copy_rows(b, source_rows * b.paste.width * kPixelBytes);
        data = bytes_of(pixels).data();
      }
      std::memcpy(above.data(), b.carry.data(), stride);
      b.compose(top + rows - 1, data, source_first, b.carry.data());

      Band& band = b.done[index];
      band.filtered_size = rows * (stride + 1);
      if (!deflater) {
        // A deflater of this thread's own: isal's parallel compressor deflates
        // into one buffer of its own, so no two threads may share one. Deflate
        // spends at most 15 bits a byte, and the rest covers block headers and
        // the flush.
        const std::size_t most_rows = std::min(b.rows_per_band, b.height);
        Ref room = kv::integer(static_cast<long long>(2 * most_rows * (stride + 1) + 500));
        deflater = kv::call(b.s.parallel_compress, room, b.s.deflate_level);
        filtered.resize(most_rows * (stride + 1));
        if (b.paste.blend) composed.resize(most_rows * stride);
      }
      {
        kv::WithoutGil unlocked;
        if (unsummed) unsummed->crc = chunk_crc(b, *unsummed);
        if (!b.as_pasted(top, rows, data)) {
          for (std::size_t r = 0; r < rows; ++r) b.compose(top + r, data, source_first, composed.data() + r * stride);
          data = composed.data();
        }
        filter_rgba_rows(data, b.width, rows, above.data(), filtered.data());
        band.adler = adler32(1, filtered.data(), band.filtered_size);
      }
      pixels = nullptr;
      band.deflated = deflate(b, deflater, filtered, band.filtered_size);
      unsummed = &band;
      kv::check_signals();
    }
    if (unsummed) {
      kv::WithoutGil unlocked;
      unsummed->crc = chunk_crc(b, *unsummed);
    }
  } catch (const std::exception&) {
    kv::set_error_from_exception();
    if (!b.error) b.error = std::make_unique<kv::PendingError>();
    PyErr_Clear();
  }
}

// Leaves the bands to the process's end: what a thread does with its share
// when finalisation ends it, since their objects can no longer be dropped.
void keep_forever(std::shared_ptr<Bands>&& shared) { new (std::nothrow) std::shared_ptr<Bands>(std::move(shared)); }

// Runs `on_unwind` when its scope is left by an unwind, the forced one
// included: no C++ library both catches that one and rethrows it alike,
// but each runs destructors on the way.
template <class OnUnwind>
struct IfUnwound {
  OnUnwind on_unwind;
  bool armed = true;
  ~IfUnwound() {
    if (armed) on_unwind();
  }
};
template <class OnUnwind>
IfUnwound(OnUnwind) -> IfUnwound<OnUnwind>;  // clang before 17 deduces no aggregate

void count_out(Bands& b) {
  std::lock_guard<std::mutex> held(b.lock);
  if (--b.running == 0) b.all_out.notify_all();
}

// A helper shares the bands with the calling thread, so that they outlive
// whichever of the two a forced unwind ends first; the last owner drops
// them while it holds the GIL, or not at all if a forced unwind ends it.
void band_worker(std::shared_ptr<Bands> shared, PyInterpreterState* interpreter) {
  Bands& b = *shared;
  PyThreadState* thread = PyThreadState_New(interpreter);
  if (!thread) {
    count_out(b);  // the other threads take its bands
    return;
  }
  // Finalisation ends this thread; the calling thread need not wait for it.
  IfUnwound ending{[&] {
    count_out(b);
    keep_forever(std::move(shared));
  }};
  PyEval_RestoreThread(thread);
  run_bands(b);
  ending.armed = false;
  count_out(b);
  shared = nullptr;
  PyThreadState_Clear(thread);
  PyThreadState_DeleteCurrent();
}

// Bands whose helpers live in another process: their objects are dropped
// now (the GIL is held), the rest stays with the helpers that count on it.
void abandon(std::shared_ptr<Bands>& shared) {
  shared->done.clear();
  shared->encoder = nullptr;
  shared->error = nullptr;
  keep_forever(std::move(shared));
}

// Copies, filters and deflates the bands of the canvas, with `paste` done on
// the way, on `threads` threads. Null when the process forked while helpers
// held bands: the caller starts again on its own thread.
std::shared_ptr<Bands> encode_bands(Writer& s, unsigned threads, const Paste& paste) {
  // A raw encoder on the top left width x height pixels of the source.
  Ref encoder = kv::call(s.raw_encoder, s.RGBA, s.RGBA);
  Ref pixels = kv::getattr(paste.source, s.im);
  Ref extent = kv::tuple(s.zero, s.zero, kv::integer(static_cast<long long>(paste.width)),
                         kv::integer(static_cast<long long>(paste.height)));
  kv::call_method(encoder, s.setimage, pixels, extent);
  auto shared = std::make_shared<Bands>(s, std::move(encoder), paste);
  Bands& b = *shared;
  b.paste.source = nullptr;  // the Bands may outlive the caller's image
  const std::size_t helpers = std::min<std::size_t>(threads, b.done.size()) - 1;
  PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
  for (std::size_t k = 0; k < helpers; ++k) {
    {
      std::lock_guard<std::mutex> held(b.lock);
      ++b.running;
    }
    try {
      std::thread(band_worker, shared, interpreter).detach();
      b.threaded = true;
    } catch (const std::system_error&) {
      count_out(b);
      break;  // fewer threads, same result
    }
  }
  {
    // Helpers may still be filtering the bands.
    IfUnwound ending{[&] { keep_forever(std::move(shared)); }};
    run_bands(b);
    if (b.threaded && b.helpers_alive()) {  // a forked child has none to wait for
      kv::WithoutGil unlocked;
      std::unique_lock<std::mutex> held(b.lock);
      b.all_out.wait(held, [&] { return b.running == 0; });
    }
    ending.armed = false;
  }
  // A fork while helpers held bands, or while this thread waited for the GIL.
  if (!b.helpers_alive()) {
    abandon(shared);
    return nullptr;
  }
  return shared;
}

// The PNG file of the canvas of `paste`, RGBA of Pillow's own class, as
// Pillow would frame it: IHDR, iCCP when `icc` is set, IDAT, IEND.
Ref write_png(Writer& s, PyObject* icc, const Paste& paste) {
  Ref profile = icc ? kv::call(s.zlib_compress, icc) : Ref();
  if (profile && !PyBytes_CheckExact(profile.get())) kv::raise(PyExc_SystemError, "zlib.compress returned no bytes");

  std::shared_ptr<Bands> shared = encode_bands(s, encoder_threads(), paste);
  if (!shared) shared = encode_bands(s, 1, paste);
  Bands& b = *shared;
  if (b.error) {
    b.error->restore();
    kv::raise();
  }

  static constexpr std::uint8_t profile_name[] = "ICC Profile\0";  // name, its terminator, method 0
  // Every band ends on a sync flush; an empty fixed-code block ends the
  // stream, followed by the Adler-32 of all the rows.
  std::uint8_t ending[6] = {0x03, 0x00};
  std::size_t total = kSignatureSize + kHeaderChunkSize + kChunkOverhead + sizeof kZlibHeader + sizeof ending;
  if (profile) total += kChunkOverhead + sizeof profile_name + bytes_of(profile).size();
  std::uint32_t adler = 1;
  for (const Band& band : b.done) {
    total += kChunkOverhead + bytes_of(band.deflated).size();
    adler = adler32_combine(adler, band.adler, band.filtered_size);
  }
  put32(ending + 2, adler);
  Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  auto* at = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(file.get()));
  at = put_signature_and_header(at, static_cast<std::uint32_t>(b.width), static_cast<std::uint32_t>(b.height));
  if (profile)
    at = put_chunk(at, "iCCP", profile_name, sizeof profile_name, bytes_of(profile).data(), bytes_of(profile).size());
  for (const Band& band : b.done) {
    const bool first = &band == &b.done.front(), last = &band == &b.done.back();
    const auto deflated = bytes_of(band.deflated);
    const std::size_t extra = (first ? sizeof kZlibHeader : 0) + (last ? sizeof ending : 0);
    at = put32(at, static_cast<std::uint32_t>(deflated.size() + extra));
    at = std::copy_n("IDAT", 4, at);
    if (first) at = std::copy(std::begin(kZlibHeader), std::end(kZlibHeader), at);
    at = std::copy(deflated.begin(), deflated.end(), at);
    std::uint32_t crc = band.crc;
    if (last) {
      at = std::copy(std::begin(ending), std::end(ending), at);
      crc = crc32(crc, ending, sizeof ending);
    }
    at = put32(at, crc);
  }
  put_chunk(at, "IEND", nullptr, 0);
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
  Ref found;
  kv::suppress({PyExc_ImportError, PyExc_AttributeError}, [&] { found = body(); });
  return found;
}

// Whether `f` (null: none) is a plain function of `module` compiled from `code`.
bool is_own_function(PyObject* f, PyObject* code, PyObject* module) {
  if (!f || !code || !module || !PyFunction_Check(f) || PyFunction_GET_CLOSURE(f)) return false;
  // raw-api: ok the namespace is only compared, never kept
  if (PyFunction_GET_GLOBALS(f) != PyModule_GetDict(module)) return false;
  // Code objects compare by their contents in C (the same object is equal
  // without a comparison); a pending error is a "no".
  int same = PyObject_RichCompareBool(PyFunction_GET_CODE(f), code, Py_EQ);
  if (same < 0) PyErr_Clear();
  return same > 0;
}

// What Pillow's class binds to `name`, or null.
PyObject* class_member(Writer& s, PyObject* name) {
  // raw-api: ok a type look-up runs no Python code
  return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(s.image_class.get()), name);
}

// Whether `image` (null: none) is of Pillow's own class and reads of a fresh
// one's attributes find what the class holds: no __getattribute__ or
// __getattr__ stands between.
bool own_class(Writer& s, PyObject* image) {
  auto* type = reinterpret_cast<PyTypeObject*>(s.image_class.get());
  return type && (!image || Py_TYPE(image) == type) && type->tp_getattro == PyObject_GenericGetAttr;
}

// Whether `save` (result.save as read; null with the canvas of a fill for
// `result`) would save a PNG through Pillow's own save and PNG handler, with
// nothing on the image to add keywords.
KV_RUNS_PYTHON bool is_own_save(Writer& s, PyObject* result, PyObject* format, PyObject* save) {
  if (!is_text(format, "PNG") || !s.image_class) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(s.image_class.get());
  PyObject* function = nullptr;
  if (result && Py_TYPE(result) == type && PyMethod_Check(save) && PyMethod_GET_SELF(save) == result)
    function = PyMethod_GET_FUNCTION(save);
  else if (!result && own_class(s, nullptr))
    function = class_member(s, s.save_);
  // save() reads encoderinfo from the image before its own keywords.
  if (!is_own_function(function, s.image_save_code, s.pil_image) || class_member(s, s.encoderinfo)) return false;
  PyObject** slot = result ? _PyObject_GetDictPtr(result) : nullptr;
  Ref dict = Ref::borrow(slot ? *slot : nullptr);
  if (dict && (!PyDict_CheckExact(dict.get()) || kv::dict_get(dict, s.encoderinfo))) return false;
  Ref registry = kv::getattr(s.pil_image, s.SAVE);
  if (!PyDict_CheckExact(registry.get())) return false;
  Ref handler = kv::dict_get(registry, s.PNG);
  return handler && is_own_function(handler, s.png_save_code, s.png_plugin);
}

// The code object named `name` among the constants of `code`, or null.
Ref code_named(kv::Borrowed code, const char* name) {
  if (!code) return nullptr;
  Ref constants = kv::getattr(code, kv::intern("co_consts"));
  if (!PyTuple_CheckExact(constants.get())) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
    Ref item = kv::item(constants, i);
    if (PyCode_Check(item.get()) && is_text(reinterpret_cast<PyCodeObject*>(item.get())->co_name, name)) return item;
  }
  return nullptr;
}

// What `module`'s loader compiles it to: the code of Pillow's own functions,
// whatever has been installed over them since.
Ref module_code(const char* module) {
  Ref found = kv::call(kv::import_from(nullptr, "importlib.util", "find_spec"), kv::text(module));
  Ref loader = kv::getattr(found, kv::intern("loader"));
  Ref name = kv::text(module);
  return kv::call_method(loader, kv::intern("get_code"), name);
}

}  // namespace

Ref Writer::encode(PyObject* result, PyObject* format, PyObject* save, const Paste& paste) {
  Writer& s = *this;
  if (!s.raw_encoder || !s.parallel_compress || !is_own_save(s, result, format, save)) return nullptr;
  // A fresh canvas has no info, hence no profile.
  if (!result) return write_png(s, nullptr, paste);

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
  const auto columns = static_cast<std::size_t>(w), rows = static_cast<std::size_t>(h);
  return write_png(s, icc.get(), {result, 0, 0, columns, rows, columns, rows, {}, false});
}

bool Writer::skips_canvas(PyObject* make, PyObject* color, PyObject* width, PyObject* height, PyObject* source,
                          Paste& out) {
  long long w, h;
  // A canvas of more than 2 GiB is left to Pillow, which may refuse it.
  if (!raw_encoder || !parallel_compress || !own_class(*this, source) ||
      !is_own_function(make, image_new_code, pil_image) || !kv::small_int(width, w) || !kv::small_int(height, h) ||
      w <= 0 || h <= 0 || w > 0x7FFFFFFF / 4 / h ||
      !is_own_function(class_member(*this, paste_), image_paste_code, pil_image))
    return false;
  // The channels Pillow's fill takes from a tuple, the fourth 255 when left
  // out; None leaves the canvas zeros.
  Paste canvas{source, 0, 0, 0, 0, static_cast<std::size_t>(w), static_cast<std::size_t>(h), {}};
  if (color != Py_None) {
    const Py_ssize_t channels = PyTuple_CheckExact(color) ? PyTuple_GET_SIZE(color) : 0;
    if (channels != 3 && channels != 4) return false;
    canvas.fill[3] = 255;
    for (Py_ssize_t c = 0; c < channels; ++c) {
      long long v;
      if (!kv::small_int(PyTuple_GET_ITEM(color, c), v) || v < 0 || v > 255) return false;  // raw-api: ok only read
      canvas.fill[c] = static_cast<std::uint8_t>(v);
    }
  }
  out = canvas;  // untouched when the canvas is needed
  return true;
}

bool Writer::defers_paste(PyObject* source, PyObject* mask, PyObject* x, PyObject* y, PyObject* width, PyObject* height,
                          Paste& out) {
  if (source != mask) return false;
  long long left, top, w, h;
  if (!kv::small_int(x, left) || !kv::small_int(y, top) || !kv::small_int(width, w) || !kv::small_int(height, h) ||
      left < 0 || top < 0 || w <= 0 || h <= 0 || static_cast<std::size_t>(left + w) > out.canvas_width ||
      static_cast<std::size_t>(top + h) > out.canvas_height)
    return false;
  out.x = static_cast<std::size_t>(left);
  out.y = static_cast<std::size_t>(top);
  out.width = static_cast<std::size_t>(w);
  out.height = static_cast<std::size_t>(h);
  return true;
}

bool Writer::wants_fast_save(PyObject* result, PyObject* format, PyObject* save) {
  return !parallel_compress && raw_encoder && is_own_save(*this, result, format, save);
}

void Writer::populate(kv::Borrowed image_module) {
  bytes_io = kv::import_from(nullptr, "_io", "BytesIO");
  pil_image = Ref::borrow(image_module);
  // Pillow's own class: the one PIL.Image defines, with object as its only base.
  Ref image_type = kv::getattr(pil_image, kv::intern("Image"));
  if (PyType_Check(image_type.get()) &&
      reinterpret_cast<PyTypeObject*>(image_type.get())->tp_base == &PyBaseObject_Type)
    image_class = image_type;
  png_plugin = optional([] { return kv::import("PIL.PngImagePlugin"); });
  Ref image_code = optional([] { return module_code("PIL.Image"); });
  Ref class_code = optional([&] { return code_named(image_code, "Image"); });
  image_save_code = optional([&] { return code_named(class_code, "save"); });
  image_new_code = optional([&] { return code_named(image_code, "new"); });
  image_paste_code = optional([&] { return code_named(class_code, "paste"); });
  png_save_code = optional([] { return code_named(module_code("PIL.PngImagePlugin"), "_save"); });
  raw_encoder =
      optional([&] { return kv::getattr(kv::getattr(pil_image, kv::intern("core")), kv::intern("raw_encoder")); });
  zlib_compress = kv::import_from(nullptr, "zlib", "compress");
  parallel_compress =
      optional([] { return kv::getattr(kv::import("isal.isal_zlib"), kv::intern("_ParallelCompress")); });
}

}  // namespace png
