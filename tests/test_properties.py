"""Property tests: all four functions on generated graphs against plain-Python
references, with node numbers and values drawn across the whole u32 range and,
for the label-keyed functions, labels of mixed types that may name one node
through different objects (1, 1.0 and True; (1, 'a') and (True, 'a'))."""

from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import U32_MAX, reference_ncd

EXAMPLES = settings(max_examples=100, deadline=None, derandomize=True, database=None)

BOUNDARY = [0, 1, 2, 2**31 - 1, 2**31, U32_MAX - 1, U32_MAX]
u32 = st.one_of(st.sampled_from(BOUNDARY), st.integers(0, U32_MAX))
# Small weights make paths compete; weights of 2**31 and more make sums saturate.
values = st.one_of(st.sampled_from(BOUNDARY), st.integers(0, 20), st.integers(2**31, U32_MAX),
                   st.integers(0, U32_MAX))


def label_forms(value):
    """Objects standing for `value` as a label: a number as int, float or bool (so
    1, 1.0 and True are one node, and -1 and -2, whose hashes are equal, are two),
    or inside a tuple; a string rebuilt, so equal strings are distinct objects."""
    if isinstance(value, str):
        return st.just(value).map(lambda s: "".join(list(s)))
    forms = [int, float, bool, lambda x: (x, "a"), lambda x: (float(x), "a")]
    return st.sampled_from(forms).map(lambda form: form(value))


# A few values in many forms, so that a graph often names one node by several
# objects.
labels = st.sampled_from([-2, -1, 0, 1, 2**64, "a", "ab"]).flatmap(label_forms)


@st.composite
def graphs(draw, nodes):
    """An edge dict over a pool of up to 8 drawn nodes, split into groups
    pool[g::parts]. An edge stays within its start's group unless `cross` is 0,
    so the graph often has several components."""
    n = draw(st.integers(1, 8))
    pool = [draw(nodes) for _ in range(n)]
    parts = draw(st.integers(1, 3))
    edges = {}
    for _ in range(draw(st.integers(0, 3 * n))):
        a, b, cross, weight = draw(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1), st.integers(0, 9), values))
        if cross:
            group = range(a % parts, n, parts)
            b = group[b % len(group)]
        edges[(pool[a], pool[b])] = weight
    return edges


def reference_shortest_paths(edges):
    """Floyd-Warshall over unbounded integers, clamped to U32_MAX at the end. The
    diagonal starts without its zeros, so it ends as the lightest cycle through
    each node; a node without a self-loop reports 0 instead."""
    nodes = list({n for pair in edges for n in pair})
    dist = dict(edges)
    for k in nodes:
        for i in nodes:
            if (i, k) not in dist:
                continue
            for j in nodes:
                if (k, j) in dist:
                    via = dist[(i, k)] + dist[(k, j)]
                    if via < dist.get((i, j), via + 1):
                        dist[(i, j)] = via
    result = {key: min(d, U32_MAX) for key, d in dist.items()}
    for v in nodes:
        if (v, v) not in edges:
            result[(v, v)] = 0
    return result


def check_labels_are_first_seen(source, out):
    """Each node appears in `out` as the first object naming it in `source`."""
    first = {}
    for pair in source:
        first.setdefault(pair[0], pair[0])
        first.setdefault(pair[1], pair[1])
    for x, y in out:
        assert x is first[x] and y is first[y]


@EXAMPLES
@given(graphs(u32))
def test_floyd_warshall_u32_matches_reference(fw, edges):
    assert fw(edges) == reference_shortest_paths(edges)


@EXAMPLES
@given(graphs(labels))
def test_floyd_warshall_matches_reference(fwl, edges):
    out = fwl(edges)
    assert out == reference_shortest_paths(edges)
    check_labels_are_first_seen(edges, out)


# Distances are either raw edge dicts (d(v, v) mostly missing) or shortest paths,
# where every node is its own descendant at distance 0.


@EXAMPLES
@given(graphs(u32), st.booleans(), values)
def test_nearest_common_descendant_u32_matches_reference(fw, ncd, edges, shortest, extreme):
    distances = fw(edges) if shortest else edges
    assert ncd(distances, extreme) == reference_ncd(distances, extreme)


@EXAMPLES
@given(graphs(labels), st.booleans(), values)
def test_nearest_common_descendant_matches_reference(fwl, ncdl, edges, shortest, extreme):
    distances = fwl(edges) if shortest else edges
    out = ncdl(distances, extreme)
    assert out == reference_ncd(distances, extreme)
    check_labels_are_first_seen(distances, out)
