"""One event recorder and the spies that write to it.

Every spy describes what it sees with labels numbered in order of creation,
so two runs that do the same things produce equal event lists.
"""

import enum
import hashlib
import io
import re
import types

from PIL import Image

try:
    import ahocorasick
    _WRAPPED = (Image.Image, io.BytesIO, re.Pattern, re.Match, ahocorasick.Automaton)
except ImportError:  # pragma: no cover
    _WRAPPED = (Image.Image, io.BytesIO, re.Pattern, re.Match)


class Recorder:
    def __init__(self):
        self.events = []
        self._count = 0

    def log(self, *event):
        self.events.append(event)

    def label(self, base):
        self._count += 1
        return f"{base}#{self._count}"

    def describe(self, value):
        if isinstance(value, Proxy):
            return object.__getattribute__(value, "_label")
        if isinstance(value, (bytes, bytearray)):
            return f"{type(value).__name__}[{len(value)}:{hashlib.sha1(value).hexdigest()[:10]}]"
        if isinstance(value, Image.Image):
            return f"Image({value.mode},{value.size},{hashlib.sha1(value.tobytes()).hexdigest()[:10]})"
        if isinstance(value, (tuple, list)):
            return type(value)(self.describe(v) for v in value)
        if isinstance(value, dict):
            return {k: self.describe(v) for k, v in value.items()}
        if isinstance(value, io.IOBase):
            return type(value).__name__
        return repr(value)

    def wrap(self, value, label, keep=()):
        """A proxy for what a spied call hands back, when it is worth watching."""
        if isinstance(value, _WRAPPED) or isinstance(value, types.ModuleType) \
                or (isinstance(value, enum.EnumMeta) and label.rsplit(".", 1)[-1] not in keep):
            return Proxy(value, self, self.label(label), keep)
        if callable(value) and not isinstance(value, Proxy) and label.rsplit(".", 1)[-1] not in keep:
            return Call(value, self, label, keep)
        return value


def _real(value):
    if isinstance(value, Proxy):
        return object.__getattribute__(value, "_real")
    if isinstance(value, tuple):
        return tuple(_real(v) for v in value)
    return value


class Proxy:
    """Stands in for a module or an object: logs each attribute read and delegates."""

    def __init__(self, real, recorder, label, keep=()):
        for name, value in (("_real", real), ("_rec", recorder), ("_label", label), ("_keep", keep)):
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        real, rec, label, keep = (object.__getattribute__(self, n) for n in ("_real", "_rec", "_label", "_keep"))
        rec.log("get", label, name)
        value = getattr(real, name)
        if name in keep:
            return value
        return rec.wrap(value, f"{label.split('#')[0]}.{name}", keep)

    def __bool__(self):
        rec = object.__getattribute__(self, "_rec")
        rec.log("bool", object.__getattribute__(self, "_label"))
        return bool(object.__getattribute__(self, "_real"))

    def __enter__(self):
        rec = object.__getattribute__(self, "_rec")
        rec.log("enter", object.__getattribute__(self, "_label"))
        object.__getattribute__(self, "_real").__enter__()
        return self

    def __exit__(self, *exc):
        rec = object.__getattribute__(self, "_rec")
        rec.log("exit", object.__getattribute__(self, "_label"), exc[0] and exc[0].__name__)
        return object.__getattribute__(self, "_real").__exit__(*exc)

    def __iter__(self):
        return iter(object.__getattribute__(self, "_real"))


class Call:
    """A spied callable: logs the call with its arguments, calls the real one."""

    def __init__(self, real, recorder, label, keep=()):
        self.real, self.rec, self.label, self.keep = real, recorder, label, keep

    def __call__(self, *args, **kwargs):
        self.rec.log("call", self.label, self.rec.describe(args), self.rec.describe(kwargs))
        result = self.real(*_real(args), **{k: _real(v) for k, v in kwargs.items()})
        return self.rec.wrap(result, f"{self.label}()", self.keep)


def number_type(*protocols, base=object):
    """A number-like class offering only the named conversions, each logged."""
    def make(protocol):
        def method(self):
            self.rec.log(protocol, self.tag)
            return {"__index__": int, "__int__": int, "__float__": float, "__bool__": bool}[protocol](self.value)
        return method

    def init(self, value, rec, tag="n"):
        object.__setattr__(self, "value", value)
        object.__setattr__(self, "rec", rec)
        object.__setattr__(self, "tag", tag)

    def getattribute(self, name):
        if name not in ("value", "rec", "tag"):
            object.__getattribute__(self, "rec").log("get", object.__getattribute__(self, "tag"), name)
        return object.__getattribute__(self, name)

    def new(cls, value, rec, tag="n"):
        return base.__new__(cls) if base is object else base.__new__(cls, value)

    namespace = {p: make(p) for p in protocols}
    namespace.update(__new__=new, __init__=init, __getattribute__=getattribute, __repr__=lambda self: f"<{self.tag}>")
    return type("Num_" + "_".join(p.strip("_") for p in protocols), (base,), namespace)


class Limit:
    """A class constant whose comparisons log and answer with a chosen object."""

    def __init__(self, value, rec, tag, answer=None):
        self.value, self.rec, self.tag, self.answer = value, rec, tag, answer

    def _compare(op):
        def method(self, other):
            self.rec.log(op, self.tag, repr(other))
            result = getattr(self.value, op)(other)
            return result if self.answer is None else self.answer(result)
        return method

    __lt__, __le__, __gt__ = _compare("__lt__"), _compare("__le__"), _compare("__gt__")
    __ge__, __eq__, __ne__ = _compare("__ge__"), _compare("__eq__"), _compare("__ne__")
    __hash__ = None

    def _arith(op):
        def method(self, other):
            self.rec.log(op, self.tag, repr(other))
            return getattr(self.value, op)(other)
        return method

    __mul__, __rmul__, __truediv__ = _arith("__mul__"), _arith("__rmul__"), _arith("__truediv__")
    __rtruediv__, __mod__, __rmod__ = _arith("__rtruediv__"), _arith("__mod__"), _arith("__rmod__")

    def __repr__(self):
        return f"<{self.tag}>"


def watched(cls, rec):
    """A subclass of cls whose instances log every attribute read and write."""
    def getattribute(self, name):
        rec.log("get", "self", name)
        return object.__getattribute__(self, name)

    def setattr_(self, name, value):
        rec.log("set", "self", name, rec.describe(value))
        object.__setattr__(self, name, value)

    return type("Watched" + cls.__name__, (cls,), {"__getattribute__": getattribute, "__setattr__": setattr_})


class Thing:
    """A plain object with logged attributes; callables among them log their calls."""

    def __init__(self, rec, tag, **attrs):
        object.__setattr__(self, "_rec", rec)
        object.__setattr__(self, "_tag", tag)
        object.__setattr__(self, "_attrs", attrs)

    def __getattribute__(self, name):
        rec, tag, attrs = (object.__getattribute__(self, n) for n in ("_rec", "_tag", "_attrs"))
        rec.log("get", tag, name)
        if name not in attrs:
            raise AttributeError(name)
        value = attrs[name]
        return Call(value, rec, f"{tag}.{name}") if callable(value) else value

    def __repr__(self):
        return f"<{object.__getattribute__(self, '_tag')}>"


def logged_str(rec):
    """A str subclass whose strip and lower log; results are plain str."""
    class Word(str):
        def strip(self, *args):
            rec.log("strip", str(self))
            return str.strip(self, *args)

        def lower(self):
            rec.log("lower", str(self))
            return str.lower(self)
    return Word
