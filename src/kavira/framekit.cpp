// kavira.framekit: the standard ratio table, ratio parsing, and growing the
// shorter side of an encoded image by stretching it or by filling around it.
#include <algorithm>
#include <cmath>
#include <limits>

#include "kavira/numbers.hpp"
#include "kavira/runtime.hpp"
#include "kavira/text.hpp"
#include "pngwriter.hpp"

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
  kv::Name items{this, "items"}, RGBA{this, "RGBA"}, PNG{this, "PNG"}, fill{this, "fill"}, closed{this, "closed"};

  kv::Held mask_keyword{this, kv::names("mask")};
  kv::Held save_keywords{this, kv::names("format", "quality")};
  kv::Held fast_save_keywords{this, kv::names("format", "quality", "compress_level")};
  kv::Held quality{this, kv::integer(95)};
  kv::Held zero{this, kv::integer(0)}, one{this, kv::integer(1)}, two{this, kv::integer(2)};
  kv::Held infinity{this, kv::floating(std::numeric_limits<double>::infinity())};
  kv::Held ratio_pattern{this, kv::text("(\\d+):(\\d+)")};
  kv::Held format_error_prefix{this, kv::text("比例格式错误 ")};
  kv::Held format_error_suffix{this, kv::text("，示例：3:4")};
  kv::Held mode_error{this, kv::text("need_adjust 仅支持 resize / fill")};

  png::Writer writer{this};
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

const kv::Binding<init> init_binding{
    {kv::Way::Method, "Framekit.__init__", R"(
        :param proportion: 目标比例 "3:4"/"1:1"/""空字符串/None
        :param need_adjust: resize / fill
        :param fill_color: 填充背景色 RGBA，默认透明
        )"},
    {{"self"},
     {"proportion", "Optional[str]", nullptr},
     {"need_adjust", "str", "fill"},
     {"fill_color", nullptr, {255, 255, 255, 0}}},
};

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

kv::Result parse_ratio(State& s, kv::Str ratio_str) {
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
    return kv::fail(PyExc_ValueError, message);
  }
  return kv::tuple(width, height);
}

const kv::Binding<parse_ratio> parse_ratio_binding{
    {kv::Way::StaticMethod, "Framekit._parse_ratio", "解析 3:4 -> (3,4)", "Tuple[int, int]"},
    {{"ratio_str", "str"}},
};

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

const kv::Binding<get_closest_standard_ratio> get_closest_standard_ratio_binding{
    {kv::Way::Method, "Framekit._get_closest_standard_ratio",
     "\n        计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串\n        ", "str"},
    {{"self"}, {"width", "int"}, {"height", "int"}},
};

// ---------------------------------------------------------------------------
// Framekit.adjust_size

// int(x * scale), truncated toward zero.
Ref grow(PyObject* x, double scale) {
  long long v, grown;
  if (kv::small_int(x, v) && kv::truncate_native(static_cast<double>(v) * scale, grown)) return kv::integer(grown);
  return kv::to_int(kv::multiply(x, kv::floating(scale)));
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
    if (Py_TYPE(stream.get()) == reinterpret_cast<PyTypeObject*>(s.writer.bytes_io.get()) &&
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
  // Pillow's own canvas of one colour and its paste are left to the writer,
  // which blends the image onto the colour band by band as it encodes;
  // whoever takes the file otherwise makes both first.
  png::Paste deferred;
  Ref new_image, fill_color, position, mask;
  auto paste_now = [&] {
    if (result) return;
    result = kv::call(new_image, s.RGBA, new_size, fill_color);
    kv::call_kw(kv::getattr(result, s.paste), s.mask_keyword, working, position, mask);
  };
  if (kv::equal(kv::getattr(self, s.need_adjust), s.resize)) {
    kv::Method resize = kv::method(working.get(), s.resize);
    Ref lanczos = kv::getattr(kv::getattr(s.global(s.Image), s.Resampling), s.LANCZOS);
    result = resize(new_size, lanczos);
  } else if (kv::equal(kv::getattr(self, s.need_adjust), s.fill)) {
    new_image = kv::getattr(s.global(s.Image), s.new_);
    fill_color = kv::getattr(self, s.fill_color);
    // Only where the writer will take the file (the real BytesIO, a canvas
    // no smaller than the image): a canvas made later would come after
    // reads that the Python code makes once it exists.
    if (s.global(s.BytesIO).get() != s.writer.bytes_io.get() || expand_percent < 0 ||
        !s.writer.skips_canvas(new_image, fill_color, new_w, new_h, working, deferred))
      result = kv::call(new_image, s.RGBA, new_size, fill_color);
    Ref paste_x = kv::floor_divide(kv::subtract(new_w, kv::getattr(working, s.width)), s.two);
    Ref paste_y = kv::floor_divide(kv::subtract(new_h, kv::getattr(working, s.height)), s.two);
    Ref paste = result ? kv::getattr(result, s.paste) : Ref();
    position = kv::tuple(paste_x, paste_y);
    mask = kv::equal(kv::getattr(working, s.mode), s.RGBA) ? working : kv::none();
    if (result)
      kv::call_kw(paste, s.mask_keyword, working, position, mask);
    else if (!s.writer.defers_paste(working, mask, paste_x, paste_y, ori_w, ori_h, deferred))
      paste_now();
  } else {
    kv::raise(PyExc_ValueError, s.mode_error);
  }

  Ref format = kv::getattr(working, s.format);
  if (!kv::truthy(format)) format = Ref::borrow(s.PNG);
  Ref output;
  Ref bytes_io = s.global(s.BytesIO);
  if (bytes_io.get() == s.writer.bytes_io.get()) {
    // The real BytesIO runs no Python code, so making the stream can wait
    // until we know that it is needed.
    Ref save = result ? kv::getattr(result, s.save) : Ref();
    if (Ref encoded = s.writer.encode(result, format, save, deferred))
      return with_ratio ? kv::tuple(encoded, closest) : encoded;
    paste_now();
    if (!save) save = kv::getattr(result, s.save);
    output = kv::call(bytes_io);
    // Without isal, Pillow's fastest level is still four times its default.
    if (s.writer.wants_fast_save(result, format, save))
      kv::call_kw(save, s.fast_save_keywords, output, format, s.quality, s.one);
    else
      kv::call_kw(save, s.save_keywords, output, format, s.quality);
  } else {
    paste_now();
    output = kv::call(bytes_io);
    kv::call_method_kw(result, s.save, s.save_keywords, output, format, s.quality);
  }
  kv::call_method(output, s.seek, s.zero);
  Ref encoded = kv::call_method(output, s.read);
  return with_ratio ? kv::tuple(encoded, closest) : encoded;
}

const kv::Binding<adjust_size> adjust_size_binding{
    {kv::Way::Method, "Framekit.adjust_size", R"(
        调整图片尺寸
        1. proportion存在有效值：
           - 若与原图最接近标准比例不一致 → 直接返回原图不处理
           - 若一致 → 反转比例后执行resize/fill，生成对应比例画布填充
        2. proportion="" / None 且 need_adjust="fill"：
           - 仅最小边按百分比放大，不使用任何比例画布，输出尺寸=放大后图片尺寸
        3. proportion="" / None 且 need_adjust="resize"：沿用原有逻辑
        :param expand_percent: 放大百分比，传数字 10 代表放大10%，传0不缩放，负数缩小
        )"},
    {{"self"}, {"image_bytes", "bytes"}, {"return_origin_ratio", "bool", false}, {"expand_percent", "float", 10}},
};

// ---------------------------------------------------------------------------
// The module

void populate(PyObject* module, State& s) {
  kv::add_global(module, "BytesIO", kv::import_from(nullptr, "io", "BytesIO"));
  kv::add_global(module, "Optional", kv::import_from(nullptr, "typing", "Optional"));
  kv::add_global(module, "Tuple", kv::import_from(nullptr, "typing", "Tuple"));
  kv::add_global(module, "Image", kv::import_from(nullptr, "PIL", "Image"));
  Ref re = kv::import("re");
  kv::add_global(module, "re", re);
  s.re_match = kv::getattr(re, s.match);
  kv::add_global(module, "math", kv::import("math"));
  Ref image = s.global(s.Image);
  s.writer.populate(image);

  Ref ratios = Ref::steal(
      Py_BuildValue("[ssssssssss]", "1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"));
  Ref framekit =
      kv::make_class(module, "Framekit", nullptr, {{"STANDARD_RATIO_LIST", ratios}},
                     {init_binding, parse_ratio_binding, get_closest_standard_ratio_binding, adjust_size_binding});
  kv::add_global(module, "Framekit", framekit);
}

}  // namespace

KV_MODULE(framekit, State, populate, "Standard ratios and percentage growth of encoded images.")
