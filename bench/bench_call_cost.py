"""What one call costs on a small graph, for builds of velkor side by side.

    python bench/bench_call_cost.py                      # the installed velkor
    python bench/bench_call_cost.py --module DIR ...     # builds whose velkor*.so is in DIR

Each build runs in a process of its own, the builds taking turns, so that
they are measured in one session under the same conditions; a figure is the
best over the rounds of timeit's best of 7 repeats of 3,000 calls, in
microseconds per call, for rings of 2, 10 and 50 nodes, integer-keyed
(floyd_warshall_u32) and label-keyed (floyd_warshall, string nodes).
"""

import argparse
import json
import subprocess
import sys
import textwrap

SIZES = (2, 10, 50)

CHILD = textwrap.dedent("""
    import json, sys, timeit
    if sys.argv[1]:
        sys.path.insert(0, sys.argv[1])
    import velkor
    out = {}
    for n in SIZES:
        ints = {(i, (i + 1) % n): 1 + i % 7 for i in range(n)}
        labels = {(f"n{i}", f"n{(i + 1) % n}"): 1 + i % 7 for i in range(n)}
        for name, func, graph in (("int", velkor.floyd_warshall_u32, ints), ("label", velkor.floyd_warshall, labels)):
            best = min(timeit.repeat(lambda: func(graph), number=3000, repeat=7)) / 3000
            out[f"{name} {n}"] = best * 1e6
    print(json.dumps(out))
""").replace("SIZES", repr(SIZES))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--module", action="append", default=[],
                        help="a folder holding a built velkor module (repeatable); default: the installed one")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    builds = args.module or [""]
    best = {b: {} for b in builds}
    for _ in range(args.rounds):
        for b in builds:
            run = subprocess.run([sys.executable, "-c", CHILD, b], capture_output=True, text=True, check=True)
            for key, us in json.loads(run.stdout).items():
                best[b][key] = min(us, best[b].get(key, us))
    keys = list(best[builds[0]])
    print("microseconds per call, best of", args.rounds, "rounds")
    print(f"{'build':40}" + "".join(f"{k:>10}" for k in keys))
    for b in builds:
        print(f"{(b or 'installed')[-40:]:40}" + "".join(f"{best[b][k]:10.2f}" for k in keys))


if __name__ == "__main__":
    main()
