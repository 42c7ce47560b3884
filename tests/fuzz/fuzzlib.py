"""What the fuzz targets share: the libFuzzer entry, generated integers and
size lists, hostile objects whose conversion hooks misbehave, and the bound
that keeps a generated shape from allocating more than a few megabytes.

A target treats the exceptions it lists as the documented outcome of a bad
input; anything else that escapes it, or a sanitizer report, is a finding.
"""

import math
import sys
import warnings

import atheris


class Planted(Exception):
    """Raised by a hostile hook; it may surface wherever the hook's own
    exception is allowed to propagate."""


class Skip(Exception):
    """A call that raised as it must; nothing more to check."""


def call(fdp, fn, names, args):
    """Calls fn positionally or by keyword, or wrongly (an argument too many,
    an unknown keyword instead of the last): then it must raise TypeError,
    and Skip is raised."""
    style = fdp.ConsumeIntInRange(0, 9)
    if style < 7:
        return fn(*args)
    if style == 7:
        return fn(**dict(zip(names, args)))
    try:
        fn(*args, None) if style == 8 else fn(*args[:-1], bogus=1)
    except TypeError:
        raise Skip from None
    raise AssertionError("a wrong call was accepted")


# Outcomes of a bad input that every entry point may give.
EXPECTED = (TypeError, ValueError, OverflowError, MemoryError, Planted)

# A shape with more elements than this (4 MB of f32, where huge pages
# start) is only asked for when it cannot be allocated at all (2**45 f32
# elements is 128 TB, beyond any address space), so a request in between
# never really allocates gigabytes.
MAX_ELEMENTS = 1 << 20
UNALLOCATABLE = 1 << 45

EDGE_INTS = [0, 1, 2, 3, 4, 7, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**45, 2**62, 2**63 - 1, 2**63,
             2**64 - 1, 2**64, 2**100, -1, -2, -(2**31), -(2**63), -(2**64)]


def main(test_one_input):
    # __index__ returning an int subclass is accepted with a warning: keep
    # the output for findings.
    warnings.simplefilter("ignore", DeprecationWarning)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def run_actions(actions, outcomes=EXPECTED):
    """Fuzzes with inputs that each pick one of `actions` and run it on the
    rest of the input; the exceptions in `outcomes` are expected."""

    @atheris.instrument_func
    def test_one_input(raw):
        fdp = atheris.FuzzedDataProvider(raw)
        try:
            fdp.PickValueInList(actions)(fdp)
        except (Skip, *outcomes):
            pass

    main(test_one_input)


def gen_int(fdp):
    """Mostly small non-negative integers, sometimes an edge value or any
    signed 72-bit number."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind < 5:
        return fdp.ConsumeIntInRange(0, 6)
    if kind < 7:
        return fdp.PickValueInList(EDGE_INTS)
    return fdp.ConsumeInt(9)


class Hook:
    """Hands out `value` through a conversion hook, which need not give an
    int or a float; raises a fresh Planted when `value` is Planted."""

    def __init__(self, value):
        self.value = value

    def answer(self):
        if self.value is Planted:
            raise Planted(type(self).__name__)
        return self.value


class Index(Hook):
    __index__ = Hook.answer


class Float(Hook):
    __float__ = Hook.answer


class IntSub(int):
    pass


class Mutator(Index):
    """__index__ that changes the list it sits in, then answers."""

    def __init__(self, value, target, how):
        super().__init__(value)
        self.target, self.how = target, how

    def __index__(self):
        mutate(self.target, self.how)
        return self.value


def mutate(target, how):
    if how == 0:
        target.clear()
    elif how == 1:
        target.append(1)
    elif how == 2 and target:
        del target[0]
    elif how == 3:
        target.extend([1] * 64)


def gen_index(fdp, owner=None):
    """One size-like value, possibly wrapped in a hostile object, and what it
    converts to: an int, or None when the conversion must fail. A third item
    is False for a hook that changes `owner`, the list the value sits in."""
    value = gen_int(fdp)
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind < 9:
        return value, value, True
    if kind == 9:
        return Index(value), value, True
    if kind == 10:
        return IntSub(value), value, True
    if kind == 11:
        return bool(value & 1), value & 1, True
    if kind == 12:
        return Index(Planted), None, True
    if kind == 13:
        if fdp.ConsumeBool():  # accepted with a DeprecationWarning
            return Index(IntSub(value)), value, True
        return Index(fdp.PickValueInList([1.5, "3", None])), None, True
    if kind == 14 and owner is not None:
        return Mutator(value, owner, fdp.ConsumeIntInRange(0, 3)), value, False
    return fdp.PickValueInList([1.0, "2", None, b"", [1], 2j]), None, True


class LyingSequence:
    """A sequence whose __len__ says anything and whose items run out early
    or raise."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Planted("__getitem__")
        return self.items[i]


def gen_sizes(fdp, max_len=6):
    """A size-list argument, the conversions of its items (as gen_index; a
    None also stands for an argument that is no size list at all), and
    whether converting it gives exactly those (no hook that mutates, no lie)."""
    count = fdp.ConsumeIntInRange(0, max_len)
    holder, values, exact = [], [], True
    for _ in range(count):
        item, value, plain = gen_index(fdp, holder)
        holder.append(item)
        values.append(value)
        exact = exact and plain
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind < 8:
        return holder, values, exact
    if kind < 11:
        return tuple(holder), values, exact
    if kind == 11:
        length = fdp.PickValueInList([0, 1, count, 2**62, -1, 2**70, Planted("__len__"), 1.5])
        fail_at = fdp.ConsumeIntInRange(0, count + 1)
        return LyingSequence(holder, length, fail_at), values, False
    if kind == 12:  # not a sequence
        return iter(holder), values + [None], True
    if kind == 13:
        raw = bytes(v & 0xFF for v in values if v is not None)
        return (raw if fdp.ConsumeBool() else bytearray(raw)), list(raw), True
    if kind == 14:
        return range(count), list(range(count)), True
    return fdp.PickValueInList(["23", {2: 3}, {2, 3}, None, 3, 2.5]), [None], True


def allocation_is_safe(values, exact):
    """Whether a tensor of a shape that converts as gen_sizes says is either
    small or impossible (or its conversion fails before anything is made)."""
    if exact and any(v is None or v < 0 for v in values):
        return True
    sizes = [v for v in values if v is not None and v >= 0]
    if not exact:
        return math.prod(v for v in sizes if v) <= MAX_ELEMENTS
    total = math.prod(sizes)
    return total <= MAX_ELEMENTS or total >= UNALLOCATABLE
