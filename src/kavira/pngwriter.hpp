// framekit's result PNG, written natively: Pillow's raw encoder copies bands
// of rows, pngenc filters and checksums them without the GIL, and ISA-L
// deflates them, also without it. It stands in for `result.save(output, format="PNG", ...)`
// only while that call would reach Pillow's own code.
#pragma once

#include "kavira/runtime.hpp"

namespace png {

// A fill the writer does itself: a canvas of Pillow's own Image.new, never
// made, of one colour, with `source`, an RGBA image of Pillow's own class,
// pasted at (x, y) under its own alpha, wholly inside it.
struct Paste {
  PyObject* source = nullptr;  // null: nothing pasted
  std::size_t x = 0, y = 0, width = 0, height = 0, canvas_width = 0, canvas_height = 0;
  std::uint8_t fill[4] = {};
};

// The Pillow and isal objects the writer calls, and those it stands in for,
// as imported. A member of framekit's module state, enrolled there.
struct Writer {
  explicit Writer(kv::ModuleState* owner);

  // Looks up what the writer needs; a missing optional piece (isal, an
  // older Pillow's raw encoder) leaves the native path off.
  KV_RUNS_PYTHON void populate(kv::Borrowed pil_image);

  // The PNG file of `result` when saving it would run only Pillow's own code
  // on an RGBA image of Pillow's own class; a null Ref otherwise. `save` is
  // result.save as read for the call. A null `result` is the canvas of
  // `paste`, which stands in for it; then the caller makes the canvas and
  // pastes when the writer declines.
  KV_RUNS_PYTHON kv::Ref encode(PyObject* result, PyObject* format, PyObject* save, const Paste& paste = {});

  // Whether Image.new("RGBA", (width, height), color) may be left undone,
  // with the paste of `source` onto it: `make` (Image.new as read) is
  // Pillow's own, the colour is a tuple of channel values or None, and the
  // canvas's size is one Pillow makes without an error. Runs no Python code.
  // Fills the canvas part of `out` when it may.
  bool skips_canvas(PyObject* make, PyObject* color, PyObject* width, PyObject* height, PyObject* source, Paste& out);

  // Whether canvas.paste(source, (x, y), mask=mask) may be left to encode
  // too, on the canvas skips_canvas left undone: Pillow's own paste, on a
  // source that is its own mask (width x height, as read) and lies wholly
  // inside the canvas. Runs no Python code. Fills the rest of `out`.
  bool defers_paste(PyObject* source, PyObject* mask, PyObject* x, PyObject* y, PyObject* width, PyObject* height,
                    Paste& out);

  // Whether `save` (result.save as read) would save a PNG through Pillow's
  // own save and PNG handler, with nothing on the image to add keywords.
  KV_RUNS_PYTHON bool is_own_save(PyObject* result, PyObject* format, PyObject* save);

  // Whether Pillow's save may be asked for its fastest level: isal is
  // missing, and `save` and the PNG handler are Pillow's own.
  KV_RUNS_PYTHON bool wants_fast_save(PyObject* result, PyObject* format, PyObject* save);

  // The stream type is _io's, which runs no Python code; Pillow's own
  // functions are known by the code that Pillow's modules compile to, so a
  // replacement installed before this module was imported is still seen.
  kv::Held bytes_io, pil_image, image_class, png_plugin, image_save_code, png_save_code, image_new_code,
      image_paste_code;
  kv::Held raw_encoder;    // Pillow's row copier; null if this Pillow lacks it
  kv::Held zlib_compress;  // for the ICC profile
  // isal_zlib._ParallelCompress, the one deflater of isal that lets the GIL
  // go; null when isal is missing or too old to have it.
  kv::Held parallel_compress;
  kv::Name SAVE, PNG, RGBA, im, setimage, encode_, compress_and_crc, release, mode, size, info, icc_profile,
      encoderinfo, save_, paste_;
  // ISA-L's level 2: the best size for the time on photos.
  kv::Held deflate_level, no_dictionary, zero;
};

}  // namespace png
