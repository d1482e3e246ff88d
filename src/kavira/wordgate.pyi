"""Checking prompt text against a list of banned words."""

import re
from typing import Any, List, Optional

_AC_THRESHOLD: int
_HAS_AC: bool

def _xor(data: bytes, key: bytes) -> bytes: ...
def _load_default_words() -> List[str]: ...

class PromptBanChecker:
    ban_word_file: Optional[str]
    ignore_case: bool
    builtin_words: List[str]
    use_default: bool
    exclude_words: List[str]
    banned_words: List[str]
    _ban_regex: Optional[re.Pattern[str]]
    _automaton: Any
    def __init__(
        self,
        ban_word_file: Optional[str] = None,
        ignore_case: object = True,
        builtin_words: Optional[List[str]] = None,
        use_default: object = True,
        exclude_words: Optional[List[str]] = None,
    ) -> None: ...
    def load_banned_words(self) -> None: ...
    @staticmethod
    def _load_from_file(file_path: str) -> List[str]: ...
    @staticmethod
    def create_pickle_file(words: List[str], output_path: str) -> None: ...
    def _build_engine(self) -> None: ...
    def _build_automaton(self) -> Any: ...
    def _has_banned_word(self, text: str) -> bool: ...
    def find_matched_words(self, text: str) -> List[str]: ...
    def check(self, prompt: str) -> str: ...
