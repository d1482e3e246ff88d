import collections
import os
import pickle
import subprocess
import sys
import textwrap

import pytest
from svcfault import PromptBanError

import kavira._wordvault as vault
from kavira import wordgate
from kavira.wordgate import PromptBanChecker


def words(*entries, **options):
    return PromptBanChecker(use_default=False, builtin_words=list(entries), **options)


def test_builtin_list_loads_with_the_automaton():
    checker = PromptBanChecker()
    assert len(checker.banned_words) >= 300
    assert checker._automaton is not None and checker._ban_regex is None
    assert pickle.loads(wordgate._xor(vault._ED, vault._EK)) and len(vault._EK) == 32
    assert [n for n in vars(vault) if not n.startswith("__")] == ["_EK", "_ED"]


def test_module_namespace_order():
    names = [n for n in vars(wordgate) if not n.startswith("__")]
    assert names == ["os", "pickle", "re", "List", "Optional", "Set", "PromptBanError", "_AC_THRESHOLD",
                     "ahocorasick", "_HAS_AC", "_xor", "_load_default_words", "PromptBanChecker"]


def test_empty_checker():
    checker = PromptBanChecker(use_default=False)
    assert checker.banned_words == [] and checker._ban_regex is None and checker._automaton is None
    prompt = "anything at all"
    assert checker.check(prompt) is prompt and checker.find_matched_words(prompt) == []


@pytest.mark.parametrize(
    "given, expected",
    [(["  a ", "a", "", "   ", "bb"], ["bb", "a"]), (["ab", "cd", "xyz"], ["xyz", "ab", "cd"]),
     (["Foo", "foo"], ["Foo", "foo"]), (["\u3000词\u3000", "词"], ["词"])],
)
def test_cleaning_and_order(given, expected):
    assert words(*given).banned_words == expected


@pytest.mark.parametrize(
    "exclude, ignore_case, expected",
    [([" FOO "], True, ["bar"]), ([" FOO "], False, ["Foo", "foo", "bar"]), (["Foo"], False, ["foo", "bar"]),
     (["b"], True, ["Foo", "foo", "bar"])],
)
def test_exclusion_by_whole_words(exclude, ignore_case, expected):
    assert words("Foo", "foo", "bar", exclude_words=exclude, ignore_case=ignore_case).banned_words == expected


def test_engine_choice_at_the_threshold(monkeypatch):
    forty_nine = [f"w{i:02d}" for i in range(49)]
    assert words(*forty_nine)._ban_regex is not None
    fifty = words(*forty_nine, "w49")
    assert fifty._automaton is not None and fifty._ban_regex is None
    monkeypatch.setattr(wordgate, "_HAS_AC", False)
    fifty.load_banned_words()
    assert fifty._automaton is None and fifty._ban_regex is not None


def test_import_without_the_automaton_package(tmp_path):
    script = textwrap.dedent(
        """
        import sys
        sys.modules["ahocorasick"] = None
        from kavira import wordgate
        assert wordgate._HAS_AC is False and "ahocorasick" not in vars(wordgate)
        checker = wordgate.PromptBanChecker()
        assert checker._automaton is None and checker._ban_regex is not None
        assert checker.find_matched_words("pipe bomb") == ["pipe bomb"]
        """
    )
    subprocess.run([sys.executable, "-c", script], check=True, cwd=tmp_path)


def lowered_threshold(monkeypatch):
    monkeypatch.setattr(wordgate, "_AC_THRESHOLD", 1)


@pytest.mark.parametrize(
    "entries, text, regex, automaton",
    [(["abc", "bcd"], "abcd", ["abc"], ["abc", "bcd"]), (["abc", "ab"], "xabcx", ["abc"], ["abc", "ab"]),
     (["bad"], "A BAD day", ["BAD"], ["bad"]), (["bad"], "bad bad bad", ["bad"], ["bad"]),
     (["a.b", "a+b"], "axb a+b", ["a+b"], ["a+b"])],
)
def test_engines_report_differently(monkeypatch, entries, text, regex, automaton):
    assert words(*entries).find_matched_words(text) == regex
    lowered_threshold(monkeypatch)
    assert sorted(words(*entries).find_matched_words(text)) == sorted(automaton)


def test_case_rules(monkeypatch):
    assert words("bad", ignore_case=False).find_matched_words("A BAD day") == []
    lowered_threshold(monkeypatch)
    assert words("bad", ignore_case=False).find_matched_words("A BAD day") == []
    assert words("Foo", "foo").find_matched_words("FOO") == ["foo"]


def test_check_raises_with_message_and_data(monkeypatch):
    checker = words("bad", "worse")
    with pytest.raises(PromptBanError) as raised:
        checker.check("so bad, even worse, bad")
    assert raised.value.error_msg == "违禁词: bad,worse" and raised.value.data == ["bad", "worse"]

    made = []

    def record(**kwargs):
        made.append(kwargs)
        return ValueError("recorded")

    monkeypatch.setattr(wordgate, "PromptBanError", record)
    with pytest.raises(ValueError, match="recorded"):
        checker.check("bad")
    assert made == [{"error_msg": "违禁词: bad", "data": ["bad"]}]


def test_check_uses_overridden_queries():
    class Lenient(PromptBanChecker):
        def _has_banned_word(self, text):
            return False

    checker = Lenient(use_default=False, builtin_words=["bad"])
    assert checker.check("bad") == "bad"


@pytest.mark.parametrize(
    "call, message",
    [(lambda: PromptBanChecker(ban_word_file=3), "Argument 'ban_word_file' has incorrect type (expected str, got int)"),
     (lambda: PromptBanChecker(builtin_words=("a",)), "(expected list, got tuple)"),
     (lambda: PromptBanChecker(exclude_words="a"), "(expected list, got str)"),
     (lambda: words().check(None), "Argument 'prompt' has incorrect type (expected str, got NoneType)"),
     (lambda: words().find_matched_words(b"x"), "Argument 'text'"),
     (lambda: wordgate._xor("a", b"k"), "Argument 'data'"),
     (lambda: PromptBanChecker.create_pickle_file(("a",), "x"), "Argument 'words'"),
     (lambda: PromptBanChecker._load_from_file(None), "Argument 'file_path'")],
)
def test_wrong_types(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert message in str(raised.value)


def test_item_without_strip_fails_the_load():
    with pytest.raises(AttributeError):
        words("a", 3)


def test_caller_list_is_kept_and_reloaded():
    mine = ["one"]
    checker = PromptBanChecker(use_default=False, builtin_words=mine)
    assert checker.builtin_words is mine
    mine.append("three")
    checker.load_banned_words()
    assert checker.banned_words == ["three", "one"]


def test_word_files(tmp_path):
    text = tmp_path / "list.pickle.txt"
    text.write_bytes(b"\xef\xbb\xbfa\r\nb\r\n\r\n c \n#x\n")
    assert PromptBanChecker._load_from_file(str(text)) == ["a", "b", "", "c", "#x"]

    upper = tmp_path / "WORDS.PKL"
    upper.write_bytes(pickle.dumps([1, "b"], protocol=0))
    assert PromptBanChecker._load_from_file(str(upper)) == ["1", "b"]

    dotfile = tmp_path / ".pkl"
    dotfile.write_text("plain\n", encoding="utf-8")
    assert PromptBanChecker._load_from_file(str(dotfile)) == ["plain"]

    checker = PromptBanChecker(str(text), use_default=False, builtin_words=["b", "zz"])
    assert checker.banned_words == ["zz", "#x", "b", "a", "c"]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_every_protocol(tmp_path, protocol):
    path = tmp_path / "w.pkl"
    path.write_bytes(pickle.dumps(["词", 7, 2.5, "x"], protocol=protocol))
    assert PromptBanChecker._load_from_file(str(path)) == ["词", "7", "2.5", "x"]


def test_create_pickle_file(tmp_path):
    path = str(tmp_path / "out.pickle")
    assert PromptBanChecker.create_pickle_file([" a ", "", None, "b"], path) is None
    with open(path, "rb") as f:
        assert pickle.load(f) == ["a", "b"]
    assert PromptBanChecker._load_from_file(path) == ["a", "b"]


class Payload:
    def __reduce__(self):
        return (os.system, ("touch pwned",))


@pytest.mark.parametrize("payload", [[Payload()], [collections.OrderedDict()], Payload(), [len]])
def test_malicious_pickle_runs_nothing(tmp_path, monkeypatch, payload):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "evil.pkl"
    path.write_bytes(pickle.dumps(payload))
    with pytest.raises(pickle.UnpicklingError, match="拒绝引用全局对象"):
        PromptBanChecker._load_from_file(str(path))
    assert not (tmp_path / "pwned").exists()


def shared_lists(depth):
    x = []
    for _ in range(depth):
        x = [x, x]
    return x


@pytest.mark.parametrize("element, kind", [
    (shared_lists(20), "list"), ([], "list"), (("a",), "tuple"), ({"a": 1}, "dict"), ({"a"}, "set"),
    (frozenset(), "frozenset"),
])
@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_container_elements_are_refused(tmp_path, element, kind, protocol):
    if protocol < 4 and "set" in kind:
        pytest.skip("sets need a global before protocol 4")
    path = tmp_path / "nested.pkl"
    path.write_bytes(pickle.dumps(["fine", 3, element], protocol=protocol))
    with pytest.raises(ValueError, match=f"拒绝容器元素: {kind}$"):
        PromptBanChecker(ban_word_file=str(path), use_default=False)


def test_a_few_hundred_bytes_of_shared_lists_are_refused_at_once(tmp_path):
    # str() of this element would be about 2**60 characters long. A child
    # process, so that a load that tries it fails instead of eating the machine.
    path = tmp_path / "bomb.pkl"
    path.write_bytes(pickle.dumps([shared_lists(60)]))
    assert len(path.read_bytes()) < 400
    script = ("import sys\nfrom kavira.wordgate import PromptBanChecker\n"
              "try:\n    PromptBanChecker(ban_word_file=sys.argv[1], use_default=False)\n"
              "except ValueError as error:\n    print(error)\n")
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=10)
    assert done.stdout.strip() == "pickle 词表文件只能包含字符串和数字等普通数据，拒绝容器元素: list"


@pytest.mark.parametrize("error_class, raised, message", [
    # Called with the message like any class; what the call returns is raised.
    (lambda message: KeyError(message), KeyError, "拒绝引用全局对象: builtins.len"),
    (lambda message: 1, TypeError, "exceptions must derive from BaseException"),
    (lambda message: 1 / 0, ZeroDivisionError, "division by zero"),
])
def test_refusal_calls_the_error_class_read_now(tmp_path, monkeypatch, error_class, raised, message):
    path = tmp_path / "evil.pkl"
    path.write_bytes(pickle.dumps([len]))
    monkeypatch.setattr(pickle, "UnpicklingError", error_class)
    with pytest.raises(raised, match=message):
        PromptBanChecker._load_from_file(str(path))


def test_bad_files(tmp_path):
    with pytest.raises(FileNotFoundError, match="违禁词文件不存在: /no/such/file"):
        PromptBanChecker(ban_word_file="/no/such/file")
    assert PromptBanChecker(ban_word_file="", use_default=False).banned_words == []
    tup = tmp_path / "t.pkl"
    tup.write_bytes(pickle.dumps(("a",)))
    with pytest.raises(ValueError, match="pickle 文件内容必须是 list，当前类型: tuple$"):
        PromptBanChecker._load_from_file(str(tup))
    binary = tmp_path / "b.txt"
    binary.write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        PromptBanChecker._load_from_file(str(binary))
    with pytest.raises(pickle.UnpicklingError):
        broken = tmp_path / "broken.pkl"
        broken.write_bytes(b"not a pickle")
        PromptBanChecker._load_from_file(str(broken))


def test_failed_reload_keeps_previous_state(tmp_path):
    checker = words("old")
    before = checker.banned_words, checker._ban_regex
    checker.ban_word_file = str(tmp_path / "missing.txt")
    with pytest.raises(FileNotFoundError):
        checker.load_banned_words()
    assert (checker.banned_words, checker._ban_regex) == before
    assert checker.banned_words[0] == "old"


def test_default_words_failures_give_an_empty_list(monkeypatch):
    monkeypatch.setattr(wordgate, "_xor", lambda data, key: b"garbage")
    assert wordgate._load_default_words() == []
    assert PromptBanChecker(builtin_words=["x"]).banned_words == ["x"]
    monkeypatch.setattr(wordgate, "_xor", lambda data, key: pickle.dumps({"not": "a list"}))
    assert wordgate._load_default_words() == []


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass_through_the_default_loader(monkeypatch, exception):
    def interrupt(data, key):
        raise exception

    monkeypatch.setattr(wordgate, "_xor", interrupt)
    with pytest.raises(exception):
        wordgate._load_default_words()


def test_missing_or_broken_vault(monkeypatch):
    monkeypatch.setitem(sys.modules, "kavira._wordvault", None)
    assert PromptBanChecker(builtin_words=["x"]).banned_words == ["x"]
    monkeypatch.delitem(sys.modules, "kavira._wordvault")
    monkeypatch.setattr(vault, "_EK", b"")
    monkeypatch.setitem(sys.modules, "kavira._wordvault", vault)
    assert wordgate._load_default_words() == []


def test_xor():
    assert wordgate._xor(b"", b"") == b""
    assert wordgate._xor(wordgate._xor(b"hello", b"k3y"), b"k3y") == b"hello"
    with pytest.raises(ZeroDivisionError):
        wordgate._xor(b"a", b"")


class _Interrupting(pickle.Unpickler):
    def load(self):
        raise KeyboardInterrupt


def _undecodable(path):
    path.write_bytes(b"ok\n\xff\xfe\n")
    return UnicodeDecodeError


def _broken_pickle(path):
    path.write_bytes(b"not a pickle")
    return pickle.UnpicklingError


def _tuple_pickle(path):
    path.write_bytes(pickle.dumps(("a",)))
    return ValueError


def _container_item(path):
    path.write_bytes(pickle.dumps(["a", ["b"]]))
    return ValueError


def _interrupted_pickle(path, monkeypatch):
    path.write_bytes(pickle.dumps(["a"]))
    monkeypatch.setattr(pickle, "Unpickler", _Interrupting)
    return KeyboardInterrupt


@pytest.mark.parametrize(
    "name, prepare",
    [
        ("w.txt", lambda path: path.write_text("a\nb\n", encoding="utf-8")),
        ("w.pkl", lambda path: path.write_bytes(pickle.dumps(["a", "b"]))),
        ("bad.txt", _undecodable),
        ("bad.pkl", _broken_pickle),
        ("tuple.pkl", _tuple_pickle),
        ("nested.pkl", _container_item),
        ("stop.pkl", _interrupted_pickle),
    ],
    ids=["text", "pickle", "undecodable", "broken-pickle", "tuple", "container-item", "interrupted"],
)
def test_word_files_closed_after_reading(tmp_path, monkeypatch, name, prepare):
    # Every file the loader opens is checked directly once the call is over,
    # success or failure: a ResourceWarning would come only when the file is
    # collected, which may be during a later test, and a warning seen here
    # could as well be an earlier test's garbage collected late.
    path = tmp_path / name
    wants_monkeypatch = prepare.__code__.co_argcount == 2
    expected = prepare(path, monkeypatch) if wants_monkeypatch else prepare(path)
    opened = []

    def recording_open(*args, **kwargs):
        opened.append(open(*args, **kwargs))
        return opened[-1]

    monkeypatch.setattr(wordgate, "open", recording_open, raising=False)
    if isinstance(expected, type):
        with pytest.raises(expected):
            PromptBanChecker._load_from_file(str(path))
    else:
        assert PromptBanChecker._load_from_file(str(path)) == ["a", "b"]
    assert len(opened) == 1
    assert opened[0].closed
