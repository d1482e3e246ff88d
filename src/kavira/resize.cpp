// kavira.resize: fit an image object into a box without distortion, centred
// on a canvas of a background colour.
#include "kavira/runtime.hpp"

namespace {

using kv::Ref;

struct State : kv::ModuleState {
  kv::Name Image{this, "Image"}, Resampling{this, "Resampling"}, LANCZOS{this, "LANCZOS"}, new_{this, "new"},
      size{this, "size"};
  kv::Name resize{this, "resize"}, paste{this, "paste"}, RGB{this, "RGB"};
  kv::Held two{this, kv::integer(2)};
};

Ref image_resize(State& s, PyObject* image, kv::Int target_w, kv::Int target_h, PyObject* bg_color) {
  // The canvas comes first, before the source is looked at.
  Ref canvas = kv::call_method(s.global(s.Image), s.new_, s.RGB, kv::tuple(target_w, target_h), bg_color);
  auto [s_w, s_h] = kv::unpack2(kv::getattr(image, s.size));
  Ref width_ratio = kv::true_divide(target_w, s_w);
  Ref height_ratio = kv::true_divide(target_h, s_h);
  Ref ratio = kv::min2(width_ratio, height_ratio);
  Ref new_w = kv::to_int(kv::multiply(s_w, ratio));
  Ref new_h = kv::to_int(kv::multiply(s_h, ratio));

  kv::Method resize = kv::method(image, s.resize);
  Ref lanczos = kv::getattr(s.global(s.Resampling), s.LANCZOS);
  Ref resized = resize(kv::tuple(new_w, new_h), lanczos);
  Ref paste_x = kv::floor_divide(kv::subtract(target_w, new_w), s.two);
  Ref paste_y = kv::floor_divide(kv::subtract(target_h, new_h), s.two);
  kv::Method paste = kv::method(canvas, s.paste);
  paste(resized, kv::tuple(paste_x, paste_y));
  return canvas;
}

const kv::Binding<image_resize> image_resize_binding{
    {kv::Way::Function, "image_resize",
     R"(
    将图片等比缩放并居中放置到指定尺寸的画布上。

    Args:
        image: PIL Image 对象
        target_w: 目标宽度
        target_h: 目标高度
        bg_color: 画布背景颜色，RGB 元组，默认为黑色 (0, 0, 0)

    Returns:
        缩放并居中后的 PIL Image 对象
    )",
     "Image"},
    {{"image", "Image"}, {"target_w", "int"}, {"target_h", "int"}, {"bg_color", nullptr, {0, 0, 0}}},
};

void populate(PyObject* module, State&) {
  kv::add_global(module, "Image", kv::import_from(nullptr, "PIL", "Image"));
  kv::add_global(module, "Resampling", kv::import_from(nullptr, "PIL.Image", "Resampling"));
  kv::add_functions(module, {image_resize_binding});
}

}  // namespace

KV_MODULE(resize, State, populate, "Letterbox fitting of image objects into a box.")
