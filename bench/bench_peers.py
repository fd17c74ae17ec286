"""Wall-clock and memory benchmarks of velkor, against its peers and against a C floor.

Every contender starts from the same Python dict {(u, v): weight} and must
return a dict {(u, v): distance} of all reachable pairs, because that is
what the caller holds and wants. The "floor" is a small C function
(bench/floor.c, compiled by this script on first use with the running
interpreter's headers) that reads the input dict as any implementation must
(hashes both nodes of every key, reads every value) and then builds a dict
of as many entries as the result, each a new 2-tuple of shared node ints and
a new int made from the result's values (so small ints come from CPython's
cache for the floor exactly as often as for the result). It grows the dict
from empty with PyDict_SetItem. No function returning such a dict can go
far below it.

Run it with the interpreter velkor is installed in (peers are used when
importable: pip install networkx scipy numpy python-igraph rustworkx matplotlib):

    python bench/bench_peers.py --quick             # peers, floor, threads, memory tables; no n=4000
    python bench/bench_peers.py                     # the same with every workload (n=4000 needs ~6 GB)
    python bench/bench_peers.py --peers [--quick]   # velkor against networkx, scipy, igraph, rustworkx
    python bench/bench_peers.py --floor [--quick]   # velkor / floor time ratios, sparse and complete graphs
    python bench/bench_peers.py --threads [--quick] # VELKOR_NUM_THREADS=1, 2 and unset, one subprocess each
    python bench/bench_peers.py --memory [--quick]  # peak memory of each call / size of the dict it returns
    python bench/bench_peers.py --memory --memory-n 5000  # the same for results of 25M entries
    python bench/bench_peers.py --plot docs/bench.png  # log-log time against n, velkor, floor and peers

Times are the best (and median) of --repeat calls, with the cyclic garbage
collector enabled as in a caller's program; each result is kept until the
clock is read, so freeing it is not counted. Tables are markdown.
"""

import argparse
import array
import gc
import hashlib
import importlib
import json
import os
import random
import re
import resource
import shlex
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import velkor

HERE = Path(__file__).resolve().parent
EXTREME = 10**6


# ---------------------------------------------------------------- graphs


def random_graph(n, avg_degree, seed, max_weight=1000):
    rng = random.Random(seed)
    edges = {}
    m = int(n * avg_degree)
    while len(edges) < m:
        u, v = rng.randrange(n), rng.randrange(n)
        if u != v:
            edges[(u, v)] = rng.randint(1, max_weight)
    return edges


def sparse_graph(n, seed, out_degree=5, max_weight=1000):
    """Strongly connected: a Hamiltonian cycle through a shuffled order, then
    random edges until there are about out_degree per node."""
    rng = random.Random(seed)
    order = list(range(n))
    rng.shuffle(order)
    edges = {}
    for i in range(n):
        edges[(order[i], order[(i + 1) % n])] = rng.randint(1, max_weight)
    m = n * out_degree
    while len(edges) < m:
        u, v = rng.randrange(n), rng.randrange(n)
        if u != v:
            edges[(u, v)] = rng.randint(1, max_weight)
    return edges


def complete_graph(n, seed, max_weight=1000):
    rng = random.Random(seed)
    rand = rng.randint
    return {(u, v): rand(1, max_weight) for u in range(n) for v in range(n) if u != v}


def grid_graph(side, seed):
    rng = random.Random(seed)
    edges = {}
    for r in range(side):
        for c in range(side):
            u = r * side + c
            for dr, dc in ((0, 1), (1, 0), (0, -1), (-1, 0)):
                rr, cc = r + dr, c + dc
                if 0 <= rr < side and 0 <= cc < side:
                    edges[(u, rr * side + cc)] = rng.randint(1, 9)
    return edges


def label_graph(edges):
    names = {}

    def name(v):
        s = names.get(v)
        if s is None:
            s = names[v] = f"n{v}"
        return s

    return {(name(u), name(v)): w for (u, v), w in edges.items()}


def make_graph(kind, n):
    if kind == "sparse":
        return sparse_graph(n, seed=n)
    if kind == "complete":
        return complete_graph(n, seed=n)
    raise ValueError(kind)


def node_count(d):
    return len({x for k in d for x in k})


# ---------------------------------------------------------------- the floor

_floor_module = None


def load_floor():
    """Compiles bench/floor.c for this interpreter (once; cached in the temp dir)."""
    global _floor_module
    if _floor_module is not None:
        return _floor_module
    src = HERE / "floor.c"
    include = sysconfig.get_paths()["include"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    tag = hashlib.sha256(src.read_bytes() + include.encode() + sys.version.encode()).hexdigest()[:16]
    folder = Path(tempfile.gettempdir()) / "velkor-bench-floor" / tag
    target = folder / f"_bench_floor{suffix}"
    if not target.exists():
        folder.mkdir(parents=True, exist_ok=True)
        cc = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
        tmp = folder / f"build-{os.getpid()}.tmp"
        cmd = cc + ["-O2", "-fPIC", "-shared", f"-I{include}", str(src), "-o", str(tmp)]
        try:
            subprocess.run(cmd, check=True, capture_output=True, text=True)
        except subprocess.CalledProcessError as e:
            sys.exit(f"building the floor failed: {shlex.join(cmd)}\n{e.stderr}")
        os.replace(tmp, target)
    sys.path.insert(0, str(folder))
    try:
        module = importlib.import_module("_bench_floor")
    finally:
        sys.path.remove(str(folder))
    _floor_module = module
    return module


def floor_call(inp, result, make_first=False):
    """A zero-argument callable that reads inp and builds a dict of as many
    entries as `result`, with the same values (so with as many small ints):
    making and inserting each entry in turn, or, with make_first, making
    every entry and then inserting them all."""
    f = load_floor().floor
    n = max(1, node_count(inp))
    count = len(result)
    values = array.array("I", result.values()) if count else None
    batch = max(count, 1) if make_first else 0
    return lambda: f(inp, n, count, values, batch)


# ---------------------------------------------------------------- contenders


def run_velkor(edges):
    return velkor.floyd_warshall_u32(edges)


def run_velkor_labels(edges):
    return velkor.floyd_warshall(edges)


def run_networkx(edges):
    import networkx as nx

    g = nx.DiGraph()
    g.add_weighted_edges_from((u, v, w) for (u, v), w in edges.items())
    out = {}
    for u, row in nx.all_pairs_dijkstra_path_length(g):
        for v, d in row.items():
            out[(u, v)] = d
    return out


def run_scipy(edges):
    import numpy as np
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import shortest_path

    nodes = sorted({x for k in edges for x in k})
    index = {v: i for i, v in enumerate(nodes)}
    rows = np.fromiter((index[u] for u, _ in edges), dtype=np.int64, count=len(edges))
    cols = np.fromiter((index[v] for _, v in edges), dtype=np.int64, count=len(edges))
    data = np.fromiter(edges.values(), dtype=np.float64, count=len(edges))
    m = csr_matrix((data, (rows, cols)), shape=(len(nodes), len(nodes)))
    dist = shortest_path(m, method="auto", directed=True)
    ii, jj = np.nonzero(np.isfinite(dist))
    vals = dist[ii, jj].astype(np.int64).tolist()
    return {(nodes[i], nodes[j]): d for i, j, d in zip(ii.tolist(), jj.tolist(), vals)}


def run_igraph(edges):
    import igraph as ig

    nodes = sorted({x for k in edges for x in k})
    index = {v: i for i, v in enumerate(nodes)}
    g = ig.Graph(n=len(nodes), edges=[(index[u], index[v]) for u, v in edges], directed=True)
    g.es["weight"] = list(edges.values())
    dist = g.distances(weights="weight", mode="out")
    inf = float("inf")
    return {(nodes[i], nodes[j]): int(d) for i, row in enumerate(dist) for j, d in enumerate(row) if d != inf}


def run_rustworkx(edges):
    import rustworkx as rx

    nodes = sorted({x for k in edges for x in k})
    index = {v: i for i, v in enumerate(nodes)}
    g = rx.PyDiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from([(index[u], index[v], w) for (u, v), w in edges.items()])
    res = rx.all_pairs_dijkstra_path_lengths(g, float)
    out = {(nodes[i], nodes[i]): 0 for i in range(len(nodes))}
    for i, row in res.items():
        for j, d in row.items():
            out[(nodes[i], nodes[j])] = int(d)
    return out


def run_velkor_ncd(args):
    distances, extreme = args
    return velkor.nearest_common_descendant_u32(distances, extreme)


def run_numpy_ncd(args):
    """The same quantity with NumPy: clamp, then a row-at-a-time (min, max) product."""
    import numpy as np

    distances, extreme = args
    nodes = sorted({x for k in distances for x in k})
    index = {v: i for i, v in enumerate(nodes)}
    n = len(nodes)
    d = np.full((n, n), extreme, dtype=np.uint32)
    for (u, v), w in distances.items():
        d[index[u], index[v]] = min(w, extreme)
    r = np.empty((n, n), dtype=np.uint32)
    for x in range(n):
        r[x] = np.maximum(d[x][None, :], d).min(axis=1)
    np.fill_diagonal(r, 0)
    rows = r.tolist()
    return {(nodes[i], nodes[j]): rows[i][j] for i in range(n) for j in range(n)}


CONTENDERS = [
    ("velkor", run_velkor),
    ("networkx", run_networkx),
    ("scipy", run_scipy),
    ("igraph", run_igraph),
    ("rustworkx", run_rustworkx),
]


def available(name):
    mod = {"networkx": "networkx", "scipy": "scipy", "numpy": "numpy", "igraph": "igraph", "rustworkx": "rustworkx"}.get(name)
    if mod is None:
        return True
    try:
        __import__(mod)
        return True
    except ImportError:
        return False


# The four velkor functions, by short name, each on the input its workload makes.
FUNCTIONS = {
    "fw_u32": ("floyd_warshall_u32", lambda a: velkor.floyd_warshall_u32(a)),
    "fw": ("floyd_warshall", lambda a: velkor.floyd_warshall(a)),
    "ncd_u32": ("nearest_common_descendant_u32", lambda a: velkor.nearest_common_descendant_u32(a, EXTREME)),
    "ncd": ("nearest_common_descendant", lambda a: velkor.nearest_common_descendant(a, EXTREME)),
}


def workload_input(func, kind, n):
    """The argument `func` is called with: integer nodes for the *_u32
    functions, string labels ("n17") for the others. Nearest common
    descendant reads the all-pairs distances of the graph."""
    edges = make_graph(kind, n)
    if func in ("fw", "ncd"):
        edges = label_graph(edges)
    if func == "ncd_u32":
        return velkor.floyd_warshall_u32(edges)
    if func == "ncd":
        return velkor.floyd_warshall(edges)
    return edges


def workload_name(func, kind, n):
    return f"{FUNCTIONS[func][0]} {kind} n={n}"


# ---------------------------------------------------------------- measuring


def timed(fn, arg, repeat, keep_first=False):
    """Best and median of `repeat` calls; with keep_first, also the first
    call's result, which is held aside while the others run."""
    times = []
    first = None
    for i in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = fn(arg)
        times.append(time.perf_counter() - t)
        if keep_first and i == 0:
            first = out
        del out
    return min(times), statistics.median(times), first


class Table:
    """A markdown table printed row by row as results come in."""

    def __init__(self, *columns):
        self.widths = [max(len(title), width) for title, width in columns]
        self.row(*(title for title, _ in columns), numeric=False)
        print("|" + "|".join("-" * (w + 2) for w in self.widths) + "|", flush=True)

    def row(self, *cells, numeric=True):
        out = []
        for c, w in zip(cells, self.widths):
            s = str(c)
            out.append(s.rjust(w) if numeric and (s[:1].isdigit() or s == "—") else s.ljust(w))
        print("| " + " | ".join(out) + " |", flush=True)


def fmt_s(t):
    return "—" if t is None else f"{t:.4f}" if t < 10 else f"{t:.2f}"


def fmt_ratio(a, b):
    return "—" if a is None or b is None else f"{a / b:.2f}"


def cpus():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count()


def header():
    threads = os.environ.get("VELKOR_NUM_THREADS", "unset")
    print(f"python {sys.version.split()[0]}, {cpus()} CPUs, VELKOR_NUM_THREADS={threads}, velkor {velkor.__file__}")


def run_child(task):
    """Runs one task of this script in a fresh interpreter; returns its JSON answer."""
    env = dict(os.environ)
    threads = task.pop("threads", None)
    env.pop("VELKOR_NUM_THREADS", None)
    if threads is not None:
        env["VELKOR_NUM_THREADS"] = str(threads)
    proc = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(task)],
        env=env, capture_output=True, text=True,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"child {task} failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- sections


def section_peers(args):
    print("## velkor and its peers: floyd_warshall_u32 and the equivalent dict-to-dict call")
    print()
    cases = [
        ("random n=300 deg=4", random_graph(300, 4, 1)),
        ("random n=1000 deg=3", random_graph(1000, 3, 2)),
        ("grid 30x30", grid_graph(30, 3)),
    ]
    if not args.quick:
        cases += [
            ("random n=2000 deg=5", random_graph(2000, 5, 4)),
            ("dense n=500 deg=100", random_graph(500, 100, 5)),
            ("grid 60x60", grid_graph(60, 6)),
        ]
    t = Table(("case", 20), ("contender", 10), ("best s", 8), ("median s", 8), ("x floor", 7))
    for name, edges in cases:
        reference = run_velkor(edges)
        fc = floor_call(edges, reference)
        fl, flm, _ = timed(lambda _: fc(), None, args.repeat)
        t.row(name, "floor", fmt_s(fl), fmt_s(flm), "1.00")
        for cname, fn in CONTENDERS:
            if not available(cname):
                continue
            out = fn(edges)
            if out != reference:
                t.row(name, cname, "DIFFERENT", f"{len(out)}", f"{len(reference)}")
                continue
            del out
            best, med, _ = timed(fn, edges, args.repeat)
            t.row(name, cname, fmt_s(best), fmt_s(med), fmt_ratio(best, fl))
        labelled = label_graph(edges)
        best, med, _ = timed(run_velkor_labels, labelled, args.repeat)
        t.row(name, "velkor/str", fmt_s(best), fmt_s(med), fmt_ratio(best, fl))
        del reference, labelled

    print()
    print(f"## nearest common descendant of all-pairs distances (extreme {EXTREME})")
    print()
    ncd_cases = [("random n=300 deg=4", random_graph(300, 4, 1))]
    if not args.quick:
        ncd_cases += [("random n=1000 deg=3", random_graph(1000, 3, 2)), ("grid 30x30", grid_graph(30, 3))]
    t = Table(("case", 20), ("contender", 10), ("best s", 8), ("median s", 8), ("x floor", 7))
    for name, edges in ncd_cases:
        arg = (velkor.floyd_warshall_u32(edges), EXTREME)
        reference = run_velkor_ncd(arg)
        fc = floor_call(arg[0], reference)
        fl, flm, _ = timed(lambda _: fc(), None, args.repeat)
        t.row(name, "floor", fmt_s(fl), fmt_s(flm), "1.00")
        for cname, fn in (("velkor", run_velkor_ncd), ("numpy", run_numpy_ncd)):
            if not available(cname):
                continue
            if fn(arg) != reference:
                t.row(name, cname, "DIFFERENT", "", "")
                continue
            best, med, _ = timed(fn, arg, args.repeat)
            t.row(name, cname, fmt_s(best), fmt_s(med), fmt_ratio(best, fl))
    print()


def section_floor(args):
    print("## velkor / floor")
    print()
    print("Sparse graphs: a Hamiltonian cycle plus random edges, 5 out-edges per node.")
    print("The plain functions get integer nodes, the labelled ones strings (\"n17\");")
    print("the floor reads the integer input. Nearest common descendant: extreme 10**6,")
    print("on the all-pairs distances of the sparse graph. Best of 3 (2 above 4M entries).")
    print("Two floors: entries made and inserted in turn (\"floor\"), and every entry made")
    print("first, then all inserted (\"floor 2\").")
    print()
    # (plain function, labelled function, graph kind, n); labelled=None skips it.
    workloads = [
        ("fw_u32", "fw", "sparse", 1000),
        ("fw_u32", None, "sparse", 4000),
        ("fw_u32", "fw", "complete", 500),
        ("fw_u32", "fw", "complete", 1000),
        ("fw_u32", "fw", "complete", 2000),
        ("ncd_u32", "ncd", "sparse", 1000),
        ("ncd_u32", "ncd", "sparse", 2000),
    ]
    if args.quick:
        workloads = [w for w in workloads if w[3] < 4000]
    t = Table(
        ("function", 32), ("graph", 15), ("entries", 10), ("floor s", 7), ("floor 2 s", 9),
        ("u32 s", 7), ("labels s", 8), ("u32 / floor", 11), ("labels / floor", 14),
        ("u32 / floor 2", 13), ("labels / floor 2", 16),
    )
    for plain, labelled, kind, n in workloads:
        inp = workload_input(plain, kind, n)
        repeat = args.repeat if n * n <= 4_000_000 else min(args.repeat, 2)
        best_u, _, result = timed(FUNCTIONS[plain][1], inp, 1, keep_first=True)
        fc = floor_call(inp, result)
        fc2 = floor_call(inp, result, make_first=True)
        count = len(result)
        del result
        if repeat > 1:
            best_u = min(best_u, timed(FUNCTIONS[plain][1], inp, repeat - 1)[0])
        fl, _, _ = timed(lambda _: fc(), None, repeat)
        fl2, _, _ = timed(lambda _: fc2(), None, repeat)
        fc = fc2 = inp = None
        best_l = None
        if labelled is not None:
            linp = workload_input(labelled, kind, n)
            best_l, _, lresult = timed(FUNCTIONS[labelled][1], linp, 1, keep_first=True)
            assert len(lresult) == count, (len(lresult), count)
            del lresult
            if repeat > 1:
                best_l = min(best_l, timed(FUNCTIONS[labelled][1], linp, repeat - 1)[0])
            del linp
        fname = FUNCTIONS[plain][0].removesuffix("_u32") + "[_u32]"
        t.row(fname, f"{kind} n={n}", count, fmt_s(fl), fmt_s(fl2), fmt_s(best_u), fmt_s(best_l),
              fmt_ratio(best_u, fl), fmt_ratio(best_l, fl), fmt_ratio(best_u, fl2), fmt_ratio(best_l, fl2))
        gc.collect()
    print()


def section_threads(args):
    n = 1000 if args.quick else 2000
    print(f"## threads: VELKOR_NUM_THREADS, one fresh process per cell ({cpus()} CPUs here)")
    print()
    settings = [("1", 1), ("2", 2), (f"unset ({cpus()})", None)]
    t = Table(("workload", 44), *((f"{label} s", 9) for label, _ in settings), ("1 / unset", 9))
    for func, kind in (("fw_u32", "complete"), ("ncd_u32", "sparse")):
        times = []
        for _, threads in settings:
            r = run_child({"task": "time", "func": func, "kind": kind, "n": n,
                           "repeat": min(args.repeat, 2), "threads": threads})
            times.append(r["best"])
        t.row(workload_name(func, kind, n), *(fmt_s(x) for x in times), fmt_ratio(times[0], times[-1]))
    print()


def section_memory(args):
    n = args.memory_n or (1000 if args.quick else 1500)
    print("## memory: peak above the input / size of the returned dict")
    print()
    print("Each call in a fresh process. Baseline: resident set once the input is built")
    print("and collected. Peak: the high-water mark during the call (reset just before it")
    print("through /proc/self/clear_refs). Result: resident set after the call, result alive.")
    print("Per entry: the peak, and what velkor charged its memory budget for the call, read")
    print("from the refusal of the same call in the same process under a lower `ulimit -v`.")
    print("Time: the call's, once (the floor's: walking the input and building its dict).")
    print()
    t = Table(("call", 44), ("input MB", 8), ("result MB", 9), ("peak MB", 8), ("peak / result", 13),
              ("peak B/entry", 12), ("charged B/entry", 15), ("time s", 6))
    for func in ("fw_u32", "fw", "ncd_u32", "ncd", "floor"):
        r = run_child({"task": "memory", "func": func, "kind": "sparse", "n": n})
        name = "floor (C, on the floyd_warshall_u32 input)" if func == "floor" else workload_name(func, "sparse", n)
        note = "" if r["exact_peak"] else " (ru_maxrss)"
        charged = f"{r['charged'] / r['entries']:.1f}" if r.get("charged") else ""
        t.row(name, f"{r['input_kb'] / 1024:.0f}", f"{r['result_kb'] / 1024:.0f}",
              f"{r['peak_kb'] / 1024:.0f}", f"{r['peak_kb'] / r['result_kb']:.3f}{note}",
              f"{r['peak_kb'] * 1024 / r['entries']:.1f}", charged, f"{r['seconds']:.2f}")
    print()


PLOT_SIZES = {
    "sparse": [125, 250, 500, 1000, 2000],
    "complete": [125, 250, 500, 1000],
}
# Largest n each peer is run at; networkx works in pure Python and is slow.
PLOT_CAPS = {
    "networkx": {"sparse": 500, "complete": 250},
    "scipy": {"sparse": 2000, "complete": 1000},
    "igraph": {"sparse": 2000, "complete": 1000},
    "rustworkx": {"sparse": 2000, "complete": 1000},
}


PEER_COLORS = ["C0", "C1", "C2", "C4", "C5", "C6"]  # C3 (red) is velkor's


def section_plot(args):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    print("## time against n (data of the plot; floyd_warshall_u32 and peers)")
    print()
    peers = [(name, fn) for name, fn in CONTENDERS if name != "velkor" and available(name)]
    names = ["velkor", "floor"] + [name for name, _ in peers]
    data = {kind: {name: [] for name in names} for kind in PLOT_SIZES}
    t = Table(("graph", 15), *((f"{name} s", 9) for name in names))
    for kind, sizes in PLOT_SIZES.items():
        for n in sizes:
            edges = make_graph(kind, n)
            repeat = 3 if n <= 500 else 2
            reference = run_velkor(edges)
            row = {}
            row["velkor"], _, _ = timed(run_velkor, edges, repeat)
            fc = floor_call(edges, reference)
            row["floor"], _, _ = timed(lambda _: fc(), None, repeat)
            for name, fn in peers:
                if n > PLOT_CAPS[name][kind]:
                    continue
                out = fn(edges)
                if out != reference:
                    sys.exit(f"{name} disagrees with velkor on {kind} n={n}")
                del out
                row[name], _, _ = timed(fn, edges, 1 if n >= 1000 else 2)
            del reference, edges
            for name in names:
                if name in row:
                    data[kind][name].append((n, row[name]))
            t.row(f"{kind} n={n}", *(fmt_s(row.get(name)) for name in names))
    print()

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
    styles = {"velkor": dict(color="C3", lw=2.5, marker="o"), "floor": dict(color="black", ls="--", marker="")}
    titles = {"sparse": "sparse: 5 out-edges per node", "complete": "complete graphs"}
    for ax, kind in zip(axes, PLOT_SIZES):
        for i, name in enumerate(names):
            pts = data[kind][name]
            if not pts:
                continue
            style = styles.get(name, dict(color=PEER_COLORS[(i - 2) % len(PEER_COLORS)], marker="s", ms=4))
            ax.plot([p[0] for p in pts], [p[1] for p in pts], label=name, **style)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(PLOT_SIZES[kind], [str(n) for n in PLOT_SIZES[kind]])
        ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
        ax.set_xlabel("nodes n")
        ax.set_title(titles[kind])
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("seconds, dict in to dict out")
    axes[0].legend()
    fig.suptitle(f"all-pairs shortest paths, python {sys.version.split()[0]}, {cpus()} CPUs")
    fig.tight_layout()
    out = Path(args.plot)
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


# ---------------------------------------------------------------- child processes


def vm_status_kb(field):
    with open("/proc/self/status") as f:
        m = re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M)
    return int(m.group(1))


def trim_heap():
    """Hands freed heap memory back to the system so the baseline is tight."""
    try:
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def child_time(task):
    inp = workload_input(task["func"], task["kind"], task["n"])
    best, med, _ = timed(FUNCTIONS[task["func"]][1], inp, task["repeat"])
    return {"best": best, "median": med}


def child_memory(task):
    start_kb = vm_status_kb("VmRSS")
    if task["func"] == "floor":
        inp = workload_input("fw_u32", task["kind"], task["n"])
        call = floor_call(inp, velkor.floyd_warshall_u32(inp))
    else:
        inp = workload_input(task["func"], task["kind"], task["n"])
        fn = FUNCTIONS[task["func"]][1]
        call = lambda: fn(inp)  # noqa: E731
    gc.collect()
    trim_heap()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        exact_peak = True
    except OSError:
        exact_peak = False
    before_kb = vm_status_kb("VmRSS")
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    after_kb = vm_status_kb("VmRSS")
    if exact_peak:
        peak_kb = vm_status_kb("VmHWM")
    else:
        # ru_maxrss is a high-water mark over the life of the process: it only
        # tells the call's peak when the call went above building the input.
        peak_kb = max(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, maxrss_before)
    entries = len(result)
    assert entries > 0
    answer = {
        "input_kb": before_kb - start_kb,
        "result_kb": after_kb - before_kb,
        "peak_kb": peak_kb - before_kb,
        "exact_peak": exact_peak,
        "entries": entries,
        "seconds": seconds,
    }
    if task["func"] != "floor":
        answer["charged"] = refused_charge(call, entries, len(inp))
    return answer


def refused_charge(call, entries, input_entries):
    """What the call charges its budget for `entries` entries: its refusal,
    with the result still alive and address space to spare for reading the
    input (16 MiB and 32 bytes per input entry), names the bytes it needs.
    None where no address-space limit can be set."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    spare = (16 << 20) + 32 * input_entries
    try:
        resource.setrlimit(resource.RLIMIT_AS, (vm_status_kb("VmSize") * 1024 + spare, hard))
    except (ValueError, OSError):
        return None
    try:
        call()
    except MemoryError as e:
        m = re.search(r"needs at least (\d+) bytes of \w[\w ]* \((\d+) entries", str(e))
        if m and int(m.group(2)) == entries:
            return int(m.group(1))
        return None
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    return None


# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser(
        description="Benchmarks of velkor: against networkx, scipy, igraph and rustworkx, "
        "against a C floor, across thread counts, and for peak memory. With no section "
        "flag, --peers --floor --threads --memory are all run.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="commands:\n" + "\n".join(
            line.strip() for line in __doc__.splitlines() if line.strip().startswith("python bench/")
        ),
    )
    ap.add_argument("--quick", action="store_true", help="skip the largest workloads (n=4000) and shrink the thread and memory runs")
    ap.add_argument("--repeat", type=int, default=3, help="calls per timing; the best is reported (default 3)")
    ap.add_argument("--peers", action="store_true", help="velkor against networkx, scipy, igraph, rustworkx and NumPy")
    ap.add_argument("--floor", action="store_true", help="velkor / floor ratios on sparse and complete graphs")
    ap.add_argument("--threads", action="store_true", help="times with VELKOR_NUM_THREADS=1, 2 and unset")
    ap.add_argument("--memory", action="store_true", help="peak memory per call against the size of its result")
    ap.add_argument("--memory-n", type=int, metavar="N",
                    help="nodes of the memory run's graphs (default 1500, 1000 with --quick; 5000: results of 25M entries, 4-8 GB at once)")
    ap.add_argument("--plot", metavar="PNG", help="write a log-log plot of time against n (e.g. docs/bench.png)")
    ap.add_argument("--child", metavar="JSON", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        task = json.loads(args.child)
        answer = {"time": child_time, "memory": child_memory}[task["task"]](task)
        print(json.dumps(answer))
        return

    chosen = [s for s in ("peers", "floor", "threads", "memory") if getattr(args, s)]
    if not chosen and not args.plot:
        chosen = ["peers", "floor", "threads", "memory"]
    load_floor()
    header()
    print()
    started = time.perf_counter()
    for s in chosen:
        globals()[f"section_{s}"](args)
    if args.plot:
        section_plot(args)
    print(f"({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
