"""How velkor shares the interpreter during a long call: stalls of another thread, Ctrl-C latency.

    python bench/bench_responsiveness.py

Stalls: a second thread records the longest gap between two of its loop
iterations while the main thread asks for a 2.25M-entry result from a
1500-node ring (small input, large result: the time goes into computing and
building the dict). Ctrl-C: a child process runs a long call and gets SIGINT
at several points of it; the time until KeyboardInterrupt reaches Python is
printed per point.
"""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import velkor


def longest_stall(call, *args):
    stop = threading.Event()
    worst = [0.0]

    def spin():
        last = time.perf_counter()
        while not stop.is_set():
            now = time.perf_counter()
            worst[0] = max(worst[0], now - last)
            last = now

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.05)
    worst[0] = 0.0
    t0 = time.perf_counter()
    result = call(*args)
    elapsed = time.perf_counter() - t0
    stop.set()
    t.join()
    return len(result), elapsed, worst[0]


def ctrl_c_latencies(fractions):
    """SIGINT at these fractions of a call's length (timed first in the child)."""
    code = """
        import sys, time, velkor
        n = 2000
        g = {(i, j): (i * 7 + j) % 100 + 1 for i in range(n) for j in range(n) if i != j}
        velkor.floyd_warshall_u32(g)
        t = time.monotonic()
        velkor.floyd_warshall_u32(g)
        print(time.monotonic() - t, flush=True)
        for _ in range(ROUNDS):
            print("ready", flush=True)
            try:
                velkor.floyd_warshall_u32(g)
                print("finished 0", flush=True)
            except KeyboardInterrupt:
                print("interrupted", time.monotonic(), flush=True)
    """.replace("ROUNDS", str(len(fractions)))
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True)
    length = float(proc.stdout.readline())
    out = []
    for delay in (f * length for f in fractions):
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        word, when = proc.stdout.readline().split()
        out.append((delay, word, float(when) - sent if word == "interrupted" else None))
    proc.wait()
    return out


def main():
    n = 1500
    ring = {(i, (i + 1) % n): 1 for i in range(n)}
    print(f"switch interval {sys.getswitchinterval() * 1000:.1f} ms")
    print("| call | entries | time (s) | longest stall of another thread (ms) |")
    print("|---|---|---|---|")
    for name, call, args in [
        ("floyd_warshall_u32, ring n=1500", velkor.floyd_warshall_u32, (ring,)),
        ("floyd_warshall, ring n=1500 (str labels)", velkor.floyd_warshall,
         ({(str(a), str(b)): w for (a, b), w in ring.items()},)),
        ("nearest_common_descendant_u32, ring n=1500", velkor.nearest_common_descendant_u32, (ring, 10**6)),
    ]:
        worst = max((longest_stall(call, *args) for _ in range(3)), key=lambda r: r[2])  # the worst of three
        print(f"| {name} | {worst[0]} | {worst[1]:.3f} | {worst[2] * 1000:.1f} |")
    print()
    print("Ctrl-C during floyd_warshall_u32 on a complete graph n=2000, at tenths of a call's length")
    print("| SIGINT after (s) | outcome | latency (ms) |")
    print("|---|---|---|")
    for delay, word, latency in ctrl_c_latencies([0.1, 0.3, 0.5, 0.7, 0.9]):
        print(f"| {delay:.2f} | {word} | {'' if latency is None else f'{latency * 1000:.0f}'} |")


if __name__ == "__main__":
    main()
