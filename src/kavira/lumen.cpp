// kavira.lumen: stretch an image object to the nearest of a fixed list of
// preferred resolutions.
#include <cmath>

#include "kavira/numbers.hpp"
#include "kavira/runtime.hpp"

namespace {

using kv::Ref;

struct State : kv::ModuleState {
  kv::Name Resampling{this, "Resampling"}, LANCZOS{this, "LANCZOS"}, image{this, "image"}, width{this, "width"},
      height{this, "height"};
  kv::Name resize{this, "resize"}, resolutions{this, "PREFERED_LUMEN_RESOLUTIONS"};
};

Ref init(State& s, PyObject* self, PyObject* image) {
  kv::setattr(self, s.image, image);
  return kv::none();
}

const kv::Binding<init> init_binding{
    {kv::Way::Method, "LumenImageScale.__init__", R"(
        Args:
            image: PIL Image 对象
        )"},
    {{"self"}, {"image", "Image"}},
};

// The row whose (|aspect - w/h|, w, h) is the smallest triple, when the
// list holds only pairs of small ints. False sends the caller to the
// general loop; nothing here runs Python code.
bool nearest_native(PyObject* rows, double aspect, Ref& width, Ref& height) {
  if (!PyList_CheckExact(rows) || PyList_GET_SIZE(rows) == 0) return false;
  double best_diff = 0;
  long long best_w = 0, best_h = 0;
  Py_ssize_t best = -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
    Ref row = kv::item(rows, i);
    if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != 2) return false;
    long long w = 0, h = 0;  // set by small_int when it succeeds
    if (!kv::small_int(kv::item(row, 0), w)) return false;
    if (!kv::small_int(kv::item(row, 1), h) || h == 0) return false;
    double diff = std::fabs(aspect - static_cast<double>(w) / static_cast<double>(h));
    // Tuple order: the first unequal item decides.
    if (best < 0 || (diff != best_diff ? diff < best_diff : w != best_w ? w < best_w : h < best_h)) {
      best = i;
      best_diff = diff;
      best_w = w;
      best_h = h;
    }
  }
  Ref row = kv::item(rows, best);
  width = kv::item(row, 0);
  height = kv::item(row, 1);
  return true;
}

Ref start(State& s, PyObject* self) {
  Ref width = kv::getattr(kv::getattr(self, s.image), s.width);
  Ref height = kv::getattr(kv::getattr(self, s.image), s.height);
  Ref aspect_ratio = kv::true_divide(width, height);
  Ref rows = kv::getattr(self, s.resolutions);

  Ref output_width, output_height;
  if (!PyFloat_CheckExact(aspect_ratio.get()) ||
      !nearest_native(rows, PyFloat_AS_DOUBLE(aspect_ratio.get()), output_width, output_height)) {
    // min((abs(aspect_ratio - w / h), w, h) for w, h in rows)
    Ref best;
    Ref items = kv::iterate(rows);
    while (Ref row = kv::next(items)) {
      auto [w, h] = kv::unpack2(row);
      Ref triple = kv::tuple(kv::absolute(kv::subtract(aspect_ratio, kv::true_divide(w, h))), w, h);
      if (!best || kv::less(triple, best)) best = triple;
    }
    // The interpreter's own wording, which 3.12 changed.
    if (!best)
      kv::raise(PyExc_ValueError,
                PY_VERSION_HEX >= 0x030C0000 ? "min() iterable argument is empty" : "min() arg is an empty sequence");
    output_width = kv::item(best, 1);
    output_height = kv::item(best, 2);
  }

  kv::Method resize = kv::method(kv::getattr(self, s.image).get(), s.resize);
  Ref lanczos = kv::getattr(s.global(s.Resampling), s.LANCZOS);
  return resize(kv::tuple(output_width, output_height), lanczos);
}

const kv::Binding<start> start_binding{
    {kv::Way::Method, "LumenImageScale.start",
     R"(
        根据原图宽高比匹配最优分辨率并缩放。

        Returns:
            缩放后的 PIL Image 对象
        )",
     "Image"},
    {{"self"}},
};

const char kClassDoc[] = R"(
    将图像缩放到最接近外部图像模型偏好分辨率的尺寸（约一百万像素）。

    根据原图宽高比，从预定义的分辨率列表中选取最匹配的分辨率，
    使用 LANCZOS 算法进行高质量缩放。
    )";

void populate(PyObject* module, State&) {
  kv::add_global(module, "Image", kv::import_from(nullptr, "PIL", "Image"));
  kv::add_global(module, "Resampling", kv::import_from(nullptr, "PIL.Image", "Resampling"));

  Ref rows =
      Ref::steal(Py_BuildValue("[(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)(ii)]", 672, 1568, 688,
                               1504, 720, 1456, 752, 1392, 800, 1328, 832, 1248, 880, 1184, 944, 1104, 1024, 1024, 1104,
                               944, 1184, 880, 1248, 832, 1328, 800, 1392, 752, 1456, 720, 1504, 688, 1568, 672));
  Ref scale = kv::make_class(module, "LumenImageScale", kClassDoc, {{"PREFERED_LUMEN_RESOLUTIONS", rows}},
                             {init_binding, start_binding});
  kv::add_global(module, "LumenImageScale", scale);
}

}  // namespace

KV_MODULE(lumen, State, populate, "Scaling image objects to the nearest preferred resolution.")
