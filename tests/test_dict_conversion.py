"""Reading the integer-keyed edge dict: accepted forms, errors and their order,
internal failures and reference hygiene. Exercised through floyd_warshall_u32."""

import collections
import gc
import operator
import subprocess
import sys
import textwrap

import pytest

U32_MAX = 4294967295
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE_FOR_C_LONG = "Python int too large to convert to C long"


def index_message(obj):
    """The interpreter's own message for an object that is not an integer."""
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


def raises_exactly(exc_type, message, func, *args):
    with pytest.raises(BaseException) as info:
        func(*args)
    assert type(info.value) is exc_type, repr(info.value)
    assert info.value.args == (message,)
    return info.value


class Idx:
    """Integer-like object without being an int; distinct instances never compare equal."""

    def __init__(self, value, log=None, name=None):
        self.value, self.log, self.name = value, log, name

    def __index__(self):
        if self.log is not None:
            self.log.append(self.name)
        return self.value


class Raising:
    def __init__(self, exc, log=None, name=None):
        self.exc, self.log, self.name = exc, log, name

    def __index__(self):
        if self.log is not None:
            self.log.append(self.name)
        raise self.exc


class Outer:
    class Inner:
        pass


# ---------------------------------------------------------------- accepted forms


def test_extreme_node_numbers_and_weight_round_trip(fw):
    out = fw({(0, U32_MAX): U32_MAX})
    assert out == {(0, 0): 0, (U32_MAX, U32_MAX): 0, (0, U32_MAX): U32_MAX}
    for key, value in out.items():
        assert type(key) is tuple and len(key) == 2
        assert type(key[0]) is int and type(key[1]) is int and type(value) is int


def test_bools_count_as_zero_and_one(fw):
    out = fw({(True, False): True})
    assert out == {(1, 0): 1, (0, 0): 0, (1, 1): 0}
    assert all(type(a) is int and type(b) is int for a, b in out)
    assert all(type(v) is int for v in out.values())


def test_objects_with_index_are_accepted(fw):
    assert fw({(Idx(1), Idx(2)): Idx(7)}) == {(1, 1): 0, (2, 2): 0, (1, 2): 7}


def test_int_subclass_uses_its_int_value_not_index(fw):
    class Weird(int):
        def __index__(self):
            raise AssertionError("__index__ must not be called on an int subclass")

    assert fw({(Weird(1), Weird(2)): Weird(9)})[(1, 2)] == 9


class StrictDict(dict):
    """A dict subclass whose Python-level accessors must never be consulted."""

    def _refuse(self, *a, **k):
        raise AssertionError("dict subclass method was consulted")

    items = keys = values = __iter__ = __getitem__ = __contains__ = get = _refuse

    def __len__(self):
        return 999


class LyingTuple(tuple):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 77

    def __iter__(self):
        return iter((77, 77))


Point = collections.namedtuple("Point", "src dst")


@pytest.mark.parametrize(
    "edges",
    [
        StrictDict({(1, 2): 3, (2, 4): 1}),
        collections.OrderedDict([((1, 2), 3), ((2, 4), 1)]),
        collections.defaultdict(int, {(1, 2): 3, (2, 4): 1}),
        {Point(1, 2): 3, Point(src=2, dst=4): 1},
        {LyingTuple((1, 2)): 3, LyingTuple((2, 4)): 1},
    ],
    ids=["strict-dict-subclass", "ordereddict", "defaultdict", "namedtuple", "tuple-subclass"],
)
def test_subclasses_are_read_through_their_storage(fw, edges):
    assert fw(edges) == {(1, 1): 0, (2, 2): 0, (4, 4): 0, (1, 2): 3, (2, 4): 1, (1, 4): 4}


def test_tuple_subclass_length_comes_from_storage(fw):
    err = raises_exactly(ValueError, "expected tuple of length 2, but got tuple of length 3", fw, {LyingTuple((1, 2, 3)): 1})
    assert err.__cause__ is None


@pytest.mark.parametrize("first_wins", [False, True])
def test_later_entry_wins_for_the_same_pair(fw, first_wins):
    a, b = (Idx(1), Idx(2)), (Idx(1), Idx(2))
    assert a != b
    edges = {a: 5, b: 3} if not first_wins else {b: 3, a: 5}
    assert fw(edges)[(1, 2)] == (5 if first_wins else 3)


def test_input_is_left_untouched(fw):
    edges = {(1, 2): 4, (2, 3): 1}
    snapshot = list(edges.items())
    out = fw(edges)
    assert out is not edges
    assert list(edges.items()) == snapshot


# ---------------------------------------------------------------- errors

PREFIX = "argument 'edges': "


@pytest.mark.parametrize(
    "edges,exc_type,message",
    [
        ({7: 1}, TypeError, PREFIX + "'int' object cannot be converted to 'PyTuple'"),
        ({"ab": 1}, TypeError, PREFIX + "'str' object cannot be converted to 'PyTuple'"),
        ({Outer.Inner(): 1}, TypeError, PREFIX + "'Outer.Inner' object cannot be converted to 'PyTuple'"),
        ({(1, 2, 3): 5}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
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
        ({(2**64, 2): 1}, OverflowError, TOO_LARGE_FOR_C_LONG),
        ({(1, 2): 1.5}, TypeError, PREFIX + index_message(1.5)),
        ({(1, 2): "3"}, TypeError, PREFIX + index_message("3")),
        ({(1, 2): None}, TypeError, PREFIX + index_message(None)),
        ({(1.0, 2): 1}, TypeError, PREFIX + index_message(1.0)),
        ({(1, "2"): 1}, TypeError, PREFIX + index_message("2")),
        ({(None, 2): 1}, TypeError, PREFIX + index_message(None)),
    ],
)
def test_conversion_errors(fw, edges, exc_type, message):
    err = raises_exactly(exc_type, message, fw, edges)
    if exc_type is TypeError:
        assert err.__cause__ is None and err.__suppress_context__ is True


def test_non_dict_argument_names_the_qualified_type(fw):
    raises_exactly(TypeError, PREFIX + "'Outer.Inner' object cannot be converted to 'PyDict'", fw, Outer.Inner())
    raises_exactly(TypeError, PREFIX + "'NoneType' object cannot be converted to 'PyDict'", fw, None)
    raises_exactly(TypeError, PREFIX + "'mappingproxy' object cannot be converted to 'PyDict'", fw, type(fw).__dict__)


@pytest.mark.parametrize(
    "edges,exc_type,message",
    [
        # Entries are examined in dict order.
        ({(1, 2): -1, (1, 2, 3): 5}, OverflowError, OUT_OF_RANGE),
        ({(1, 2, 3): 5, (1, 2): -1}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ({(1, 2): 1, 7: 1, (3, 4): "x"}, TypeError, PREFIX + "'int' object cannot be converted to 'PyTuple'"),
        # Within one entry: key type, length, first element, second element, value.
        ({(1.5, "a", None): "x"}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ({(-1, "b"): "x"}, OverflowError, OUT_OF_RANGE),
        ({("a", -1): -1}, TypeError, PREFIX + index_message("a")),
        ({(1, -1): "x"}, OverflowError, OUT_OF_RANGE),
        ({(1, 2**64): -1}, OverflowError, TOO_LARGE_FOR_C_LONG),
        ({(1, 2): "x"}, TypeError, PREFIX + index_message("x")),
    ],
)
def test_first_failing_check_decides(fw, edges, exc_type, message):
    raises_exactly(exc_type, message, fw, edges)


def test_conversion_order_and_early_stop(fw):
    log = []
    good = {(Idx(1, log, "a1"), Idx(2, log, "a2")): Idx(3, log, "av"),
            (Idx(2, log, "b1"), Idx(3, log, "b2")): Idx(4, log, "bv")}
    fw(good)
    assert log == ["a1", "a2", "av", "b1", "b2", "bv"]

    for bad_at, expected in [(0, ["a1"]), (1, ["a1", "a2"]), (2, ["a1", "a2", "av"])]:
        log.clear()
        parts = [Idx(1, log, "a1"), Idx(2, log, "a2"), Idx(3, log, "av")]
        parts[bad_at] = Raising(KeyError("bad"), log, parts[bad_at].name)
        edges = {(parts[0], parts[1]): parts[2], (Idx(5, log, "n1"), 6): 7}
        with pytest.raises(KeyError):
            fw(edges)
        assert log == expected


class CustomError(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


class BaseError(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [CustomError, TypeErrorSubclass, BaseError, ArithmeticError])
@pytest.mark.parametrize("where", ["first", "second", "value"])
def test_exception_from_index_passes_through_unchanged(fw, exc_type, where):
    raised = exc_type("from __index__")
    slots = {"first": 1, "second": 2, "value": 3} | {where: Raising(raised)}
    with pytest.raises(BaseException) as info:
        fw({(slots["first"], slots["second"]): slots["value"]})
    assert info.value is raised
    assert info.value.args == ("from __index__",)


def test_type_error_from_index_is_prefixed_and_keeps_its_cause(fw):
    cause = KeyError("root")
    err = TypeError("inner problem")
    err.__cause__ = cause
    wrapped = raises_exactly(TypeError, PREFIX + "inner problem", fw, {(1, Raising(err)): 1})
    assert wrapped is not err
    assert wrapped.__cause__ is cause
    assert wrapped.__suppress_context__ is True


def test_index_returning_non_int_is_prefixed(fw):
    class Bad:
        def __index__(self):
            return "nope"

    with pytest.raises(TypeError) as info:
        fw({(1, 2): Bad()})
    assert type(info.value) is TypeError
    assert info.value.args[0].startswith(PREFIX + "__index__ returned non-int")


# ---------------------------------------------------------------- internal failures


class IdxWithAction:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


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
    edges[(10, 11)] = IdxWithAction(5, make_action(edges))
    if not hook_last:
        edges[(12, 13)] = 1
    capfd.readouterr()
    err = expect_panic(fw, edges)
    _, stderr = capfd.readouterr()
    assert stderr.strip(), "an internal failure writes a report to standard error"
    assert type(err) is panic_class
    assert type(err).__name__ == "PanicException"
    assert type(err).__module__ == "pyo3_runtime"
    assert not isinstance(err, Exception)
    assert err.args == (message,)
    # The module keeps working afterwards.
    assert fw({(1, 2): 3})[(1, 2)] == 3


def test_panic_class_shape(panic_class):
    assert panic_class.__name__ == "PanicException"
    assert panic_class.__module__ == "pyo3_runtime"
    assert issubclass(panic_class, BaseException) and not issubclass(panic_class, Exception)
    doc = panic_class.__doc__
    assert isinstance(doc, str) and doc.startswith("\n") and doc.endswith("\n")


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
    err = expect_panic(fw, {(1, Raising(original)): 1})
    _, stderr = capfd.readouterr()
    assert type(err) is panic_class
    assert err is not original
    assert err.args == (message,)
    assert "Python stack trace below:" in stderr
    assert "__index__" in stderr  # the fetched exception is printed with its traceback


def test_panic_subclass_from_index_passes_through(fw, panic_class):
    class Sub(panic_class):
        pass

    raised = Sub("own")
    with pytest.raises(BaseException) as info:
        fw({(1, 2): Raising(raised)})
    assert info.value is raised


# ---------------------------------------------------------------- reference counts


def _refcounts(objs):
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


def _edge_case_inputs():
    a, b = Idx(70001), Idx(70002)
    k1, k2 = (a, int("80001")), (int("80002"), b)
    v1, v2 = int("90001"), Idx(90002)
    cases = {
        "success": {k1: v1, k2: v2},
        "overflow-second-entry": {k1: v1, (int("80003"), 5): -int("90003")},
        "bad-key-type": {k1: v1, int("80004"): v2},
        "bad-key-length": {k1: v1, (a, b, int("80005")): v2},
        "type-error-value": {k2: v1, k1: float("1.5")},
        "raising-index": {k1: v2, (Raising(CustomError), b): v1},
    }
    return cases


@pytest.mark.parametrize("case", list(_edge_case_inputs()))
def test_reference_counts_unchanged(fw, case):
    edges = _edge_case_inputs()[case]
    objs = [edges]
    for key, value in edges.items():
        objs += [key, value] + (list(key) if isinstance(key, tuple) else [])
    before = _refcounts(objs)
    for _ in range(3):
        try:
            fw(edges)
        except Exception:
            pass
    assert _refcounts(objs) == before


def test_reference_counts_unchanged_after_panic(fw, expect_panic):
    edges = {}
    value = IdxWithAction(int("5"), _grow(edges))
    key = (Idx(10), int("123456"))
    edges[key] = value
    objs = [edges, key, key[0], key[1], value]
    before = _refcounts(objs)
    expect_panic(fw, edges)
    assert _refcounts(objs) == before


# ---------------------------------------------------------------- memory exhaustion


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
        print(outcome)
    """
    try:
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("the call ran on instead of running out of memory")
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "MemoryError"
