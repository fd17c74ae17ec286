"""Wall-clock comparison of velkor with the libraries users could install instead.

Every contender starts from the same Python dict {(u, v): weight} and must
return a dict {(u, v): distance} of all reachable pairs, because that is
what the caller holds and wants. A "floor" row times only building a dict
of that many tuple keys from precomputed arrays: no method returning a
dict can beat it.

    python bench/bench_peers.py            # all cases
    python bench/bench_peers.py --quick    # small cases only

Peers are used when importable (pip install networkx scipy numpy igraph rustworkx).
"""

import argparse
import gc
import random
import statistics
import sys
import time

import velkor


def random_graph(n, avg_degree, seed, max_weight=1000):
    rng = random.Random(seed)
    edges = {}
    m = int(n * avg_degree)
    while len(edges) < m:
        u, v = rng.randrange(n), rng.randrange(n)
        if u != v:
            edges[(u, v)] = rng.randint(1, max_weight)
    return edges


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
    return {(f"n{u}", f"n{v}"): w for (u, v), w in edges.items()}


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


def floor(result):
    """Builds a dict of the result's size from ready-made keys and values."""
    keys = list(result.keys())
    values = list(result.values())
    pairs = [tuple(k) for k in keys]

    def build():
        return dict(zip([(a, b) for a, b in pairs], values))

    return build


def best_of(fn, arg, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t)
    return min(times), statistics.median(times)


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

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

    print(f"python {sys.version.split()[0]}, velkor {getattr(velkor, '__file__', '')}")
    print(f"{'case':<24}{'contender':<12}{'best s':>10}{'median s':>10}{'x floor':>9}")
    for name, edges in cases:
        reference = run_velkor(edges)
        fl, _ = best_of(lambda _: floor(reference)(), None, args.repeat)
        print(f"{name:<24}{'floor':<12}{fl:>10.4f}{'':>10}{1.0:>9.2f}")
        for cname, fn in CONTENDERS:
            if not available(cname):
                continue
            out = fn(edges)
            if out != reference:
                print(f"{name:<24}{cname:<12}  DIFFERENT RESULT ({len(out)} vs {len(reference)} entries)")
                continue
            best, med = best_of(fn, edges, args.repeat)
            print(f"{name:<24}{cname:<12}{best:>10.4f}{med:>10.4f}{best / fl:>9.2f}")
        labelled = label_graph(edges)
        best, med = best_of(run_velkor_labels, labelled, args.repeat)
        print(f"{name:<24}{'velkor/str':<12}{best:>10.4f}{med:>10.4f}{best / fl:>9.2f}")

    print()
    print("nearest common descendant of all-pairs distances (extreme 10**6)")
    ncd_cases = [("random n=300 deg=4", random_graph(300, 4, 1))]
    if not args.quick:
        ncd_cases += [("random n=1000 deg=3", random_graph(1000, 3, 2)), ("grid 30x30", grid_graph(30, 3))]
    for name, edges in ncd_cases:
        arg = (velkor.floyd_warshall_u32(edges), 10**6)
        reference = run_velkor_ncd(arg)
        fl, _ = best_of(lambda _: floor(reference)(), None, args.repeat)
        print(f"{name:<24}{'floor':<12}{fl:>10.4f}{'':>10}{1.0:>9.2f}")
        for cname, fn in (("velkor", run_velkor_ncd), ("numpy", run_numpy_ncd)):
            if not available(cname):
                continue
            if fn(arg) != reference:
                print(f"{name:<24}{cname:<12}  DIFFERENT RESULT")
                continue
            best, med = best_of(fn, arg, args.repeat)
            print(f"{name:<24}{cname:<12}{best:>10.4f}{med:>10.4f}{best / fl:>9.2f}")


if __name__ == "__main__":
    main()
