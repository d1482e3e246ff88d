import functools
import os
import pickle
import re
from typing import List, Optional, Set

from svcfault import PromptBanError

from ._entry import exactly, unpack

_AC_THRESHOLD = 50
# A word file's elements that are refused rather than turned into words.
_CONTAINERS = (list, tuple, dict, set, frozenset)

try:
    import ahocorasick

    _HAS_AC = True
except ImportError:
    _HAS_AC = False


def _xor(data: bytes, key: bytes) -> bytes:
    data = exactly("data", data, bytes)
    key = exactly("key", key, bytes)
    key_len = len(key)
    return bytes(b ^ key[i % key_len] for i, b in enumerate(data))


def _load_default_words() -> List[str]:
    try:
        from kavira._wordvault import _ED, _EK

        raw = _xor(_ED, _EK)
        words = pickle.loads(raw)
        if isinstance(words, list):
            return words
    except Exception:
        pass
    return []


# One class kept, as the module keeps the one it made at import: a
# replaced pickle.Unpickler gets a class of its own, not one kept forever.
@functools.lru_cache(maxsize=1)
def _word_file_unpickler(base):
    # A word file holds plain data: naming any global would run code.
    class _WordFileUnpickler(base):
        def find_class(self, module, name):
            raise pickle.UnpicklingError(
                f"pickle 词表文件只能包含字符串和数字等普通数据，拒绝引用全局对象: {module}.{name}")
    return _WordFileUnpickler


class PromptBanChecker:
    def __init__(self, ban_word_file: Optional[str] = None, ignore_case: bool = True,
                 builtin_words: Optional[List[str]] = None, use_default: bool = True,
                 exclude_words: Optional[List[str]] = None):
        ban_word_file = exactly("ban_word_file", ban_word_file, str, optional=True)
        ignore_case = bool(ignore_case)
        builtin_words = exactly("builtin_words", builtin_words, list, optional=True)
        use_default = bool(use_default)
        exclude_words = exactly("exclude_words", exclude_words, list, optional=True)
        self.ban_word_file = ban_word_file
        self.ignore_case = ignore_case
        self.builtin_words = builtin_words if builtin_words else []
        self.use_default = use_default
        self.exclude_words = exclude_words if exclude_words else []
        self.banned_words: List[str] = []
        self._ban_regex = None
        self._automaton = None
        self.load_banned_words()

    def load_banned_words(self) -> None:
        seen: Set[str] = set()
        word_list: List[str] = []

        def _add_words(words):
            for item in words:
                w = item.strip()
                if w and w not in seen:
                    seen.add(w)
                    word_list.append(w)

        if self.use_default:
            _add_words(_load_default_words())
        _add_words(self.builtin_words)
        path = self.ban_word_file
        if path:
            if not os.path.exists(path):
                raise FileNotFoundError(f"违禁词文件不存在: {path}")
            _add_words(self._load_from_file(path))
        if self.exclude_words:
            if self.ignore_case:
                exclude_set = {w.strip().lower() for w in self.exclude_words if w.strip()}
                word_list = [w for w in word_list if w.lower() not in exclude_set]
            else:
                exclude_set = {w.strip() for w in self.exclude_words if w.strip()}
                word_list = [w for w in word_list if w not in exclude_set]
        word_list.sort(key=len, reverse=True)
        self.banned_words = word_list
        self._build_engine()

    @staticmethod
    def _load_from_file(file_path: str) -> List[str]:
        file_path = exactly("file_path", file_path, str)
        ext = os.path.splitext(file_path)[1].lower()
        if ext == ".pkl" or ext == ".pickle":
            unpickler = _word_file_unpickler(pickle.Unpickler)
            with open(file_path, "rb") as f:
                data = unpickler(f).load()
            if not isinstance(data, list):
                raise ValueError(f"pickle 文件内容必须是 list，当前类型: {type(data).__name__}")
            words = []
            for w in data:
                # By the type itself: isinstance() would read __class__.
                if issubclass(type(w), _CONTAINERS):
                    raise ValueError(f"pickle 词表文件只能包含字符串和数字等普通数据，拒绝容器元素: {type(w).__name__}")
                words.append(str(w))
            return words
        words = []
        # utf-8-sig: a byte-order mark would otherwise stick to the first word.
        with open(file_path, "r", encoding="utf-8-sig") as f:
            for line in f:
                words.append(line.strip())
        return words

    @staticmethod
    def create_pickle_file(words: List[str], output_path: str) -> None:
        words = exactly("words", words, list)
        output_path = exactly("output_path", output_path, str)
        cleaned = [w.strip() for w in words if w and w.strip()]
        with open(output_path, "wb") as f:
            pickle.dump(cleaned, f)

    def _build_engine(self) -> None:
        if not self.banned_words:
            self._ban_regex = None
            self._automaton = None
            return
        if len(self.banned_words) >= _AC_THRESHOLD and _HAS_AC:
            self._automaton = self._build_automaton()
            self._ban_regex = None
            return
        escape_words = [re.escape(w) for w in self.banned_words]
        pattern = "|".join(escape_words)
        flags = re.IGNORECASE if self.ignore_case else 0
        # Compiled before the old engine goes, so a failed compile keeps it.
        compiled = re.compile(pattern, flags=flags)
        self._ban_regex = compiled
        self._automaton = None

    def _build_automaton(self):
        auto = ahocorasick.Automaton()
        for word in self.banned_words:
            key = word.lower() if self.ignore_case else word
            auto.add_word(key, word)
        auto.make_automaton()
        return auto

    def _has_banned_word(self, text: str) -> bool:
        text = exactly("text", text, str)
        if self._automaton:
            search_text = text.lower() if self.ignore_case else text
            for _ in self._automaton.iter(search_text):
                return True
            return False
        if self._ban_regex:
            return self._ban_regex.search(text) is not None
        return False

    def find_matched_words(self, text: str) -> List[str]:
        text = exactly("text", text, str)
        if self._automaton:
            search_text = text.lower() if self.ignore_case else text
            return list(dict.fromkeys(unpack(hit, 2)[1] for hit in self._automaton.iter(search_text)))
        if not self._ban_regex:
            return []
        hit_words = self._ban_regex.findall(text)
        return list(dict.fromkeys(hit_words))

    def check(self, prompt: str) -> str:
        prompt = exactly("prompt", prompt, str)
        if self._has_banned_word(prompt):
            hit_words = self.find_matched_words(prompt)
            msg = "违禁词: " + ",".join(hit_words)
            raise PromptBanError(error_msg=msg, data=hit_words)
        return prompt
