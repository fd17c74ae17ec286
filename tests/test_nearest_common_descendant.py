"""nearest_common_descendant_u32: fixed results, argument errors and their order,
and agreement with a literal plain-Python rendering of the definition."""

import random
import sys

import pytest

import velkor
from helpers import OUT_OF_RANGE, distinct_nodes, reference_ncd
from helpers import U32_MAX as M


def table(nodes, pairs, default):
    """Diagonal 0, the given unordered pairs in both orientations, `default` elsewhere."""
    out = {(x, y): 0 if x == y else default for x in nodes for y in nodes}
    for (x, y), value in pairs.items():
        out[(x, y)] = out[(y, x)] = value
    return out


WORKED = {(1, 1): 0, (2, 2): 0, (3, 3): 0, (4, 4): 0, (1, 3): 2, (2, 3): 5, (3, 4): 1, (2, 4): 1, (1, 4): 3}
WORKED_PAIRS = {(1, 2): 3, (1, 3): 2, (1, 4): 3, (2, 3): 1, (2, 4): 1, (3, 4): 1}

FIXED_CASES = {
    "worked-example": (WORKED, 100, table([1, 2, 3, 4], WORKED_PAIRS, None)),
    "worked-example-capped": (WORKED, 2, table([1, 2, 3, 4], {**WORKED_PAIRS, (1, 2): 2, (1, 4): 2}, None)),
    "extreme-zero": (WORKED, 0, table([1, 2, 3, 4], {}, 0)),
    "sparse-no-self-distance": ({(1, 3): 2, (2, 3): 5}, 100, table([1, 2, 3], {(1, 2): 5}, 100)),
    "empty": ({}, 7, {}),
    "empty-extreme-max": ({}, M, {}),
    "extreme-true-is-one": ({(1, 3): 2, (2, 3): 5}, True, table([1, 2, 3], {}, 1)),
    "single-node-diagonal-is-zero": ({(7, 7): 3}, 9, {(7, 7): 0}),
    "no-common-descendant": ({(1, 2): 4}, M, table([1, 2], {}, M)),
    "asymmetric-input": ({(1, 3): 2, (2, 3): 7, (3, 1): 1}, 100, table([1, 2, 3], {(1, 2): 7}, 100)),
    "unsigned-comparison": (
        {(1, 3): 2**31, (2, 3): 1, (1, 4): 5, (2, 4): 5}, M, table([1, 2, 3, 4], {(1, 2): 5}, M)),
    # A self-distance is used as d(v, v) for the other pairs, but never shows on the diagonal.
    "self-distance-used-for-pairs": ({(1, 1): 7, (2, 1): 3}, 100, table([1, 2], {(1, 2): 7}, None)),
    "distances-above-extreme-are-capped": (
        {(1, 3): 50, (2, 3): 60, (3, 3): 0}, 10, table([1, 2, 3], {}, 10)),
    "max-distances-max-extreme": ({(1, 3): M, (2, 3): M, (3, 3): M}, M, table([1, 2, 3], {}, M)),
    "extreme-node-numbers": (
        {(0, M): 4, (2**31, M): 9, (M, M): 0}, 50, table([0, M, 2**31], {(0, M): 4, (2**31, M): 9, (0, 2**31): 9}, None)),
}


@pytest.mark.parametrize("distances,extreme,expected", list(FIXED_CASES.values()), ids=list(FIXED_CASES))
def test_fixed_cases(ncd, distances, extreme, expected):
    snapshot = list(distances.items())
    out = ncd(distances, extreme)
    assert type(out) is dict
    assert all(type(a) is int and type(b) is int and type(v) is int for (a, b), v in out.items())
    assert out == expected
    assert reference_ncd(distances, extreme) == expected
    assert list(distances.items()) == snapshot


D = "argument 'distances': "
E = "argument 'extreme': "
FLOAT_NOT_INT = "'float' object cannot be interpreted as an integer"

ARGUMENT_ERRORS = [
    # distances is converted first: its error wins whatever extreme is.
    ([], 0, TypeError, D + "'list' object cannot be converted to 'PyDict'"),
    ([], -1, TypeError, D + "'list' object cannot be converted to 'PyDict'"),
    ({7: 1}, 1.5, TypeError, D + "'int' object cannot be converted to 'PyTuple'"),
    ({(1, 2): 1.5}, -1, TypeError, D + FLOAT_NOT_INT),
    ({(1, 2): -1}, 1.5, OverflowError, OUT_OF_RANGE),
    ({(1, 2, 3): 1}, "x", ValueError, "expected tuple of length 2, but got tuple of length 3"),
    # then extreme.
    ({}, -1, OverflowError, OUT_OF_RANGE),
    ({(1, 2): 3}, M + 1, OverflowError, OUT_OF_RANGE),
    ({(1, 2): 3}, 2**63 - 1, OverflowError, OUT_OF_RANGE),
    ({}, 2**64, OverflowError, "Python int too large to convert to C long"),
    ({(1, 2): 3}, 1.5, TypeError, E + FLOAT_NOT_INT),
    ({}, "3", TypeError, E + "'str' object cannot be interpreted as an integer"),
    ({}, None, TypeError, E + "'NoneType' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("distances,extreme,exc_type,message", ARGUMENT_ERRORS)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_argument_errors_and_their_order(ncd, distances, extreme, exc_type, message, by_keyword):
    with pytest.raises(BaseException) as info:
        if by_keyword:  # extreme named first: the order of conversion is still distances, extreme
            ncd(extreme=extreme, distances=distances)
        else:
            ncd(distances, extreme)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)


# ---------------------------------------------------------------- randomized comparison

BOUNDARY_NODES = [0, 1, M, M - 1, 2**31, 2**31 - 1]
BOUNDARY_VALUES = [0, 1, M, M - 1, 2**31, 2**31 - 1]


def random_distances(rng):
    pool = list({rng.choice(BOUNDARY_NODES) if rng.random() < 0.2 else rng.randrange(2**32)
                 for _ in range(rng.randrange(1, 9))})
    top = rng.choice([10, 2**31, 2**32])
    out = {}
    for _ in range(rng.randrange(2 * len(pool) + 1)):
        value = rng.choice(BOUNDARY_VALUES) if rng.random() < 0.2 else rng.randrange(top)
        out[(rng.choice(pool), rng.choice(pool))] = value
    return out


@pytest.mark.parametrize("seed", range(6))
def test_matches_definition_on_random_inputs(fw, ncd, seed):
    rng = random.Random(1000 + seed)
    for _ in range(80):
        distances = random_distances(rng)
        if rng.random() < 0.5:
            distances = fw(distances)  # shortest paths: every node reaches itself at 0
        top = max(distances.values(), default=10)
        for extreme in {0, 1, rng.randrange(top + 1), rng.randrange(2**32), M}:
            out = ncd(distances, extreme)
            assert out == reference_ncd(distances, extreme), (distances, extreme)
            nodes = {n for pair in distances for n in pair}
            assert len(out) == len(nodes) ** 2


def larger_distances(rng, fw, sizes, extra_per_node, raw):
    """Components of the given sizes, each a random out-tree plus extra edges. The
    shortest paths of such graphs mix full rows (near the roots) with rows of a few
    entries (the leaves); `raw` keeps the edges themselves as distances instead."""
    edges = {}
    all_nodes = distinct_nodes(rng, sum(sizes))
    for size in sizes:
        nodes, all_nodes = all_nodes[:size], all_nodes[size:]
        for i in range(1, size):
            edges[(nodes[rng.randrange(i)], nodes[i])] = rng.randrange(1, 40)
        for _ in range(int(extra_per_node * size)):
            edges[(rng.choice(nodes), rng.choice(nodes))] = rng.choice([rng.randrange(200), 2**31 + 7, M])
    return edges if raw else fw(edges)


@pytest.mark.parametrize(
    "sizes,extra_per_node,raw",
    [([70], 0, False), ([45, 20, 2, 1], 0.3, False), ([40], 3, False), ([34], 8, True), ([60, 18], 0.5, True)],
    ids=["tree", "components", "dense", "raw-dense", "raw-sparse"],
)
def test_matches_definition_on_larger_inputs(fw, ncd, sizes, extra_per_node, raw):
    rng = random.Random(len(sizes) * 1000 + sizes[0] + raw)
    distances = larger_distances(rng, fw, sizes, extra_per_node, raw)
    for extreme in [M, 60, 2**31 + 7]:
        assert ncd(distances, extreme) == reference_ncd(distances, extreme)


@pytest.mark.parametrize("labelled", [False, True], ids=["u32", "labels"])
def test_result_too_large_to_hold_raises_memory_error_before_any_work(labelled):
    # 100000 endpoints ask for 10**10 result entries, far beyond any machine:
    # refused up front, with nothing leaked.
    edges = {(i, i + 1): 1 for i in range(0, 200000, 2)}
    if labelled:
        edges = {(str(a), str(b)): w for (a, b), w in edges.items()}
    func = velkor.nearest_common_descendant if labelled else velkor.nearest_common_descendant_u32
    some_key = next(iter(edges))
    before = sys.getrefcount(some_key[0]), sys.getrefcount(edges)
    with pytest.raises(MemoryError):
        func(edges, 5)
    assert (sys.getrefcount(some_key[0]), sys.getrefcount(edges)) == before
