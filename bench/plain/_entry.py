"""Argument checks made on entry, as the native functions make them."""


def _refuse(name, expected, value, exact=None):
    got = type(value).__name__
    message = f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    if exact is not None and isinstance(value, exact):
        message += f". Note that subclasses are refused: pass an object of exactly type {expected}"
    raise TypeError(message)


def as_int(name, value):
    if type(value) is int:
        return value
    kind = type(value)
    if hasattr(kind, "__index__") or hasattr(kind, "__int__"):
        return int(value)
    _refuse(name, "int", value)


def as_float(name, value):
    if type(value) is float:
        return value
    if issubclass(type(value), float):
        return float.__float__(value)  # a C double: the stored value, whatever its class's __float__ says
    kind = type(value)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(value)
    _refuse(name, "float", value)


def exactly(name, value, kind, optional=False):
    if type(value) is kind or (optional and value is None):
        return value
    _refuse(name, kind.__name__, value, kind)


def unpack(values, count):
    """Sequence unpacking with the messages this system reports."""
    try:
        items = iter(values)
    except TypeError:
        # Only what has no way to iterate gets this message; an __iter__'s own error passes on.
        if hasattr(type(values), "__iter__") or hasattr(type(values), "__getitem__"):
            raise
        raise TypeError(f"cannot unpack non-iterable {type(values).__name__} object") from None
    result = []
    for item in items:
        if len(result) == count:
            raise ValueError(f"too many values to unpack (expected {count})")
        result.append(item)
    if len(result) < count:
        raise ValueError(f"need more than {len(result)} value{'' if len(result) == 1 else 's'} to unpack")
    return result
