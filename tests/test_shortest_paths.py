"""All-pairs shortest paths: floyd_warshall_u32 results, saturation, agreement with
an independent Dijkstra reference, and the interpreter lock during the computation."""

import heapq
import os
import random
import subprocess
import sys
import threading
import time

import pytest

from helpers import U32_MAX, distinct_nodes


def reference_distances(edges):
    """Shortest-path lengths by Dijkstra from every node, with unbounded sums
    clamped to U32_MAX at the end.

    (v, v) is 0, unless v has a self-loop: then it is the lightest cycle
    through v, i.e. the minimum over edges (u, v) of dist(v, u) + w(u, v)."""
    adjacency = {}
    for (a, b), w in edges.items():
        adjacency.setdefault(a, {})[b] = w
    nodes = {n for pair in edges for n in pair}
    result = {}
    for source in nodes:
        dist = {source: 0}
        heap = [(0, source)]
        while heap:
            d, u = heapq.heappop(heap)
            if d > dist[u]:
                continue
            for v, w in adjacency.get(u, {}).items():
                if d + w < dist.get(v, float("inf")):
                    dist[v] = d + w
                    heapq.heappush(heap, (d + w, v))
        for target, d in dist.items():
            if target != source:
                result[(source, target)] = min(d, U32_MAX)
        if (source, source) in edges:
            cycle = min(dist[u] + adjacency[u][source] for u in dist if source in adjacency.get(u, {}))
            result[(source, source)] = min(cycle, U32_MAX)
        else:
            result[(source, source)] = 0
    return result


def assert_plain_result(out):
    assert type(out) is dict
    for key, value in out.items():
        assert type(key) is tuple and len(key) == 2
        assert type(key[0]) is int and type(key[1]) is int and type(value) is int


# ---------------------------------------------------------------- fixed cases


def test_worked_example(fw):
    edges = {(1, 2): 4, (2, 3): 1, (1, 3): 10, (3, 4): 2}
    snapshot = list(edges.items())
    out = fw(edges)
    assert_plain_result(out)
    assert out == {
        (1, 1): 0, (2, 2): 0, (3, 3): 0, (4, 4): 0,
        (1, 2): 4, (2, 3): 1, (3, 4): 2,
        (1, 3): 5, (2, 4): 3, (1, 4): 7,
    }
    assert list(edges.items()) == snapshot


def diag(*nodes):
    return {(v, v): 0 for v in nodes}


M = U32_MAX

FIXED_CASES = {
    "empty": ({}, {}),
    "self-loop-replaces-diagonal": ({(1, 1): 3}, {(1, 1): 3}),
    "cheaper-cycle-beats-self-loop": ({(1, 1): 10, (1, 2): 1, (2, 1): 1}, {(1, 1): 2, (2, 2): 0, (1, 2): 1, (2, 1): 1}),
    "zero-self-loop": ({(1, 1): 0}, {(1, 1): 0}),
    "zero-edge": ({(1, 2): 0}, {**diag(1, 2), (1, 2): 0}),
    "sink-node-gets-diagonal": ({(5, 6): 7}, {**diag(5, 6), (5, 6): 7}),
    "two-components": ({(1, 2): 1, (10, 11): 2}, {**diag(1, 2, 10, 11), (1, 2): 1, (10, 11): 2}),
    "cycle-without-self-loop-keeps-zero": ({(1, 2): 3, (2, 1): 4}, {**diag(1, 2), (1, 2): 3, (2, 1): 4}),
    "bools": ({(True, False): True}, {**diag(0, 1), (1, 0): 1}),
    "extreme-nodes-and-weight": ({(0, M): M}, {**diag(0, M), (0, M): M}),
    "extreme-nodes-cycle": ({(0, M): 1, (M, 0): 2}, {**diag(0, M), (0, M): 1, (M, 0): 2}),
    "sum-reaching-max": ({(1, 2): M - 5, (2, 3): 5}, {**diag(1, 2, 3), (1, 2): M - 5, (2, 3): 5, (1, 3): M}),
    "large-weights-are-unsigned": (
        {(1, 3): 5, (1, 2): 2**31, (2, 3): 1}, {**diag(1, 2, 3), (1, 2): 2**31, (2, 3): 1, (1, 3): 5}),
    "equal-candidate-keeps-edge": (
        {(1, 2): 1, (2, 3): 1, (1, 3): 2}, {**diag(1, 2, 3), (1, 2): 1, (2, 3): 1, (1, 3): 2}),
    # Sums past 32 bits saturate instead of wrapping around.
    "saturating-sum": ({(1, 2): M, (2, 3): 2}, {**diag(1, 2, 3), (1, 2): M, (2, 3): 2, (1, 3): M}),
    "saturating-chain": (
        {(1, 2): M, (2, 3): M, (3, 4): 7},
        {**diag(1, 2, 3, 4), (1, 2): M, (2, 3): M, (3, 4): 7, (1, 3): M, (2, 4): M, (1, 4): M}),
    "wrapped-sum-must-not-beat-real-path": (
        {(1, 2): M, (2, 3): 2, (1, 3): 100}, {**diag(1, 2, 3), (1, 2): M, (2, 3): 2, (1, 3): 100}),
    "wrapped-cycle-must-not-beat-self-loop": ({(1, 1): 5, (1, 2): M, (2, 1): 3}, {(1, 1): 5, (2, 2): 0, (1, 2): M, (2, 1): 3}),
    "saturated-cycle-through-self-loop": ({(1, 1): M, (1, 2): M, (2, 1): M}, {(1, 1): M, (2, 2): 0, (1, 2): M, (2, 1): M}),
}


@pytest.mark.parametrize("edges,expected", list(FIXED_CASES.values()), ids=list(FIXED_CASES))
def test_fixed_cases(fw, edges, expected):
    out = fw(edges)
    assert_plain_result(out)
    assert out == expected
    assert reference_distances(edges) == expected


def test_insertion_order_does_not_matter(fw):
    rng = random.Random(7)
    edges = {(rng.randrange(30), rng.randrange(30)): rng.randrange(100) for _ in range(120)}
    expected = fw(edges)
    for _ in range(5):
        items = list(edges.items())
        rng.shuffle(items)
        assert fw(dict(items)) == expected
    assert fw(edges) == expected


# ---------------------------------------------------------------- randomized comparison

BOUNDARY_NODES = [0, 1, 2, U32_MAX, U32_MAX - 1, 2**31, 2**31 - 1]
BOUNDARY_WEIGHTS = [0, 1, U32_MAX, U32_MAX - 1, U32_MAX // 2, 2**31, 2**31 - 1, 2**32 - 3]


def random_graph(rng):
    pool = list({rng.choice(BOUNDARY_NODES) if rng.random() < 0.3 else rng.randrange(2**32)
                 for _ in range(rng.randrange(1, 16))})
    # Edges stay inside one of up to three groups most of the time, so the
    # graph usually has several components.
    groups = [pool[i::3] for i in range(min(3, len(pool)))]
    top = rng.choice([20, 2**29, 2**32])
    edges = {}
    for _ in range(rng.randrange(3 * len(pool) + 1)):
        group = rng.choice(groups)
        a, b = rng.choice(group), rng.choice(group if rng.random() < 0.9 else pool)
        edges[(a, b)] = rng.choice(BOUNDARY_WEIGHTS) if rng.random() < 0.25 else rng.randrange(top)
    return edges


@pytest.mark.parametrize("seed", range(8))
def test_matches_dijkstra_reference_on_random_graphs(fw, seed):
    rng = random.Random(seed)
    for _ in range(60):
        edges = random_graph(rng)
        out = fw(edges)
        assert_plain_result(out)
        assert out == reference_distances(edges), edges


def larger_graph(rng, sizes, extra_per_node, heavy):
    """Components of the given sizes, each a random out-tree (so many pairs stay
    unreachable) plus extra random edges and a few self-loops."""
    def weight():
        if not heavy:
            return rng.randrange(100)
        return rng.choice([rng.randrange(2**31, 2**32), U32_MAX, U32_MAX - 1, 0, rng.randrange(10)])

    edges = {}
    all_nodes = distinct_nodes(rng, sum(sizes))
    for size in sizes:
        nodes, all_nodes = all_nodes[:size], all_nodes[size:]
        for i in range(1, size):
            edges[(nodes[rng.randrange(i)], nodes[i])] = weight()
        for _ in range(int(extra_per_node * size)):
            edges[(rng.choice(nodes), rng.choice(nodes))] = weight()
        for v in rng.sample(nodes, min(3, size)):
            edges[(v, v)] = weight()
    return edges


@pytest.mark.parametrize(
    "sizes,extra_per_node,heavy",
    [([200], 4, False), ([200], 4, True), ([500], 0.2, False), ([500], 0.2, True),
     ([150, 100, 40, 5, 1, 1], 1.0, True), ([130, 97], 0.5, False)],
    ids=["dense", "dense-heavy", "sparse", "sparse-heavy", "mixed-components", "medium"],
)
def test_matches_dijkstra_reference_on_larger_graphs(fw, sizes, extra_per_node, heavy):
    rng = random.Random(sum(sizes) * 31 + int(extra_per_node * 10) + heavy)
    edges = larger_graph(rng, sizes, extra_per_node, heavy)
    assert fw(edges) == reference_distances(edges)


# ---------------------------------------------------------------- interpreter lock


def _complete(n):
    # The work grows with n**3, the dicts only with n**2.
    return {(i, j): (i * 7 + j * 13) % 1000 + 1 for i in range(n) for j in range(n) if i != j}


def _sparse(n):
    # Strongly connected and sparse: little work, an n*n result.
    rng = random.Random(n)
    return {(i, j): rng.randrange(1, 100) for i in range(n) for j in ((i + 1) % n, rng.randrange(n))}


def test_the_lock_is_released_while_velkor_computes(fw, monkeypatch):
    # With a switch interval far longer than the call, no thread takes the
    # lock from another: the other thread, which gives the lock up at every
    # turn of its loop, runs during the call only if velkor releases it.
    # Released while computing, it turns many times however busy the
    # machine; held throughout, not once.
    # A larger graph is tried where the computation is too quick to see
    # five turns.
    monkeypatch.setenv("VELKOR_NUM_THREADS", "1")
    turns = 0
    stop = False

    def spin():
        nonlocal turns
        while not stop:
            turns += 1
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    worker = threading.Thread(target=spin)
    worker.start()
    sys.setswitchinterval(1000)
    try:
        for n in (600, 1200):
            edges = _complete(n)
            before = turns
            fw(edges)
            during = turns - before
            if during >= 5:
                break
    finally:
        sys.setswitchinterval(interval)
        stop = True
        worker.join()
    assert during >= 5, f"the other thread ran {during} times during the call"


def _resident():
    # Read again through one descriptor: closing a file object makes a
    # free-threaded CPython 3.13 yield its time slice 40 times (it takes a
    # lock its own thread holds), which on a busy machine leaves a thread
    # that reads in a loop only a few turns a second.
    global _statm
    if _statm is None:
        _statm = os.open("/proc/self/statm", os.O_RDONLY)
    return int(os.pread(_statm, 100, 0).split()[1]) * os.sysconf("SC_PAGE_SIZE")


_statm = None


def test_the_lock_is_offered_while_a_result_is_built(fw):
    # The result's objects are made with the lock held, and the lock is
    # offered between them, so another thread takes turns all through the
    # build. Judged by what that thread sees of it, the interpreter's
    # allocated blocks as the result's tuples and ints are made, not by the
    # clock: a busy machine makes the build longer, not the turns fewer.
    # A free-threaded interpreter counts a thread's blocks for others only
    # now and then: there the process's resident memory tells the growth.
    made = sys.getallocatedblocks if getattr(sys, "_is_gil_enabled", lambda: True)() else _resident
    edges = _sparse(2000)
    notes = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            notes.append((time.monotonic(), made()))
            time.sleep(0.0005)

    worker = threading.Thread(target=spin)
    before = made()
    worker.start()
    try:
        result = fw(edges)
        end = time.monotonic()
    finally:
        stop.set()
        worker.join()
    grown = made() - before
    assert len(result) == 2000 * 2000 and grown > len(result)
    # The turns taken while the result grew from a tenth to nine tenths of
    # its blocks, and the longest wait from the last turn before that span
    # to the first after it.
    first = max((i for i, (_, b) in enumerate(notes) if b - before <= 0.1 * grown), default=0)
    last = next((i for i, (_, b) in enumerate(notes) if b - before >= 0.9 * grown), len(notes))
    times = [t for t, _ in notes[first:last]] + ([end] if last == len(notes) else [notes[last][0]])
    assert last - first > 5, f"the other thread ran {last - first - 1} times while the result was built"
    stall = max(b - a for a, b in zip(times, times[1:]))
    span = times[-1] - times[0]
    assert stall < 0.5 * span, f"the other thread waited {stall:.3f}s at once in a {span:.3f}s build"


_THREADS_DURING_A_CALL = """
import os, threading, time, velkor
n = 700
g = {(i, j): (i * 7 + j * 13) % 1000 + 1 for i in range(n) for j in range(n) if i != j}
most, stop = 0, False

def count():
    return len(os.listdir("/proc/self/task"))

def watch():
    global most
    while not stop:
        most = max(most, count())
        time.sleep(0.001)

watcher = threading.Thread(target=watch)
watcher.start()
# The threads there are before the call, the watcher's own included (an
# emulator such as QEMU's user mode keeps threads of its own too).
before = 0
for _ in range(50):
    before = max(before, count())
    time.sleep(0.002)
velkor.floyd_warshall_u32(g)
stop = True
watcher.join()
print(most - before)
"""


@pytest.mark.skipif(sys.platform != "linux", reason="cgroups and /proc/self/task are Linux's")
def test_helper_threads_follow_the_cpu_quota_and_velkor_num_threads(cgroup):
    # The threads a large computation adds to its process. With no cap (the
    # control, in this run) helpers start on a machine of two CPUs or more; a
    # quota below one CPU, like VELKOR_NUM_THREADS=1, leaves the computation
    # on the calling thread.
    def helpers(wrapper=(), **env):
        proc = subprocess.run([*wrapper, sys.executable, "-c", _THREADS_DURING_A_CALL], capture_output=True,
                              text=True, timeout=120, env={**os.environ, **env})
        assert proc.returncode == 0, proc.stderr[-2000:]
        return int(proc.stdout)

    with pytest.MonkeyPatch.context() as m:
        m.delenv("VELKOR_NUM_THREADS", raising=False)
        assert helpers() > 0, "no helper thread started on this machine: nothing to cap"
        assert helpers(VELKOR_NUM_THREADS="1") == 0
        half = cgroup("cpu", lambda v2: {"cpu.max": "50000 100000"} if v2 else
                      {"cpu.cfs_period_us": 100000, "cpu.cfs_quota_us": 50000})
        assert helpers(half) == 0


def test_concurrent_calls_give_correct_results(fw):
    # Graphs of 300 nodes: large enough for each call to spread over the
    # thread team while the others run theirs.
    rng = random.Random(99)
    graphs = [{(rng.randrange(300), rng.randrange(300)): rng.randrange(1000) for _ in range(3000)}
              for _ in range(4)]
    expected = [fw(g) for g in graphs]
    results = [[] for _ in graphs]

    def work(i):
        for _ in range(3):
            results[i].append(fw(graphs[i]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(graphs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        assert got == [want] * 3
