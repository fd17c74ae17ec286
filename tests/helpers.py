"""Constants and helpers shared by the test modules (tests/ is on sys.path while
pytest runs them, so they import this module as `helpers`)."""

import gc
import sys

# Node numbers, weights, distances and `extreme` are unsigned 32-bit values;
# path lengths saturate at the largest one.
U32_MAX = 4294967295
OUT_OF_RANGE = "out of range integral type conversion attempted"


def distinct_nodes(rng, count):
    """`count` distinct node numbers below 2**32, in the order drawn
    (random.sample cannot take range(2**32) where a C ssize_t has 32 bits)."""
    nodes = {}
    while len(nodes) < count:
        nodes[rng.randrange(2**32)] = None
    return list(nodes)


class StrictDict(dict):
    """A dict subclass whose Python-level accessors must never be consulted;
    even its length is a lie."""

    def _refuse(self, *a, **k):
        raise AssertionError("dict subclass method was consulted")

    items = keys = values = __iter__ = __getitem__ = __contains__ = get = _refuse

    def __len__(self):
        return 999


def assert_reference_counts_kept(objs, call, times=3):
    """Run call() `times` times, whatever it raises, and check that afterwards
    every object in `objs` has the reference count it had before."""
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


def reference_ncd(distances, extreme):
    """R(v, v) = 0; for x != y, R(x, y) = min(extreme, min over every endpoint z of
    max(d(x, z), d(y, z))), where a missing d counts as extreme. Nodes are told
    apart as dict keys are, so labels of any hashable type work."""
    nodes = list({n for pair in distances for n in pair})
    row = {x: [distances.get((x, z), extreme) for z in nodes] for x in nodes}
    return {(x, y): 0 if x is y else min([extreme] + [max(a, b) for a, b in zip(row[x], row[y])])
            for x in nodes for y in nodes}


def filesystem_type(path):
    """The type of the file system that holds `path`, from /proc/self/mounts."""
    best, kind = "", None
    with open("/proc/self/mounts") as f:
        for line in f:
            _, mount, fstype = line.split()[:3]
            if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                best, kind = mount, fstype
    return kind


def entry_notes(func, edges):
    """The notes an error about `edges` must carry: the entry at fault, the
    first that fails alone, with its value when the key alone would pass;
    none for an argument that is not a dict, or a repr that fails."""
    if type(edges) is not dict:
        return None
    for key, value in edges.items():
        try:
            func({key: value})
        except BaseException:
            try:
                func({key: 1})
                value_at_fault = True
            except BaseException:
                value_at_fault = False
            try:
                text = f"in the entry with key {key!r}" + (f" and value {value!r}" if value_at_fault else "")
            except BaseException:
                return None
            return [text]
    return None
