// kavira.wordgate: the banned-word checker. Its word list is assembled from
// the built-in list, the caller's words and a word file, and compiled into
// one regular expression or, for long lists, an Aho-Corasick automaton.
#include <algorithm>
#include <vector>

#include "kavira/runtime.hpp"
#include "kavira/text.hpp"

namespace {

using kv::Ref;

struct State : kv::ModuleState {
  PyObject* module = nullptr;     // owns this state
  kv::Held unpickler_base{this};  // pickle.Unpickler at import
  kv::Held safe_unpickler{this};  // the refusing subclass built on it
  kv::Held len_builtin{this};

  // Module globals.
  kv::Name os{this, "os"}, pickle{this, "pickle"}, re{this, "re"}, PromptBanError{this, "PromptBanError"};
  kv::Name AC_THRESHOLD{this, "_AC_THRESHOLD"}, HAS_AC{this, "_HAS_AC"}, ahocorasick{this, "ahocorasick"},
      xor_{this, "_xor"};
  kv::Name load_default_words{this, "_load_default_words"}, open{this, "open"}, len{this, "len"};
  // Instance attributes and methods.
  kv::Name ban_word_file{this, "ban_word_file"}, ignore_case{this, "ignore_case"}, builtin_words{this, "builtin_words"};
  kv::Name use_default{this, "use_default"}, exclude_words{this, "exclude_words"}, banned_words{this, "banned_words"};
  kv::Name ban_regex{this, "_ban_regex"}, automaton{this, "_automaton"}, load_banned_words{this, "load_banned_words"};
  kv::Name load_from_file{this, "_load_from_file"}, build_engine{this, "_build_engine"},
      build_automaton{this, "_build_automaton"};
  kv::Name has_banned_word{this, "_has_banned_word"}, find_matched_words{this, "find_matched_words"};
  // Attributes of other objects.
  kv::Name path{this, "path"}, exists{this, "exists"}, splitext{this, "splitext"}, strip{this, "strip"},
      lower{this, "lower"};
  kv::Name load{this, "load"}, loads{this, "loads"}, dump{this, "dump"}, escape{this, "escape"},
      compile{this, "compile"};
  kv::Name IGNORECASE{this, "IGNORECASE"}, Automaton{this, "Automaton"}, add_word{this, "add_word"};
  kv::Name make_automaton{this, "make_automaton"}, iter{this, "iter"}, search{this, "search"}, findall{this, "findall"};
  kv::Name sort{this, "sort"}, Unpickler{this, "Unpickler"}, UnpicklingError{this, "UnpicklingError"};

  kv::Held pkl{this, kv::text(".pkl")}, pickle_ext{this, kv::text(".pickle")};
  kv::Held read_binary{this, kv::text("rb")}, read_text{this, kv::text("r")}, write_binary{this, kv::text("wb")};
  kv::Held bar{this, kv::text("|")}, comma{this, kv::text(",")}, zero{this, kv::integer(0)}, one{this, kv::integer(1)};
  kv::Held utf8{this, kv::text("utf-8-sig")};
  kv::Held banned_prefix{this, kv::text("违禁词: ")};
  kv::Held missing_file_prefix{this, kv::text("违禁词文件不存在: ")};
  kv::Held not_list_prefix{this, kv::text("pickle 文件内容必须是 list，当前类型: ")};
  kv::Held refused_global_prefix{this, kv::text("pickle 词表文件只能包含字符串和数字等普通数据，拒绝引用全局对象: ")};
  kv::Held refused_container_prefix{this, kv::text("pickle 词表文件只能包含字符串和数字等普通数据，拒绝容器元素: ")};
  kv::Held encoding_keyword{this, kv::names("encoding")};
  kv::Held flags_keyword{this, kv::names("flags")};
  kv::Held sort_keywords{this, kv::names("key", "reverse")};
  kv::Held ban_error_keywords{this, kv::names("error_msg", "data")};
};

Ref concat(kv::Borrowed a, kv::Borrowed b) { return Ref::steal(PyUnicode_Concat(a, b)); }

// item.strip(), natively for an exact str.
Ref strip_item(State& s, PyObject* item) {
  return PyUnicode_CheckExact(item) ? kv::strip(item) : kv::call_method(item, s.strip);
}

// ---------------------------------------------------------------------------
// _xor and _load_default_words

Ref xor_bytes(State&, kv::Bytes data, kv::Bytes key) {
  const Py_ssize_t n = PyBytes_GET_SIZE(data), key_len = PyBytes_GET_SIZE(key);
  if (n > 0 && key_len == 0) kv::raise(PyExc_ZeroDivisionError, "integer modulo by zero");
  Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, n));
  const char* in = PyBytes_AS_STRING(data);
  const char* k = PyBytes_AS_STRING(key);
  char* out = PyBytes_AS_STRING(result.get());
  // Key-length runs instead of a modulo per byte.
  for (Py_ssize_t start = 0; start < n; start += key_len) {
    const Py_ssize_t run = std::min(key_len, n - start);
    for (Py_ssize_t i = 0; i < run; ++i) out[start + i] = static_cast<char>(in[start + i] ^ k[i]);
  }
  return result;
}

const kv::Binding<xor_bytes> xor_binding{
    {kv::Way::Function, "_xor", "按重复密钥对字节串逐字节异或；对同一密钥再做一次即还原。", "bytes"},
    {{"data", "bytes"}, {"key", "bytes"}},
};

Ref load_default_words(State& s) {
  Ref words;
  // Interrupts and exits are not ours to swallow.
  kv::suppress({PyExc_Exception}, [&] {
    auto [data, key] = kv::import_from(s.globals, "_wordvault", "_ED", "_EK", 1);
    Ref raw = kv::call(s.global(s.xor_), data, key);
    Ref loaded = kv::call_method(s.global(s.pickle), s.loads, raw);
    if (kv::isinstance(loaded, &PyList_Type)) words = loaded;  // which reads __class__, as a type test does not
  });
  return words ? words : kv::new_list();
}

const kv::Binding<load_default_words> load_default_words_binding{
    {kv::Way::Function, "_load_default_words", "解密内置违禁词表；任何失败都返回空列表。", "List[str]"},
};

// ---------------------------------------------------------------------------
// Word files

// find_class of the word-file unpickler: a word file is plain data, so any
// reference to a class or function is refused before it can run.
// `raise pickle.UnpicklingError(f"...{module}.{name}")`: the class is read
// first, and it is called like any other, since it may be anything by now.
Ref refuse_global(State& s, PyObject*, PyObject* module, PyObject* name) {
  Ref error_type = kv::getattr(s.global(s.pickle), s.UnpicklingError);
  Ref module_text = Ref::steal(PyObject_Format(module, nullptr));
  Ref name_text = Ref::steal(PyObject_Format(name, nullptr));
  Ref where = Ref::steal(PyUnicode_FromFormat("%U.%U", module_text.get(), name_text.get()));
  kv::raise_object(kv::call(error_type, concat(s.refused_global_prefix, where)));
}

const kv::Binding<refuse_global> refuse_global_binding{
    {kv::Way::Method, "_WordFileUnpickler.find_class", "Refuse every global: a word file holds plain data only."},
    {{"self"}, {"module"}, {"name"}},
};

Ref make_safe_unpickler(PyObject* module, PyObject* base) {
  return kv::make_class(module, "_WordFileUnpickler", nullptr, {}, {refuse_global_binding}, base);
}

Ref read_pickle_words(State& s, PyObject* file_path) {
  // pickle.Unpickler is read at each load; the subclass made at import is
  // reused only while that is still the class it was built on.
  Ref base = kv::getattr(s.global(s.pickle), s.Unpickler);
  Ref unpickler_type = base.get() == s.unpickler_base.get() ? s.safe_unpickler : make_safe_unpickler(s.module, base);
  Ref data;
  kv::with(kv::call(s.global(s.open), file_path, s.read_binary),
           [&](PyObject* f) { data = kv::call_method(kv::call(unpickler_type, f), s.load); });
  if (!data) return kv::new_list();
  if (!kv::isinstance(data, &PyList_Type)) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(data.get())));
    kv::raise(PyExc_ValueError, concat(s.not_list_prefix, type_name));
  }
  Ref words = kv::new_list();
  Ref items = kv::iterate(data);
  while (Ref item = kv::next(items)) {
    // str() of a few hundred bytes of shared nested lists can be exabytes
    // long: a container is no word, whatever its contents.
    if (PyList_Check(item.get()) || PyTuple_Check(item.get()) || PyDict_Check(item.get()) ||
        PyAnySet_Check(item.get())) {
      Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(item.get())));
      kv::raise(PyExc_ValueError, concat(s.refused_container_prefix, type_name));
    }
    kv::append(words, kv::str(item));
  }
  return words;
}

Ref load_from_file(State& s, kv::Str file_path) {
  Ref parts = kv::call(kv::getattr(kv::getattr(s.global(s.os), s.path), s.splitext), file_path);
  Ref ext = kv::call_method(kv::getitem(parts, s.one), s.lower);
  if (kv::equal(ext, s.pkl) || kv::equal(ext, s.pickle_ext)) return read_pickle_words(s, file_path);
  Ref words = kv::new_list();
  // utf-8-sig: a leading byte-order mark is not part of the first word.
  Ref file = kv::call_kw(s.global(s.open), s.encoding_keyword, file_path, s.read_text, s.utf8);
  kv::with(file, [&](PyObject* f) {
    Ref lines = kv::iterate(f);
    while (Ref line = kv::next(lines)) kv::append(words, strip_item(s, line));
  });
  return words;
}

const kv::Binding<load_from_file> load_from_file_binding{
    {kv::Way::StaticMethod, "PromptBanChecker._load_from_file", "按扩展名读取一个违禁词文件，返回其中的原始词语。",
     "List[str]"},
    {{"file_path", "str"}},
};

Ref create_pickle_file(State& s, kv::List words, kv::Str output_path) {
  Ref cleaned = kv::new_list();
  Ref items = kv::iterate(words);
  while (Ref w = kv::next(items)) {
    if (!kv::truthy(w) || !kv::truthy(strip_item(s, w))) continue;
    kv::append(cleaned, strip_item(s, w));
  }
  kv::with(kv::call(s.global(s.open), output_path, s.write_binary),
           [&](PyObject* f) { kv::call_method(s.global(s.pickle), s.dump, cleaned, f); });
  return kv::none();
}

const kv::Binding<create_pickle_file> create_pickle_file_binding{
    {kv::Way::StaticMethod, "PromptBanChecker.create_pickle_file",
     "把词语列表去掉首尾空白与空项后写成 pickle 违禁词文件。", "None"},
    {{"words", "List[str]"}, {"output_path", "str"}},
};

// ---------------------------------------------------------------------------
// PromptBanChecker: loading

kv::Result init(State& s, PyObject* self, kv::OptionalStr ban_word_file, bool ignore_case,
                kv::OptionalList builtin_words, bool use_default, kv::OptionalList exclude_words) {
  kv::setattr(self, s.ban_word_file, ban_word_file);
  kv::setattr(self, s.ignore_case, kv::boolean(ignore_case));
  kv::setattr(self, s.builtin_words, kv::truthy(builtin_words) ? Ref::borrow(builtin_words) : kv::new_list());
  kv::setattr(self, s.use_default, kv::boolean(use_default));
  kv::setattr(self, s.exclude_words, kv::truthy(exclude_words) ? Ref::borrow(exclude_words) : kv::new_list());
  kv::setattr(self, s.banned_words, kv::new_list());
  kv::setattr(self, s.ban_regex, Py_None);
  kv::setattr(self, s.automaton, Py_None);
  // A missing word file is a caller's everyday mistake: passed on, not thrown.
  kv::Result loaded = kv::try_call_method(self, s.load_banned_words);
  return loaded.raised() ? loaded : kv::none();
}

const kv::Binding<init> init_binding{
    {kv::Way::Method, "PromptBanChecker.__init__",
     R"(
        :param ban_word_file: 违禁词文件路径（.pkl / .pickle 为 pickle 格式，其余为每行一词的 UTF-8 文本）
        :param ignore_case: 是否忽略大小写
        :param builtin_words: 调用方追加的违禁词列表
        :param use_default: 是否加载内置违禁词表
        :param exclude_words: 需要排除的词（整词比较）
        )"},
    {{"self"},
     {"ban_word_file", "Optional[str]", nullptr},
     {"ignore_case", "bool", true},
     {"builtin_words", "Optional[List[str]]", nullptr},
     {"use_default", "bool", true},
     {"exclude_words", "Optional[List[str]]", nullptr}},
};

// word_list.sort(key=len, reverse=True): longest first, ties kept in order.
Ref sort_longest_first(State& s, Ref word_list) {
  const Py_ssize_t n = PyList_GET_SIZE(word_list.get());
  std::vector<std::pair<Py_ssize_t, Ref>> keyed;
  keyed.reserve(static_cast<size_t>(n));
  Ref len = s.global(s.len);  // a module global of that name is the key Python's sort is given
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref word = kv::item(word_list, i);
    if (!PyUnicode_CheckExact(word) || len.get() != s.len_builtin.get()) {
      kv::call_method_kw(word_list, s.sort, s.sort_keywords, len, Py_True);
      return word_list;
    }
    keyed.emplace_back(PyUnicode_GET_LENGTH(word), std::move(word));
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  Ref sorted = kv::new_list();
  for (const auto& entry : keyed) kv::append(sorted, entry.second);
  return sorted;
}

kv::Result load_banned_words(State& s, PyObject* self) {
  Ref seen = kv::new_set();
  Ref word_list = kv::new_list();
  auto add_words = [&](kv::Borrowed words) {
    Ref items = kv::iterate(words);
    while (Ref item = kv::next(items)) {
      Ref w = strip_item(s, item);
      if (!kv::truthy(w)) continue;
      if (kv::check(PySet_Contains(seen, w))) continue;  // `w not in seen`, then seen.add(w): a new word hashes twice
      kv::check(PySet_Add(seen, w));
      kv::append(word_list, w);
    }
  };

  if (kv::truthy(kv::getattr(self, s.use_default))) add_words(kv::call(s.global(s.load_default_words)));
  add_words(kv::getattr(self, s.builtin_words));
  Ref path = kv::getattr(self, s.ban_word_file);
  if (kv::truthy(path)) {
    Ref exists = kv::call(kv::getattr(kv::getattr(s.global(s.os), s.path), s.exists), path);
    if (!kv::truthy(exists)) {
      Ref shown = Ref::steal(PyObject_Format(path, nullptr));
      return kv::fail(PyExc_FileNotFoundError, concat(s.missing_file_prefix, shown));
    }
    add_words(kv::call_method(self, s.load_from_file, path));
  }

  if (kv::truthy(kv::getattr(self, s.exclude_words))) {
    const bool fold = kv::truthy(kv::getattr(self, s.ignore_case));
    Ref exclude_set = kv::new_set();
    Ref items = kv::iterate(kv::getattr(self, s.exclude_words));
    while (Ref w = kv::next(items)) {
      if (!kv::truthy(strip_item(s, w))) continue;
      Ref cleaned = strip_item(s, w);
      Ref key = fold ? kv::call_method(cleaned, s.lower) : cleaned;
      kv::check(PySet_Add(exclude_set, key));
    }
    Ref kept = kv::new_list();
    Ref words = kv::iterate(word_list);
    while (Ref w = kv::next(words)) {
      Ref key = fold ? kv::call_method(w, s.lower) : w;
      if (!kv::check(PySet_Contains(exclude_set, key))) kv::append(kept, w);
    }
    word_list = kept;
  }

  word_list = sort_longest_first(s, word_list);
  kv::setattr(self, s.banned_words, word_list);
  kv::call_method(self, s.build_engine);
  return kv::none();
}

const kv::Binding<load_banned_words> load_banned_words_binding{
    {kv::Way::Method, "PromptBanChecker.load_banned_words",
     R"(
        按当前属性重新组装违禁词表并重建匹配引擎。
        失败时保留上一次加载的词表与引擎。
        )",
     "None"},
    {{"self"}},
};

// ---------------------------------------------------------------------------
// PromptBanChecker: engines and matching

// Attributes and globals are read at each mention, as the Python methods
// read them: a property or a rebinding in between is seen.
Ref build_engine(State& s, PyObject* self) {
  if (!kv::truthy(kv::getattr(self, s.banned_words))) {
    kv::setattr(self, s.ban_regex, Py_None);
    kv::setattr(self, s.automaton, Py_None);
    return kv::none();
  }
  Ref len = s.global(s.len);
  Ref count = kv::call(len, kv::getattr(self, s.banned_words));
  Ref threshold = s.global(s.AC_THRESHOLD);
  if (kv::check(PyObject_RichCompareBool(count, threshold, Py_GE)) && kv::truthy(s.global(s.HAS_AC))) {
    kv::setattr(self, s.automaton, kv::call_method(self, s.build_automaton));
    kv::setattr(self, s.ban_regex, Py_None);
    return kv::none();
  }

  Ref escaped = kv::new_list();
  Ref items = kv::iterate(kv::getattr(self, s.banned_words));
  while (Ref w = kv::next(items)) kv::append(escaped, kv::call_method(s.global(s.re), s.escape, w));
  Ref pattern = Ref::steal(PyUnicode_Join(s.bar, escaped));
  Ref flags = kv::truthy(kv::getattr(self, s.ignore_case)) ? kv::getattr(s.global(s.re), s.IGNORECASE) : s.zero;
  // The new pattern is complete before the old engine goes, so a failed
  // compile leaves the checker as it was, and a query between the two
  // assignments still finds an engine: the old automaton or the new pattern.
  Ref compiled = kv::call_method_kw(s.global(s.re), s.compile, s.flags_keyword, pattern, flags);
  kv::setattr(self, s.ban_regex, compiled);
  kv::setattr(self, s.automaton, Py_None);
  return kv::none();
}

const kv::Binding<build_engine> build_engine_binding{
    {kv::Way::Method, "PromptBanChecker._build_engine",
     "按词表大小选择并构建匹配引擎：正则表达式或 Aho-Corasick 自动机。", "None"},
    {{"self"}},
};

Ref build_automaton(State& s, PyObject* self) {
  Ref automaton = kv::call(kv::getattr(s.global(s.ahocorasick), s.Automaton));
  Ref items = kv::iterate(kv::getattr(self, s.banned_words));
  while (Ref word = kv::next(items)) {
    const bool fold = kv::truthy(kv::getattr(self, s.ignore_case));
    Ref key = !fold ? word : PyUnicode_CheckExact(word.get()) ? kv::lower(word) : kv::call_method(word, s.lower);
    kv::call_method(automaton, s.add_word, key, word);
  }
  kv::call_method(automaton, s.make_automaton);
  return automaton;
}

const kv::Binding<build_automaton> build_automaton_binding{
    {kv::Way::Method, "PromptBanChecker._build_automaton", "为当前词表构建 Aho-Corasick 自动机。"},
    {{"self"}},
};

// The text the automaton searches: lower-cased when matching ignores case.
Ref automaton_text(State& s, PyObject* self, PyObject* text) {
  return kv::truthy(kv::getattr(self, s.ignore_case)) ? kv::call_method(text, s.lower) : Ref::borrow(text);
}

Ref has_banned_word(State& s, PyObject* self, kv::Str text) {
  if (kv::truthy(kv::getattr(self, s.automaton))) {
    Ref search_text = automaton_text(s, self, text);
    Ref hits = kv::iterate(kv::call_method(kv::getattr(self, s.automaton), s.iter, search_text));
    return kv::boolean(static_cast<bool>(kv::next(hits)));
  }
  if (kv::truthy(kv::getattr(self, s.ban_regex)))
    return kv::boolean(kv::call_method(kv::getattr(self, s.ban_regex), s.search, text).get() != Py_None);
  return kv::boolean(false);
}

const kv::Binding<has_banned_word> has_banned_word_binding{
    {kv::Way::Method, "PromptBanChecker._has_banned_word", "文本中是否出现任一违禁词；命中第一个即返回。", "bool"},
    {{"self"}, {"text", "str"}},
};

// The distinct values `pick` finds in `iterable`, in the order first seen.
Ref distinct(PyObject* iterable, Ref (*pick)(PyObject*)) {
  Ref seen = kv::new_set();
  Ref result = kv::new_list();
  Ref items = kv::iterate(iterable);
  while (Ref item = kv::next(items)) {
    Ref value = pick(item);
    Py_ssize_t before = PySet_GET_SIZE(seen.get());  // one hash per value, as dict.fromkeys takes
    kv::check(PySet_Add(seen, value));
    if (PySet_GET_SIZE(seen.get()) > before) kv::append(result, value);
  }
  return result;
}

Ref find_matched_words(State& s, PyObject* self, kv::Str text) {
  if (kv::truthy(kv::getattr(self, s.automaton))) {
    // Every occurrence, overlapping ones too; each pair is (end index, entry).
    Ref search_text = automaton_text(s, self, text);
    Ref hits = kv::call_method(kv::getattr(self, s.automaton), s.iter, search_text);
    return distinct(hits, [](PyObject* pair) { return kv::unpack2(pair).second; });
  }
  if (!kv::truthy(kv::getattr(self, s.ban_regex))) return kv::new_list();
  Ref hit_words = kv::call_method(kv::getattr(self, s.ban_regex), s.findall, text);
  return distinct(hit_words, [](PyObject* word) { return Ref::borrow(word); });
}

const kv::Binding<find_matched_words> find_matched_words_binding{
    {kv::Way::Method, "PromptBanChecker.find_matched_words", "返回文本中出现的违禁词（去重，按引擎首次报告的顺序）。",
     "List[str]"},
    {{"self"}, {"text", "str"}},
};

kv::Result check(State& s, PyObject* self, kv::Str prompt) {
  if (!kv::truthy(kv::call_method(self, s.has_banned_word, prompt))) return Ref::borrow(prompt);
  Ref hit_words = kv::call_method(self, s.find_matched_words, prompt);
  Ref joined = Ref::steal(PyUnicode_Join(s.comma, hit_words));
  Ref message = concat(s.banned_prefix, joined);
  return kv::fail_with(kv::call_kw(s.global(s.PromptBanError), s.ban_error_keywords, message, hit_words));
}

const kv::Binding<check> check_binding{
    {kv::Way::Method, "PromptBanChecker.check",
     R"(
        检查提示词：不含违禁词时原样返回，否则抛出 PromptBanError。
        )",
     "str"},
    {{"self"}, {"prompt", "str"}},
};

// ---------------------------------------------------------------------------
// The module

const char kClassDoc[] = R"(
    提示词违禁词检查器。

    词表由内置词表、调用方词语与违禁词文件组装，去除首尾空白、去重、
    排除指定词后按长度从长到短排序；少于 50 个词时编译为一个正则表达式，
    否则（安装了 pyahocorasick 时）使用 Aho-Corasick 自动机。
    )";

void populate(PyObject* module, State& s) {
  s.module = module;
  kv::add_global(module, "os", kv::import("os"));
  Ref pickle = kv::import("pickle");
  kv::add_global(module, "pickle", pickle);
  kv::add_global(module, "re", kv::import("re"));
  kv::add_global(module, "List", kv::import_from(nullptr, "typing", "List"));
  kv::add_global(module, "Optional", kv::import_from(nullptr, "typing", "Optional"));
  kv::add_global(module, "Set", kv::import_from(nullptr, "typing", "Set"));
  kv::add_global(module, "PromptBanError", kv::import_from_svcfault("PromptBanError"));
  kv::add_global(module, "_AC_THRESHOLD", kv::integer(50));

  bool has_ac =
      kv::suppress({PyExc_ImportError}, [&] { kv::add_global(module, "ahocorasick", kv::import("ahocorasick")); });
  kv::add_global(module, "_HAS_AC", kv::boolean(has_ac));
  kv::add_functions(module, {xor_binding, load_default_words_binding});

  s.len_builtin = kv::import_from(nullptr, "builtins", "len");
  s.unpickler_base = kv::getattr(pickle, s.Unpickler);
  s.safe_unpickler = make_safe_unpickler(module, s.unpickler_base);

  Ref checker = kv::make_class(module, "PromptBanChecker", kClassDoc, {},
                               {init_binding, load_banned_words_binding, load_from_file_binding,
                                create_pickle_file_binding, build_engine_binding, build_automaton_binding,
                                has_banned_word_binding, find_matched_words_binding, check_binding});
  kv::add_global(module, "PromptBanChecker", checker);
}

}  // namespace

KV_MODULE(wordgate, State, populate, "Checking prompt text against a list of banned words.")
