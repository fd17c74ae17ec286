"""Reading the integer-keyed edge dict: accepted forms, errors and their order,
internal failures and reference hygiene. Exercised through floyd_warshall_u32."""

import collections
import operator
import subprocess
import sys
import textwrap

import pytest

from helpers import OUT_OF_RANGE, U32_MAX, StrictDict, assert_reference_counts_kept, entry_notes

TOO_LARGE_FOR_C_LONG = "Python int too large to convert to C long"


def index_message(obj):
    """The interpreter's own message for an object that is not an integer."""
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


class Idx:
    """Integer-like object that is not an int (distinct instances never compare
    equal). Converting it logs its name, runs `action`, then raises `exc` if given."""

    def __init__(self, value, log=None, name=None, action=None, exc=None):
        self.value, self.log, self.name, self.action, self.exc = value, log, name, action, exc

    def __index__(self):
        if self.log is not None:
            self.log.append(self.name)
        if self.action:
            self.action()
        if self.exc is not None:
            raise self.exc
        return self.value


def raising(exc, log=None, name=None):
    return Idx(0, log, name, exc=exc)


class Outer:
    class Inner:
        pass


# ---------------------------------------------------------------- accepted forms


class LyingTuple(tuple):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 77

    def __iter__(self):
        return iter((77, 77))


class IntWithIndex(int):
    def __index__(self):
        raise AssertionError("an int subclass is converted by its int value")


Point = collections.namedtuple("Point", "src dst")
SAME_EDGES = [((1, 2), 3), ((2, 4), 1)]


@pytest.mark.parametrize(
    "edges",
    [
        StrictDict(SAME_EDGES),
        collections.OrderedDict(SAME_EDGES),
        collections.defaultdict(int, SAME_EDGES),
        {Point(1, 2): 3, Point(src=2, dst=4): 1},
        {LyingTuple((1, 2)): 3, LyingTuple((2, 4)): 1},
        {(Idx(1), Idx(2)): Idx(3), (Idx(2), Idx(4)): Idx(1)},
        {(IntWithIndex(1), IntWithIndex(2)): IntWithIndex(3), (2, 4): IntWithIndex(1)},
    ],
    ids=["strict-dict-subclass", "ordereddict", "defaultdict", "namedtuple", "tuple-subclass",
         "index-objects", "int-subclass"],
)
def test_accepted_forms(fw, edges):
    assert fw(edges) == {(1, 1): 0, (2, 2): 0, (4, 4): 0, (1, 2): 3, (2, 4): 1, (1, 4): 4}


@pytest.mark.parametrize("later", [3, 5])
def test_later_entry_wins_for_the_same_pair(fw, later):
    first, second = (Idx(1), Idx(2)), (Idx(1), Idx(2))
    assert first != second
    assert fw({first: 8 - later, second: later})[(1, 2)] == later


# ---------------------------------------------------------------- errors

PREFIX = "argument 'edges': "
LENGTH_3 = "expected tuple of length 2, but got tuple of length 3"


class ReturnsStr:
    def __index__(self):
        return "nope"


@pytest.mark.parametrize(
    "edges,exc_type,message",
    [
        (None, TypeError, PREFIX + "'NoneType' object cannot be converted to 'PyDict'"),
        (Outer.Inner(), TypeError, PREFIX + "'Outer.Inner' object cannot be converted to 'PyDict'"),
        (type.__dict__, TypeError, PREFIX + "'mappingproxy' object cannot be converted to 'PyDict'"),
        ({7: 1}, TypeError, PREFIX + "'int' object cannot be converted to 'PyTuple'"),
        ({"ab": 1}, TypeError, PREFIX + "'str' object cannot be converted to 'PyTuple'"),
        ({Outer.Inner(): 1}, TypeError, PREFIX + "'Outer.Inner' object cannot be converted to 'PyTuple'"),
        ({(1, 2, 3): 5}, ValueError, LENGTH_3),
        ({LyingTuple((1, 2, 3)): 5}, ValueError, LENGTH_3),
        ({(1,): 5}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ({(): 5}, ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ({(1, 2): -1}, OverflowError, OUT_OF_RANGE),
        ({(1, 2): U32_MAX + 1}, OverflowError, OUT_OF_RANGE),
        ({(1, 2): 2**63 - 1}, OverflowError, OUT_OF_RANGE),
        ({(1, 2): -(2**63)}, OverflowError, OUT_OF_RANGE),
        ({(-1, 2): 1}, OverflowError, OUT_OF_RANGE),
        ({(1, U32_MAX + 1): 1}, OverflowError, OUT_OF_RANGE),
        ({(1, 2): Idx(-1)}, OverflowError, OUT_OF_RANGE),
        ({(1, 2): 2**64}, OverflowError, TOO_LARGE_FOR_C_LONG),
        ({(1, 2): 2**63}, OverflowError, TOO_LARGE_FOR_C_LONG),
        ({(-(2**63) - 1, 2): 1}, OverflowError, TOO_LARGE_FOR_C_LONG),
        ({(1, 2): 1.5}, TypeError, PREFIX + index_message(1.5)),
        ({(1, 2): "3"}, TypeError, PREFIX + index_message("3")),
        ({(1, 2): None}, TypeError, PREFIX + index_message(None)),
        ({(1.0, 2): 1}, TypeError, PREFIX + index_message(1.0)),
        ({(1, "2"): 1}, TypeError, PREFIX + index_message("2")),
        ({(None, 2): 1}, TypeError, PREFIX + index_message(None)),
        ({(1, 2): ReturnsStr()}, TypeError, PREFIX + index_message(ReturnsStr())),
        # Entries are examined in dict order ...
        ({(1, 2): -1, (1, 2, 3): 5}, OverflowError, OUT_OF_RANGE),
        ({(1, 2, 3): 5, (1, 2): -1}, ValueError, LENGTH_3),
        ({(1, 2): 1, 7: 1, (3, 4): "x"}, TypeError, PREFIX + "'int' object cannot be converted to 'PyTuple'"),
        # ... and within one entry: key type, length, first element, second element, value.
        ({(1.5, "a", None): "x"}, ValueError, LENGTH_3),
        ({(-1, "b"): "x"}, OverflowError, OUT_OF_RANGE),
        ({("a", -1): -1}, TypeError, PREFIX + index_message("a")),
        ({(1, -1): "x"}, OverflowError, OUT_OF_RANGE),
        ({(1, 2**64): -1}, OverflowError, TOO_LARGE_FOR_C_LONG),
        ({(1, 2): "x"}, TypeError, PREFIX + index_message("x")),
    ],
)
def test_conversion_errors(fw, edges, exc_type, message):
    with pytest.raises(BaseException) as info:
        fw(edges)
    err = info.value
    assert type(err) is exc_type, repr(err)
    assert err.args == (message,)
    if exc_type is TypeError:
        assert err.__cause__ is None and err.__suppress_context__ is True
    # A note names the entry at fault: the first that fails alone, with its
    # value when the key alone would pass.
    assert getattr(err, "__notes__", None) == entry_notes(fw, edges)



def test_conversion_order_and_early_stop(fw):
    log = []
    # One object as the first item of both keys: converted for each (only an exact int is remembered).
    first = Idx(1, log, "a1")
    fw({(first, Idx(2, log, "a2")): Idx(3, log, "av"), (first, Idx(3, log, "b2")): Idx(4, log, "bv")})
    assert log == ["a1", "a2", "av", "a1", "b2", "bv"]

    for bad_at, expected in [(0, ["a1"]), (1, ["a1", "a2"]), (2, ["a1", "a2", "av"])]:
        log.clear()
        parts = [Idx(1, log, "a1"), Idx(2, log, "a2"), Idx(3, log, "av")]
        parts[bad_at] = raising(KeyError("bad"), log, parts[bad_at].name)
        with pytest.raises(KeyError):
            fw({(parts[0], parts[1]): parts[2], (Idx(5, log, "n1"), 6): 7})
        assert log == expected


class CustomError(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


class BaseError(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [CustomError, TypeErrorSubclass, BaseError, ArithmeticError])
@pytest.mark.parametrize("where", [0, 1, 2])
def test_exception_from_index_passes_through_unchanged(fw, exc_type, where):
    raised = exc_type("from __index__")
    parts = [1, 2, 3]
    parts[where] = raising(raised)
    with pytest.raises(BaseException) as info:
        fw({(parts[0], parts[1]): parts[2]})
    assert info.value is raised
    assert info.value.args == ("from __index__",)


def test_type_error_from_index_is_prefixed_and_keeps_its_cause(fw):
    cause = KeyError("root")
    err = TypeError("inner problem")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        fw({(1, raising(err)): 1})
    wrapped = info.value
    assert wrapped is not err and type(wrapped) is TypeError
    assert wrapped.args == (PREFIX + "inner problem",)
    assert wrapped.__cause__ is cause
    assert wrapped.__suppress_context__ is True


# ---------------------------------------------------------------- internal failures


def _grow(target):
    return lambda: target.__setitem__((len(target) + 1000, 0), 0)


def _shrink(target):
    return lambda: target.popitem()


def _swap_walked_key(target):
    # Delete the entry being walked and add a new one: the size stays the same,
    # but the walk now yields one entry more than it started with.
    def action():
        del target[next(iter(target))]
        target[(1000, 1001)] = 0

    return action


@pytest.mark.parametrize(
    "make_action,hook_last,message",
    [
        (_grow, False, "dictionary changed size during iteration"),
        (_grow, True, "dictionary changed size during iteration"),
        (_shrink, False, "dictionary changed size during iteration"),
        (_swap_walked_key, False, "dictionary keys changed during iteration"),
    ],
    ids=["grow", "grow-at-last-entry", "shrink", "keys-swapped"],
)
def test_dict_mutated_during_walk_raises_panic(fw, expect_panic, panic_class, capfd, make_action, hook_last, message):
    edges = {(1, 2): 3} if hook_last else {}
    edges[(10, 11)] = Idx(5, action=make_action(edges))
    if not hook_last:
        edges[(12, 13)] = 1
    capfd.readouterr()
    err = expect_panic(fw, edges)
    _, stderr = capfd.readouterr()
    assert stderr.strip(), "an internal failure writes a report to standard error"
    assert type(err) is panic_class
    assert type(err).__name__ == "PanicException"
    assert type(err).__module__ == "pyo3_runtime"
    assert type(err).__bases__ == (BaseException,) and not isinstance(err, Exception)
    assert err.args == (message,)
    # The module keeps working afterwards.
    assert fw({(1, 2): 3})[(1, 2)] == 3


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "arg,message",
    [("boom", "boom"), (Unprintable(), "Unwrapped panic from Python code")],
)
def test_panic_raised_by_index_is_resumed(fw, expect_panic, panic_class, capfd, arg, message):
    original = panic_class(arg)
    capfd.readouterr()
    err = expect_panic(fw, {(1, raising(original)): 1})
    _, stderr = capfd.readouterr()
    assert type(err) is panic_class
    assert err is not original
    assert err.args == (message,)
    assert "Python stack trace below:" in stderr
    assert "__index__" in stderr  # the fetched exception is printed with its traceback


# ---------------------------------------------------------------- reference counts


def _refcount_cases():
    a, b = Idx(70001), Idx(70002)
    k1, k2 = (a, int("80001")), (int("80002"), b)
    v1, v2 = int("90001"), Idx(90002)
    # Runs of keys that share their first item, an exact int or not.
    f1, f2, f3 = int("80010"), int("80011"), int("80012")
    return {
        "rows": {(f1, int("80013")): v1, (f1, f2): 2, (f2, f1): 3, (Idx(80014), f3): 4, (f3, 5): 6, (f2, 7): 8},
        "success": {k1: v1, k2: v2},
        "overflow-in-second-entry": {k1: v1, (int("80003"), 5): -int("90003")},
        "bad-key-type": {k1: v1, int("80004"): v2},
        "bad-key-length": {k1: v1, (a, b, int("80005")): v2},
        "type-error-value": {k2: v1, k1: float("1.5")},
        "raising-index": {k1: v2, (raising(CustomError), b): v1},
        "panic": {k1: v1, k2: Idx(1)},
    }


@pytest.mark.parametrize("case", list(_refcount_cases()))
def test_reference_counts_unchanged(fw, case):
    edges = _refcount_cases()[case]
    if case == "panic":
        edges[next(reversed(edges))].action = lambda: edges.setdefault((len(edges), 0), 0)
    objs = [edges]
    for key, value in edges.items():
        objs += [key, value, *(key if isinstance(key, tuple) else ())]
    assert_reference_counts_kept(objs, lambda: fw(edges))


# ---------------------------------------------------------------- memory exhaustion


@pytest.mark.address_space_limit
def test_running_out_of_memory_raises_memory_error():
    code = """
        import resource, velkor
        edges = {(i, i + 1): 1 for i in range(600_000)}
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + 4 * 2**20, hard))
        try:
            velkor.floyd_warshall_u32(edges)
            outcome = "no error"
        except MemoryError:
            outcome = "MemoryError"
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert velkor.floyd_warshall_u32({(1, 2): 3})[(1, 2)] == 3
        print(outcome)
    """
    try:
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("the call ran on instead of running out of memory")
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "MemoryError"
