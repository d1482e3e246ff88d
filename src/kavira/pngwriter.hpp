// framekit's result PNG, written natively: Pillow's raw encoder copies bands
// of rows, pngenc filters and checksums them without the GIL, and ISA-L
// deflates them. It stands in for `result.save(output, format="PNG", ...)`
// only while that call would reach Pillow's own code.
#pragma once

#include "kavira/runtime.hpp"

namespace png {

// The Pillow and isal objects the writer calls, and those it stands in for,
// as imported. A member of framekit's module state, enrolled there.
struct Writer {
  explicit Writer(kv::ModuleState* owner);

  // Looks up what the writer needs; a missing optional piece (isal, an
  // older Pillow's raw encoder) leaves the native path off.
  KV_RUNS_PYTHON void populate(kv::Borrowed bytes_io, kv::Borrowed pil_image);

  // The PNG file of `result` when saving it would run only Pillow's own code
  // on an RGBA image of Pillow's own class; a null Ref otherwise. `save` is
  // result.save as read for the call.
  KV_RUNS_PYTHON kv::Ref encode(PyObject* result, PyObject* format, PyObject* save);

  // Whether Pillow's save may be asked for its fastest level: isal is
  // missing, and the result is a PNG of Pillow's own class.
  bool wants_fast_save(PyObject* result, PyObject* format) const;

  kv::Held bytes_io, pil_image, image_class, image_save, png_save;
  kv::Held raw_encoder;    // Pillow's row copier; null if this Pillow lacks it
  kv::Held zlib_compress;  // for the ICC profile
  kv::Held compressobj;    // isal_zlib.compressobj; null when isal is not installed
  kv::Held sync_flush, finish;
  kv::Name SAVE, PNG, RGBA, im, setimage, encode_, compress, flush, mode, size, info, icc_profile;
  // ISA-L's level 2 and raw deflate: the best size for the time on photos.
  kv::Held deflate_level, deflated, raw_window, zero;
};

}  // namespace png
