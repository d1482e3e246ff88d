// framekit's result PNG, written natively: Pillow's raw encoder copies bands
// of rows, pngenc filters and checksums them without the GIL, and ISA-L
// deflates them, also without it. It stands in for `result.save(output, format="PNG", ...)`
// only while that call would reach Pillow's own code.
#pragma once

#include "kavira/runtime.hpp"

namespace png {

// What the writer encodes: `source`, RGBA of Pillow's own class, at (x, y)
// under its own alpha on a canvas of one colour that is never made; or,
// unblended, the whole of `source`.
struct Paste {
  PyObject* source = nullptr;
  std::size_t x = 0, y = 0, width = 0, height = 0, canvas_width = 0, canvas_height = 0;
  std::uint8_t fill[4] = {};
  bool blend = true;
};

// The Pillow and isal objects the writer calls, and those it stands in for,
// as imported. A member of framekit's module state, enrolled there.
struct Writer {
  explicit Writer(kv::ModuleState* state) : owner(state) {}

  // Looks up what the writer needs; a missing optional piece (isal, an
  // older Pillow's raw encoder) leaves the native path off.
  KV_RUNS_PYTHON void populate(kv::Borrowed pil_image);

  // The PNG file of `result` when saving it would run only Pillow's own code
  // on an RGBA image of Pillow's own class; a null Ref otherwise. `save` is
  // result.save as read for the call. A null `result` stands for the canvas
  // of `paste`, which the caller makes and pastes onto when the writer declines.
  KV_RUNS_PYTHON kv::Ref encode(PyObject* result, PyObject* format, PyObject* save, const Paste& paste = {});

  // Whether Image.new("RGBA", (width, height), color) and the paste of
  // `source` onto it may be left undone: `make` (Image.new as read) and the
  // class's paste are Pillow's own, `source` is of Pillow's own class, the
  // colour a tuple of channel values or None, the size one Pillow makes
  // without an error. Runs no Python code; fills part of `out`.
  bool skips_canvas(PyObject* make, PyObject* color, PyObject* width, PyObject* height, PyObject* source, Paste& out);

  // Whether canvas.paste(source, (x, y), mask=mask) may be left to encode
  // too, on the canvas skips_canvas left undone: the source is its own mask
  // (width x height, as read) and lies wholly inside the canvas. Runs no
  // Python code. Fills the rest of `out`.
  bool defers_paste(PyObject* source, PyObject* mask, PyObject* x, PyObject* y, PyObject* width, PyObject* height,
                    Paste& out);

  // Whether Pillow's save may be asked for its fastest level: isal is
  // missing, and `save` and the PNG handler are Pillow's own.
  KV_RUNS_PYTHON bool wants_fast_save(PyObject* result, PyObject* format, PyObject* save);

  kv::ModuleState* const owner;  // declared first: the members below enrol in it
  // The stream type is _io's, which runs no Python code; Pillow's own
  // functions are known by the code that Pillow's modules compile to, so a
  // replacement installed before this module was imported is still seen.
  kv::Held bytes_io{owner}, pil_image{owner}, image_class{owner}, png_plugin{owner}, image_save_code{owner},
      png_save_code{owner}, image_new_code{owner}, image_paste_code{owner};
  kv::Held raw_encoder{owner};    // Pillow's row copier; null if this Pillow lacks it
  kv::Held zlib_compress{owner};  // for the ICC profile
  // isal_zlib._ParallelCompress, the one deflater of isal that lets the GIL
  // go; null when isal is missing or too old to have it.
  kv::Held parallel_compress{owner};
  kv::Name SAVE{owner, "SAVE"}, PNG{owner, "PNG"}, RGBA{owner, "RGBA"}, im{owner, "im"}, setimage{owner, "setimage"},
      encode_{owner, "encode"}, compress_and_crc{owner, "compress_and_crc"}, release{owner, "release"},
      mode{owner, "mode"}, size{owner, "size"}, info{owner, "info"}, icc_profile{owner, "icc_profile"},
      encoderinfo{owner, "encoderinfo"}, save_{owner, "save"}, paste_{owner, "paste"};
  // ISA-L's level 2: the best size for the time on photos (level 1 is no
  // faster there and 1.2 to 1.6 per cent larger).
  kv::Held deflate_level{owner, kv::integer(2)},
      no_dictionary{owner, kv::Ref::steal(PyBytes_FromStringAndSize(nullptr, 0))}, zero{owner, kv::integer(0)};
};

}  // namespace png
