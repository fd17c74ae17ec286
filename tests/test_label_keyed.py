"""floyd_warshall and nearest_common_descendant over arbitrary hashable labels:
results, node identity (dict-key semantics), label identity, failures reported as
PanicException, and reference hygiene."""

import collections
import gc
import random
import re
import sys
import types
import weakref

import pytest

import velkor
from helpers import OUT_OF_RANGE, StrictDict, assert_reference_counts_kept, entry_notes
from helpers import U32_MAX as M

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
CHANGED_SIZE = "dictionary changed size during iteration"


@pytest.fixture(params=["floyd_warshall", "nearest_common_descendant"])
def labelled(request):
    """Either label-keyed function as a one-argument call (extreme 100 where needed)."""
    func = getattr(velkor, request.param)
    return func if request.param == "floyd_warshall" else (lambda d: func(d, 100))


def pyerr(exc, traceback="None"):
    return UNWRAP + f"PyErr {{ type: <class '{type(exc).__name__}'>, value: {exc!r}, traceback: {traceback} }}"


def downcast(obj):
    return UNWRAP + f'DowncastIntoError {{ from: {obj!r}, to: "PyTuple" }}'


class Node:
    """Hashes to `h`, equals another Node with the same `key`; records every __eq__
    call in `log` and runs the optional hooks (set them after building the dict)."""

    def __init__(self, key, h, log=None):
        self.key, self.h, self.log = key, h, log
        self.on_hash = self.on_eq = None

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return self.h

    def __eq__(self, other):
        if self.log is not None:
            self.log.append((self, other))
        if self.on_eq:
            self.on_eq()
        return isinstance(other, Node) and self.key == other.key

    def __repr__(self):
        return f"Node({self.key!r})"


class Opaque(tuple):
    """A tuple key hashed by identity, so the dict never hashes or compares its items."""

    __hash__ = object.__hash__
    __eq__ = object.__eq__


class Poison:
    def _refuse(self, *args):
        raise AssertionError("an item past index 1 was touched")

    __hash__ = __eq__ = __index__ = __repr__ = _refuse


Pair = collections.namedtuple("Pair", "src dst")
STR_EDGES = [(("a", "b"), 4), (("b", "c"), 1)]
STR_RESULT = {("a", "a"): 0, ("b", "b"): 0, ("c", "c"): 0, ("a", "b"): 4, ("b", "c"): 1, ("a", "c"): 5}

CASES = {  # (input, extreme or None for floyd_warshall, expected)
    "strings": (dict(STR_EDGES), None, STR_RESULT),
    "empty": ({}, None, {}),
    "equal-int-and-float-are-one-node": (
        {(1, 2): 5, (1.0, 3): 7}, None, {(1, 1): 0, (2, 2): 0, (3, 3): 0, (1, 2): 5, (1, 3): 7}),
    "equal-hash-unequal-ints-are-two-nodes": (
        {(-1, 0): 4, (-2, 0): 7}, None, {(-1, -1): 0, (-2, -2): 0, (0, 0): 0, (-1, 0): 4, (-2, 0): 7}),
    "self-loop-through-equal-objects": ({(1, 1.0): 4}, None, {(1, 1): 4}),
    "bool-and-int": ({(True, 2): 3, (1, 4): 5}, None, {(True, True): 0, (2, 2): 0, (4, 4): 0, (True, 2): 3, (True, 4): 5}),
    "extra-key-items-ignored": (
        {Opaque(("a", "b", Poison())): 4, Opaque(("b", "c", Poison(), Poison())): 1}, None, STR_RESULT),
    "namedtuple-keys": ({Pair("a", "b"): 4, Pair(src="b", dst="c"): 1}, None, STR_RESULT),
    "dict-subclass": (StrictDict(STR_EDGES), None, STR_RESULT),
    "values-at-limits": ({("a", "b"): M, ("b", "c"): True}, None, {**STR_RESULT, ("a", "b"): M, ("b", "c"): 1, ("a", "c"): M}),
    "ncd-strings": ({("a", "c"): 1, ("b", "c"): 2}, 100, {**{(x, y): 100 for x in "abc" for y in "abc"},
                                                          ("a", "a"): 0, ("b", "b"): 0, ("c", "c"): 0, ("a", "b"): 2, ("b", "a"): 2}),
    "ncd-empty": ({}, 0, {}),
    "ncd-subclass-keys": (StrictDict({Pair("x", "z"): 3, Opaque(("y", "z", Poison())): M}), M,
                          {(x, y): 0 if x == y else M for x in "xyz" for y in "xyz"}),
    "ncd-equal-objects": ({(1, 3): 2, (2.0, 3): 5, (3, 3.0): 0}, 100, {
        (1, 1): 0, (2.0, 2.0): 0, (3, 3): 0, (1, 2.0): 5, (2.0, 1): 5, (1, 3): 2, (3, 1): 2, (2.0, 3): 5, (3, 2.0): 5}),
}


@pytest.mark.parametrize("edges,extreme,expected", list(CASES.values()), ids=list(CASES))
def test_results(fwl, ncdl, edges, extreme, expected):
    out = fwl(edges) if extreme is None else ncdl(edges, extreme)
    assert out == expected
    # Equal keys compare equal in a dict; the reprs show which object labels a node.
    assert sorted(map(repr, out)) == sorted(map(repr, expected))


def test_labels_are_the_first_objects_seen(labelled):
    first, later = "".join(["no", "de"]), "".join(["no", "de"])
    other, last = tuple([1, "x"]), tuple([1, "x"])
    edges = {(first, other): 3, (later, later): 4, (last, first): 5}
    assert first is not later and other is not last and len(edges) == 3
    out = labelled(edges)
    assert len(out) == 4
    for a, b in out:
        assert a is first or a is other
        assert b is first or b is other


def test_node_identity_follows_dict_key_rules(fwl):
    """Same node: equal hashes and (identical or ==); == only asked for equal hashes."""
    log = []
    a, a_again = Node("a", 7, log), Node("a", 7, log)
    b = Node("b", 7, log)  # same hash as a, unequal: its own node
    c = Node("a", 8, log)  # equal to a, different hash: its own node
    edges = {(a, a): 1, (a, b): 2, (b, a_again): 3, (a_again, c): 4, (c, c): 6}
    log.clear()
    out = fwl(edges)
    calls = list(log)
    assert out == {(a, a): 1, (b, b): 0, (c, c): 6, (a, b): 2, (b, a): 3, (a, c): 4, (b, c): 7}
    assert all(x is not a_again and y is not a_again for x, y in out)
    assert calls, "objects with equal hashes must be compared"
    assert all(x is not y and hash(x) == hash(y) for x, y in calls), calls



class Agreeable:
    """Equal to everything of its hash."""

    def __hash__(self):
        return 5

    def __eq__(self, other):
        return True


class Stubborn:
    """Of the same hash, equal to nothing, not even what equals it."""

    def __hash__(self):
        return 5

    def __eq__(self, other):
        return False


@pytest.mark.parametrize("func", [velkor.floyd_warshall, lambda e: velkor.nearest_common_descendant(e, 9)],
                         ids=["fw", "ncd"])
@pytest.mark.parametrize("first", [Agreeable, Stubborn])
def test_node_identity_asks_the_label_seen_first_as_a_dict_does(func, first):
    # A dict asks the key it holds whether a new one equals it (known ==
    # new): for labels whose __eq__ disagree, the order decides whether
    # they are one node or two, in both orders of first appearance.
    known, new = first(), ({Agreeable, Stubborn} - {first}).pop()()
    edges = {(known, "t"): 1, ("u", new): 2}
    nodes = {}
    for pair in edges:
        for label in pair:
            nodes.setdefault(label, label)
    out = func(edges)
    assert len(nodes) == (3 if first is Agreeable else 4)
    assert {id(label) for key in out for label in key} == {id(label) for label in nodes.values()}


# ---------------------------------------------------------------- argument errors


@pytest.mark.parametrize("arg", [[], collections.UserDict(), types.MappingProxyType({})])
@pytest.mark.parametrize("extreme", [0, -1, 1.5, None])
def test_non_dict_argument_is_reported_first(fwl, ncdl, arg, extreme):
    message = f"'{type(arg).__name__}' object cannot be converted to 'PyDict'"
    with pytest.raises(TypeError) as info:
        ncdl(arg, extreme)
    assert info.value.args == ("argument 'distances': " + message,)
    with pytest.raises(TypeError) as info:
        fwl(arg)
    assert info.value.args == ("argument 'edges': " + message,)


@pytest.mark.parametrize(
    "extreme,exc_type,message",
    [(-1, OverflowError, "out of range integral type conversion attempted"),
     (M + 1, OverflowError, "out of range integral type conversion attempted"),
     (1.5, TypeError, "argument 'extreme': 'float' object cannot be interpreted as an integer"),
     ("12", TypeError, "argument 'extreme': 'str' object cannot be interpreted as an integer")],
)
def test_extreme_is_checked_before_the_contents_are_read(ncdl, extreme, exc_type, message):
    log = []
    spy = Node("spy", 5, log)
    distances = {7: 1, (spy, spy): -1, (): "x"}
    spy.on_hash = lambda: log.append("hashed")
    with pytest.raises(BaseException) as info:
        ncdl(distances, extreme)
    assert type(info.value) is exc_type and info.value.args == (message,)
    assert log == []


# ---------------------------------------------------------------- internal failures

UNHASHABLE = pyerr(TypeError("unhashable type: 'list'"))

BAD_CONTENTS = [
    ({7: 1}, downcast(7)),
    ({"ab": 1}, downcast("ab")),
    ({(1,): 1}, pyerr(IndexError("tuple index out of range"))),
    ({(): 1}, pyerr(IndexError("tuple index out of range"))),
    ({Opaque(([], 1)): 1}, UNHASHABLE),
    ({Opaque((1, [])): 1}, UNHASHABLE),
    ({(1, 2): -1}, pyerr(OverflowError(OUT_OF_RANGE))),
    ({(1, 2): M + 1}, pyerr(OverflowError(OUT_OF_RANGE))),
    ({(1, 2): 1.5}, pyerr(TypeError("'float' object cannot be interpreted as an integer"))),
    ({(1, 2): "12"}, pyerr(TypeError("'str' object cannot be interpreted as an integer"))),
    ({(1, 2): 2**64}, pyerr(OverflowError("Python int too large to convert to C long"))),
    # Within an entry: key type, from-node, to-node, value; across entries: dict order.
    ({7: -1}, downcast(7)),
    ({(1,): -1}, pyerr(IndexError("tuple index out of range"))),
    ({Opaque(([],)): 1}, UNHASHABLE),
    ({Opaque((1, [], Poison())): "x"}, UNHASHABLE),
    ({(1, 2): 1, (2, 3): -1, 7: 1}, pyerr(OverflowError(OUT_OF_RANGE))),
]


@pytest.mark.parametrize("edges,message", BAD_CONTENTS)
def test_bad_contents_raise_panic(labelled, expect_panic, panic_class, edges, message):
    err = expect_panic(labelled, edges)
    assert type(err) is panic_class
    assert err.args == (message,)
    assert getattr(err, "__notes__", None) == entry_notes(labelled, edges)


class NoRepr:
    def __repr__(self):
        raise ValueError("no repr")


def test_unprintable_key_is_rendered_by_its_type_name(labelled, expect_panic, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_value))
    err = expect_panic(labelled, {NoRepr(): 1})
    assert err.args == (UNWRAP + 'DowncastIntoError { from: <unprintable NoRepr object>, to: "PyTuple" }',)
    assert [str(e) for e in unraisable] == ["no repr"]  # the repr failure is reported, not lost


def fail(exc):
    raise exc


@pytest.mark.parametrize("hook", ["on_hash", "on_eq"])
def test_exception_from_python_code_carries_a_traceback(labelled, expect_panic, hook):
    nodes = [Node("a", 9), Node("b", 9)]
    edges = {(nodes[0], 1): 1, (2, nodes[1]): 2}
    exc = ValueError(hook)
    for node in nodes[1:] if hook == "on_hash" else nodes:  # either object may be asked ==
        setattr(node, hook, lambda: fail(exc))
    err = expect_panic(labelled, edges)
    pattern = re.escape(pyerr(exc, "Some(<traceback object at 0x@>)")).replace("@", "[0-9a-f]+")
    assert re.fullmatch(pattern, err.args[0]), err.args[0]


@pytest.mark.parametrize("hook", ["on_hash", "on_eq"])
def test_dict_growing_during_the_last_entry_raises_panic(labelled, expect_panic, hook):
    nodes = [Node("a", 9), Node("b", 9)]
    edges = {(1, nodes[0]): 1, (2, 3): 4, (nodes[1], 5): 2}
    for node in nodes[1:] if hook == "on_hash" else nodes:
        setattr(node, hook, lambda: edges.setdefault((len(edges), "new"), 0))
    assert expect_panic(labelled, edges).args == (CHANGED_SIZE,)


def test_panic_raised_by_hash_is_resumed(labelled, expect_panic, panic_class, capfd):
    original = panic_class("from hash")
    node = Node("a", 1)
    edges = {(1, node): 1}
    node.on_hash = lambda: fail(original)
    capfd.readouterr()
    err = expect_panic(labelled, edges)
    assert type(err) is panic_class and err is not original
    assert err.args == ("from hash",)
    assert "Python stack trace below:" in capfd.readouterr().err


# ---------------------------------------------------------------- reference counts


REFCOUNT_CASES = {  # entries over the nodes a, b (equal hashes, unequal) and c
    "success": lambda a, b, c, v, w: [((a, b), v), ((b, c), w), ((c, a), v)],
    "bad-value": lambda a, b, c, v, w: [((a, b), v), ((b, c), -w)],
    "bad-key": lambda a, b, c, v, w: [((a, b), v), (int("80001"), w)],
    "unhashable": lambda a, b, c, v, w: [((a, b), v), (Opaque((c, [], a)), w)],
    "raising-eq": lambda a, b, c, v, w: [((a, c), v), ((b, c), w)],
    "growing-dict": lambda a, b, c, v, w: [((a, c), v), ((c, b), w)],
    "bad-extreme": lambda a, b, c, v, w: [((a, b), v)],
    "raising-hash-in-result": lambda a, b, c, v, w: [((a, c), v), ((c, b), w), ((b, a), v)],
}


@pytest.mark.parametrize("case", list(REFCOUNT_CASES))
@pytest.mark.parametrize("name", ["floyd_warshall", "nearest_common_descendant"])
def test_reference_counts_unchanged(case, name):
    func = getattr(velkor, name)
    args = () if name == "floyd_warshall" else (-1 if case == "bad-extreme" else 50,)
    a, b, c, v, w = Node("a", 5), Node("b", 5), "".join(["c", "c"]), int("90001"), int("90002")
    entries = REFCOUNT_CASES[case](a, b, c, v, w)
    edges = dict(entries)
    if case == "raising-eq":
        a.on_eq = b.on_eq = lambda: 1 / 0
    if case == "growing-dict":
        b.on_hash = lambda: edges.setdefault((len(edges), "new"), 0)
    hashes = []
    if case == "raising-hash-in-result":
        # Reading hashes each of a's two occurrences; building the result
        # hashes it again, and fails with keys made but not yet inserted.
        a.on_hash = lambda: hashes.append(None) or len(hashes) <= 2 or fail(ValueError("in result"))
    objs = [edges, a, b, c, v, w] + [k for k, _ in entries] + [x for k, _ in entries if type(k) is not int for x in k]
    assert_reference_counts_kept(objs, lambda: hashes.clear() or func(edges, *args))
    assert len(hashes) == (3 if case == "raising-hash-in-result" else 0)


# More entries than the interpreter presizes a dict for: the result's table is made for
# all of them at its first insert. The result is whole and usable, its items in row order;
# a failure at that first insert (the first key's hash) is raised and leaks nothing.
@pytest.mark.parametrize("first_hash", ["returns", "raises"])
def test_result_larger_than_a_presized_dict(fw, first_hash):
    n = 300
    a = Node("a", 5)
    labels = [a] + [int("1000") + i for i in range(1, n)]
    plain = {(i, j): (7 * i + j) % 13 + 1 for i in range(n) for j in range(n) if i != j}
    edges = {(labels[i], labels[j]): w for (i, j), w in plain.items()}
    hashes = []
    if first_hash == "raises":
        # Reading hashes each of a's occurrences; the result's first key is (a, a).
        a.on_hash = lambda: hashes.append(None) or len(hashes) <= 2 * (n - 1) or fail(ValueError("first key"))
        with pytest.raises(BaseException, match="first key"):  # reported as a panic
            velkor.floyd_warshall(edges)
        assert len(hashes) == 2 * n - 1
    else:
        expected = [((labels[i], labels[j]), d) for (i, j), d in fw(plain).items()]
        result = velkor.floyd_warshall(edges)
        assert len(result) == n * n > (2 << 17) // 3
        assert list(result.items()) == expected
        assert all(result[key] == d for key, d in expected)
        result[(a, "new")] = 0
        assert len(result) == n * n + 1 and next(reversed(result)) == (a, "new")
    assert_reference_counts_kept([edges, a, *labels[1:4]], lambda: hashes.clear() or velkor.floyd_warshall(edges), times=2)


# ---------------------------------------------------------------- randomized comparison


# Each call builds a fresh object, so the result shows which one was seen first. The
# last kind names one node by equal int and float objects; Node labels all share one
# hash, as do -1 and -2, and each of them is still a node of its own.
LABEL_KINDS = [
    lambda n, rng: "".join(["node", str(n)]),
    lambda n, rng: Node(n, 0),
    lambda n, rng: ("t", str(n), n),
    lambda n, rng: float(n) + 0.5,
    lambda n, rng: -1 - n,
    lambda n, rng: 2**70 + n,
    lambda n, rng: rng.choice([int("1000") + n, float(1000 + n)]),
]


@pytest.mark.parametrize("seed", range(5))
def test_matches_integer_keyed_functions_after_relabelling(fw, ncd, fwl, ncdl, seed):
    rng = random.Random(500 + seed)
    for _ in range(60):
        nodes = rng.sample(range(12), rng.randrange(1, 9))
        top = rng.choice([10, 1000, 2**32])
        plain = {(rng.choice(nodes), rng.choice(nodes)): rng.randrange(top) for _ in range(rng.randrange(2 * len(nodes)))}
        if rng.random() < 0.3:
            plain = fw(plain)
        kinds = {n: rng.choice(LABEL_KINDS) for n in nodes}
        label = lambda n: kinds[n](n, rng)  # noqa: E731
        labelled = {(label(a), label(b)): v for (a, b), v in plain.items()}
        node_of = {label(n): n for n in nodes}  # equal labels find the same entry
        first = {}
        for pair in labelled:
            for obj in pair:
                first.setdefault(node_of[obj], obj)
        extreme = rng.choice([0, 5, rng.randrange(2**32), M])
        for out, expected in [(fwl(labelled), fw(plain)), (ncdl(labelled, extreme), ncd(plain, extreme))]:
            assert len(out) == len(expected)
            for (x, y), value in out.items():
                a, b = node_of[x], node_of[y]
                assert x is first[a] and y is first[b]
                assert expected[(a, b)] == value, (plain, labelled, extreme)


def test_entry_references_are_held_to_the_end_and_released_key_first(fwl):
    # A known node stays held while the rest of its entry is examined, and
    # when the dict has dropped an entry mid-walk, velkor's references to it
    # go key first, then value.
    log = []

    class Tracked:
        def __init__(self, name):
            self.name = name

        def __del__(self):
            log.append(self.name)

        def __index__(self):
            log.append(("refcount", sys.getrefcount(known)))
            return 1

    class Dropper:
        key = None

        def __hash__(self):
            if self.key is not None:
                key, self.key = self.key, None
                edges.pop(key)
                edges[("x", "y")] = 5  # same size: only the second guard can tell
            return 3

    known = object()
    dropper = Dropper()
    edges = {(known, 1): 1, (known, 2): Tracked("value")}
    base = sys.getrefcount(known)
    fwl(edges)
    # the label table's reference and this entry's own, on top of the dict's
    assert log == [("refcount", base + 2)]

    key = (dropper, 1, Tracked("key item"))
    edges = {key: Tracked("value"), ("p", "q"): 1}
    dropper.key, key = key, None
    log.clear()
    with pytest.raises(BaseException, match="dictionary keys changed during iteration"):
        fwl(edges)
    assert [event for event in log if isinstance(event, str)] == ["key item", "value"]


@pytest.mark.parametrize("func", [velkor.floyd_warshall, lambda e: velkor.nearest_common_descendant(e, 5)],
                         ids=["fw", "ncd"])
@pytest.mark.parametrize("row_cyclic, column_cyclic", [(False, False), (False, True), (True, False), (True, True)])
def test_result_keys_are_tracked_exactly_when_an_item_can_be_in_a_cycle(func, row_cyclic, column_cyclic):
    # A key the collector does not see hides its items' references from
    # it: a cycle through a label and the result would never be freed.
    # Keys of two labels that can be in no cycle (str, an untracked tuple)
    # are left untracked, to spare the collector millions of them.
    class Label:
        pass

    row = Label() if row_cyclic else "row"
    column = Label() if column_cyclic else ("column", 1)
    assert not gc.is_tracked(column) or column_cyclic
    result = func({(row, column): 1})
    key = next(k for k in result if k[0] is row and k[1] is column)
    assert gc.is_tracked(key) == (row_cyclic or column_cyclic)
    gone = [weakref.ref(label) for label in (row, column) if isinstance(label, Label)]
    for ref in gone:
        ref().result = result
    del row, column, result, key
    gc.collect()
    assert all(ref() is None for ref in gone)
