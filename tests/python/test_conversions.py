"""Argument parsing and the conversions of arguments: the parser's messages,
size lists (`shape`) with their refusals and the naming of TypeErrors, and the
flattening of `data` into f32 values."""

import operator
import struct
import sys

import numpy as np
import pytest

from _nimbra import Tensor


def f32_bits(values):
    """The f32 bit patterns of floats that are exactly f32 values."""
    return list(struct.unpack(f"<{len(values)}I", struct.pack(f"<{len(values)}f", *values)))


def reference_bits(values):
    """Round through a double to the nearest f32, as the constructor must."""
    with np.errstate(over="ignore"):
        doubles = np.array([float(v) for v in values], dtype=np.float64)
        return doubles.astype(np.float32).view(np.uint32).tolist()


# ---- argument parsing ------------------------------------------------------

NEW = "Tensor.__new__()"


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: Tensor(), f"{NEW} missing 2 required positional arguments: 'data' and 'shape'"),
        (lambda: Tensor([1.0]), f"{NEW} missing 1 required positional argument: 'shape'"),
        (lambda: Tensor(shape=[1]), f"{NEW} missing 1 required positional argument: 'data'"),
        (lambda: Tensor(data=[1.0]), f"{NEW} missing 1 required positional argument: 'shape'"),
        (lambda: Tensor([1.0], [1], 3), f"{NEW} takes 2 positional arguments but 3 were given"),
        (lambda: Tensor(1, 2, 3, 4, x=1), f"{NEW} takes 2 positional arguments but 4 were given"),
        (lambda: Tensor([1.0], data=[1.0]), f"{NEW} got multiple values for argument 'data'"),
        (lambda: Tensor([1.0], [1], shape=[1]), f"{NEW} got multiple values for argument 'shape'"),
        (lambda: Tensor([1.0], [1], x=1), f"{NEW} got an unexpected keyword argument 'x'"),
        (lambda: Tensor(x=1), f"{NEW} got an unexpected keyword argument 'x'"),
        # The first offending key, in the order the keywords were given, decides.
        (lambda: Tensor([1.0], x=1, data=2), f"{NEW} got an unexpected keyword argument 'x'"),
        (lambda: Tensor([1.0], data=2, x=1), f"{NEW} got multiple values for argument 'data'"),
        (lambda: Tensor(**{"data": [1.0], "shape": [1], "Shape": 1}), f"{NEW} got an unexpected keyword argument 'Shape'"),
        (lambda: Tensor.zeros(), "Tensor.zeros() missing 1 required positional argument: 'shape'"),
        (lambda: Tensor.ones(), "Tensor.ones() missing 1 required positional argument: 'shape'"),
        # The plural stays even for one parameter.
        (lambda: Tensor.zeros([1], [2]), "Tensor.zeros() takes 1 positional arguments but 2 were given"),
        (lambda: Tensor.ones([1], [2], [3]), "Tensor.ones() takes 1 positional arguments but 3 were given"),
        (lambda: Tensor.zeros([1], shape=[1]), "Tensor.zeros() got multiple values for argument 'shape'"),
        (lambda: Tensor.ones(size=[1]), "Tensor.ones() got an unexpected keyword argument 'size'"),
        (lambda: Tensor.ones([1], size=[1]), "Tensor.ones() got an unexpected keyword argument 'size'"),
    ],
)
def test_parsing_messages(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text
    assert info.value.__cause__ is None


def test_parsing_happens_before_conversion():
    # Bad values everywhere: the parser's complaint comes first.
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given$"):
        Tensor("not a list", "not a shape", None)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'y'$"):
        Tensor("not a list", shape="12", y=None)


@pytest.mark.parametrize(
    "call",
    [
        lambda: Tensor(data=[1.0, 2.0], shape=[2]),
        lambda: Tensor(shape=[2], data=[1.0, 2.0]),
        lambda: Tensor([1.0, 2.0], shape=[2]),
        lambda: Tensor(*([1.0, 2.0], [2])),
    ],
)
def test_keywords_fill_parameters(call):
    t = call()
    assert t.tolist() == [1.0, 2.0]
    assert t.shape == [2]


def test_static_constructors_by_keyword():
    assert Tensor.zeros(shape=[2, 1]).shape == [2, 1]
    assert Tensor.ones(shape=()).tolist() == [1.0]


def test_tolist_takes_no_arguments():
    t = Tensor.zeros([1])
    with pytest.raises(TypeError):
        t.tolist(1)
    with pytest.raises(TypeError):
        t.tolist(x=1)


# ---- size lists --------------------------------------------------------------


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class SizeSeq:
    """A sequence by __getitem__/__len__ only."""

    def __init__(self, *items, length=None):
        self.items = items
        self.length = length

    def __len__(self):
        if self.length is None:
            raise RuntimeError("length unavailable")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class MyList(list):
    pass


class MyTuple(tuple):
    pass


SHAPE_MAKERS = {
    "list": list,
    "tuple": tuple,
    "list-subclass": MyList,
    "tuple-subclass": MyTuple,
    "sequence": lambda items: SizeSeq(*items, length=len(items)),
    "sequence-bad-len": lambda items: SizeSeq(*items),
}


@pytest.mark.parametrize("kind", SHAPE_MAKERS)
@pytest.mark.parametrize("make", [Tensor.zeros, Tensor.ones, lambda s: Tensor([0.0] * 6, s)])
def test_shape_containers_accepted(kind, make):
    shape = SHAPE_MAKERS[kind]([2, Idx(3), True])
    t = make(shape)
    assert t.shape == [2, 3, 1]
    assert type(t.shape[1]) is int


@pytest.mark.parametrize(
    "shape, want",
    [
        (range(2, 4), [2, 3]),
        (b"\x02\x03", [2, 3]),
        (bytearray(b"\x01\x04"), [1, 4]),
        ([], []),
        ((), []),
        (range(0), []),
        ([False, True], [0, 1]),
        (SizeSeq(length=5), []),  # the length only sizes the result
        (SizeSeq(4, length=0), [4]),
        ([2**64 - 1, 0], [2**64 - 1, 0]),
    ],
)
def test_shape_forms(shape, want):
    assert Tensor.zeros(shape).shape == want


REFUSED_SHAPES = [
    ("12", "argument 'shape': Can't extract `str` to `Vec`"),
    ("", "argument 'shape': Can't extract `str` to `Vec`"),
    (type("StrSub", (str,), {})("3"), "argument 'shape': Can't extract `str` to `Vec`"),
    (2, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
    (None, "argument 'shape': 'NoneType' object cannot be converted to 'Sequence'"),
    ({2: 3}, "argument 'shape': 'dict' object cannot be converted to 'Sequence'"),
    ({2, 3}, "argument 'shape': 'set' object cannot be converted to 'Sequence'"),
    (iter([2, 3]), "argument 'shape': 'list_iterator' object cannot be converted to 'Sequence'"),
    ((i for i in [2]), "argument 'shape': 'generator' object cannot be converted to 'Sequence'"),
    (2.0, "argument 'shape': 'float' object cannot be converted to 'Sequence'"),
]


@pytest.mark.parametrize("shape, text", REFUSED_SHAPES)
@pytest.mark.parametrize("make", [Tensor.zeros, Tensor.ones, lambda s: Tensor([1.0], s)], ids=["zeros", "ones", "new"])
def test_shape_refused(shape, text, make):
    with pytest.raises(TypeError) as info:
        make(shape)
    assert str(info.value) == text
    assert info.value.__cause__ is None


def test_conversion_text_uses_the_qualified_name():
    class Local:
        pass

    with pytest.raises(TypeError) as info:
        Tensor.zeros(Local())
    assert str(info.value) == (
        "argument 'shape': 'test_conversion_text_uses_the_qualified_name.<locals>.Local' "
        "object cannot be converted to 'Sequence'"
    )


@pytest.mark.parametrize("qualname", [42, None, AttributeError("hidden")], ids=["int", "None", "raises"])
def test_conversion_text_when_the_name_cannot_be_read(qualname):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if isinstance(qualname, BaseException):
                    raise qualname
                return qualname
            return super().__getattribute__(name)

    Odd = Meta("Odd", (), {})
    with pytest.raises(TypeError) as info:
        Tensor.zeros(Odd())
    assert str(info.value) == "argument 'shape': '<failed to extract type name>' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("kind", SHAPE_MAKERS)
@pytest.mark.parametrize(
    "entry, inner",
    [
        (2.0, lambda: operator.index(2.0)),
        (None, lambda: operator.index(None)),
        ("3", lambda: operator.index("3")),
        (Idx("3"), lambda: operator.index(Idx("3"))),
    ],
    ids=["float", "None", "str", "index-returns-str"],
)
def test_entry_without_index_protocol_is_named(kind, entry, inner):
    with pytest.raises(TypeError) as expected:
        inner()
    with pytest.raises(TypeError) as info:
        Tensor.zeros(SHAPE_MAKERS[kind]([1, entry]))
    assert str(info.value) == "argument 'shape': " + str(expected.value)


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("kind", SHAPE_MAKERS)
def test_named_type_error_keeps_the_cause(kind):
    cause = KeyError("root")
    inner = TypeError("inner text")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        Tensor.ones(SHAPE_MAKERS[kind]([RaisingIndex(inner)]))
    assert str(info.value) == "argument 'shape': inner text"
    assert info.value is not inner
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("kind", SHAPE_MAKERS)
@pytest.mark.parametrize("exc_type", [OverflowError, ValueError, ZeroDivisionError, KeyError])
def test_other_errors_pass_unchanged(kind, exc_type):
    raised = exc_type("as raised")
    with pytest.raises(exc_type) as info:
        Tensor.zeros(SHAPE_MAKERS[kind]([2, RaisingIndex(raised)]))
    assert info.value is raised


@pytest.mark.parametrize("kind", SHAPE_MAKERS)
@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100])
def test_out_of_range_entry_is_overflow_error(kind, value):
    for entry in (value, Idx(value)):
        with pytest.raises(OverflowError) as info:
            Tensor.zeros(SHAPE_MAKERS[kind]([1, entry]))
        assert not str(info.value).startswith("argument")


def test_iteration_errors():
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                raise TypeError("bad item")
            return 3

    with pytest.raises(TypeError) as info:
        Tensor.zeros(Broken())
    assert str(info.value) == "argument 'shape': bad item"

    class Failing(Broken):
        def __getitem__(self, i):
            raise LookupError("lookup")

    with pytest.raises(LookupError, match="^lookup$"):
        Tensor.zeros(Failing())

    class NotIterable:
        __iter__ = None

        def __getitem__(self, i):
            return 1

    with pytest.raises(TypeError) as info:
        Tensor.zeros(NotIterable())
    assert str(info.value).startswith("argument 'shape': ")
    assert "not iterable" in str(info.value)


def test_first_failing_entry_decides():
    with pytest.raises(TypeError, match="^argument 'shape': 'float' object"):
        Tensor.zeros([1, 2.0, -1])
    with pytest.raises(OverflowError):
        Tensor.zeros([1, -1, 2.0])


def test_shape_changed_by_its_own_entries():
    shape = [2, 3, 4]

    class Shrinks:
        def __index__(self):
            del shape[1:]
            return 5

    shape[0] = Shrinks()
    assert Tensor.zeros(shape).shape == [5]
    assert shape == [shape[0]]


def test_shape_errors_win_over_data_errors():
    with pytest.raises(TypeError, match="^argument 'shape': Can't extract"):
        Tensor("not a list", "12")
    with pytest.raises(TypeError, match="^argument 'shape': 'int' object"):
        Tensor([object()], 3)
    with pytest.raises(OverflowError):
        Tensor((1,), [-1])
    with pytest.raises(TypeError, match="^argument 'shape': "):
        Tensor([[1.0], "x"], [2.0])


# ---- data: the nested float list ----------------------------------------------


@pytest.mark.parametrize("data", [(1.0,), None, "1", {0: 1.0}, 1.0, range(1), b"\x01"])
def test_data_must_be_a_list(data):
    with pytest.raises(ValueError) as info:
        Tensor(data, [1])
    assert str(info.value) == "Data must be a list"


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no")


class WrongFloat:
    def __float__(self):
        return "1.0"


@pytest.mark.parametrize(
    "item",
    ["1", b"1", (1.0,), None, {}, object(), 1j, 10**400, -(10**400), Idx(10**400), RaisingFloat(), WrongFloat()],
    ids=lambda v: type(v).__name__,
)
def test_invalid_item(item):
    for data in ([item], [1.0, item], [[1.0], [item]]):
        with pytest.raises(ValueError) as info:
            Tensor(data, [len(data)])
        assert str(info.value) == "Invalid data type in list"
        assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "exc_type",
    [KeyboardInterrupt, SystemExit, MemoryError, RecursionError, type("Abort", (BaseException,), {})],
    ids=lambda t: t.__name__,
)
def test_interrupts_and_fatal_errors_propagate(exc_type):
    # Only an ordinary failure to convert becomes "Invalid data type in list",
    # or lets a size list be read without its length.
    raised = exc_type("as raised")

    class Number:
        def __float__(self):
            raise raised

    class Sizes(SizeSeq):
        def __len__(self):
            raise raised

    calls = [lambda data=data: Tensor(data, [len(data)]) for data in ([Number()], [1.0, Number()], [[1.0], [Number()]])]
    calls += [lambda: Tensor.zeros(Sizes(2)), lambda: Tensor([1.0, 2.0], Sizes(2))]
    for call in calls:
        with pytest.raises(exc_type) as info:
            call()
        assert info.value is raised


@pytest.mark.parametrize(
    "data, shape, want",
    [
        ([[1, 2], [3, 4]], [2, 2], [1.0, 2.0, 3.0, 4.0]),
        ([[1, 2], [3, 4, 5, 6]], [2, 3], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
        ([1.0, True, 2], [3], [1.0, 1.0, 2.0]),
        ([False], [], [0.0]),
        ([1, [2, [3, [4]]], 5], [5], [1.0, 2.0, 3.0, 4.0, 5.0]),
        ([[], [[]], 7, []], [1], [7.0]),
        ([[], []], [0], []),
        ([], [0, 3], []),
        ([Floaty(2.5), Idx(3)], [2], [2.5, 3.0]),
        ([MyList([1, 2]), MyList([MyList([3])])], [3], [1.0, 2.0, 3.0]),
        ([type("F", (float,), {})(1.5), type("I", (int,), {})(4)], [2], [1.5, 4.0]),
        ([2**24 + 1, -(2**24) - 1], [2], [16777216.0, -16777216.0]),
    ],
)
def test_flattening(data, shape, want):
    t = Tensor(data, shape)
    assert t.tolist() == want
    assert t.shape == shape


def test_data_list_subclass_is_read_by_position():
    class Odd(list):
        def __getitem__(self, i):
            return 99.0

        def __iter__(self):
            return iter([99.0] * len(self))

    assert Tensor(Odd([1.0, 2.0]), [2]).tolist() == [1.0, 2.0]
    assert Tensor([Odd([3.0])], [1]).tolist() == [3.0]


def test_list_subclass_with_float_is_a_number():
    class Scalar(list):
        def __float__(self):
            return 8.0

    assert Tensor([Scalar([1.0, 2.0, 3.0])], [1]).tolist() == [8.0]


F32_MAX = float(np.finfo(np.float32).max)

ROUNDING = [
    0.1, 1 / 3, -2.5, 0.0, -0.0, 1e-45, 7e-46, 1e-46, -1e-46, 1.17549435e-38, 1.1754942e-38,
    F32_MAX, -F32_MAX, F32_MAX + 2.0**103 - 2.0**75,  # still rounds down to the largest
    F32_MAX + 2.0**103,  # the tie rounds to even: infinity
    1e39, -1e39, 1e308, float("inf"), float("-inf"),
    2**53 + 1, 2**60 + 2**36 + 1,  # rounded to double first, then to f32
    16777217, -16777219, 123456789,
]


def test_rounding_to_f32_bits():
    t = Tensor(ROUNDING, [len(ROUNDING)])
    assert f32_bits(t.tolist()) == reference_bits(ROUNDING)
    got = t.tolist()
    assert got[ROUNDING.index(1e39)] == float("inf")
    assert got[ROUNDING.index(-1e39)] == float("-inf")
    # Through a double: 2**60 + 2**36 + 1 becomes 2**60 + 2**36, a tie that
    # rounds to even, not the nearer 2**60 + 2**37.
    assert got[ROUNDING.index(2**60 + 2**36 + 1)] == 2.0**60


def test_nan_keeps_its_sign():
    nan = float("nan")
    t = Tensor([nan, -nan, Floaty(-nan)], [3])
    assert f32_bits(t.tolist()) == reference_bits([nan, -nan, -nan])
    assert f32_bits(t.tolist())[1] >> 31 == 1


def test_conversion_changing_the_list_does_not_crash():
    data = []

    class Clears:
        def __float__(self):
            data.clear()
            return 5.0

    data.extend([Clears(), 1.0, 2.0])
    assert Tensor(data, [1]).tolist() == [5.0]

    data2 = []

    class Grows:
        def __float__(self):
            data2.extend([9.0] * 100)
            return 4.0

    data2.extend([Grows(), 1.0])
    # Only the items present when the walk began are read.
    assert Tensor(data2, [2]).tolist() == [4.0, 1.0]

    data3 = []

    class ClearsAndFails:
        def __float__(self):
            data3.clear()  # drops the list's reference to this very item
            raise TypeError("gone")

    data3.append(ClearsAndFails())
    with pytest.raises(ValueError, match="^Invalid data type in list$"):
        Tensor(data3, [1])

    inner = [1.0, 2.0]
    data4 = [Floaty(0.0), inner]

    class Replaces:
        def __float__(self):
            data4[1] = 3.0
            inner.clear()
            return 6.0

    data4[0] = Replaces()
    assert Tensor(data4, [2]).tolist() == [6.0, 3.0]


def test_self_containing_list_is_recursion_error():
    data = [1.0]
    data.append(data)
    with pytest.raises(RecursionError):
        Tensor(data, [1])
    a, b = [1.0], [2.0]
    a.append(b)
    b.append(a)
    with pytest.raises(RecursionError):
        Tensor(a, [2])
    sub = MyList([1.0])
    sub.append(sub)
    with pytest.raises(RecursionError):
        Tensor([sub], [1])


def test_nesting_depth():
    def nest(depth):
        data = [1.0]
        for _ in range(depth):
            data = [data]
        return data

    assert Tensor(nest(100), [1]).tolist() == [1.0]
    # How deep C code may recurse is the interpreter's choice and differs by
    # version (from 3.12 on it is counted apart from sys.getrecursionlimit()):
    # deep data is flattened or refused with RecursionError, never a crash.
    for depth in (sys.getrecursionlimit() + 100, 5_000, 20_000):
        try:
            assert Tensor(nest(depth), [1]).tolist() == [1.0]
        except RecursionError:
            pass
    with pytest.raises(RecursionError):
        Tensor(nest(1_000_000), [1])
    # The interpreter is still fine afterwards.
    assert Tensor(nest(10), [1]).tolist() == [1.0]


def test_length_checked_after_flattening():
    with pytest.raises(ValueError) as info:
        Tensor([1, 2, 3], [2, 2])
    assert str(info.value) == "Failed to create tensor: Invalid shape: Data length 3 doesn't match shape [2, 2] (numel=4)"
    # An invalid item is reported before the length.
    with pytest.raises(ValueError, match="^Invalid data type in list$"):
        Tensor([1, 2, None], [5])


# ---- texts that are not plain ASCII ---------------------------------------------


def test_non_ascii_texts_are_kept():
    with pytest.raises(TypeError) as info:
        Tensor.zeros([RaisingIndex(TypeError("größe ✗"))])
    assert str(info.value) == "argument 'shape': größe ✗"
    with pytest.raises(TypeError) as info:
        Tensor([1.0], [1], **{"größe": 1})
    assert str(info.value) == "Tensor.__new__() got an unexpected keyword argument 'größe'"

    class Ünïcode:
        pass

    with pytest.raises(TypeError) as info:
        Tensor.zeros(Ünïcode())
    assert "'test_non_ascii_texts_are_kept.<locals>.Ünïcode' object cannot be converted" in str(info.value)


@pytest.mark.parametrize("text", ["before\x00after", "lone \udc80 surrogate"], ids=["nul", "surrogate"])
def test_named_error_keeps_any_text(text):
    with pytest.raises(TypeError) as info:
        Tensor.zeros([RaisingIndex(TypeError(text))])
    assert str(info.value) == "argument 'shape': " + text


@pytest.mark.parametrize("key", ["a\x00b", "\udc80"], ids=["nul", "surrogate"])
def test_unexpected_keyword_keeps_any_name(key):
    with pytest.raises(TypeError) as info:
        Tensor([1.0], [1], **{key: 1})
    assert str(info.value) == f"Tensor.__new__() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize("qualname", ["A\x00B", "A\udc80"], ids=["nul", "surrogate"])
def test_conversion_text_keeps_any_type_name(qualname):
    class C:
        pass

    C.__qualname__ = qualname
    with pytest.raises(TypeError) as info:
        Tensor.zeros(C())
    assert str(info.value) == f"argument 'shape': '{qualname}' object cannot be converted to 'Sequence'"
