"""How velkor shares the interpreter during a long call, by result size: stalls of another thread, Ctrl-C latency.

    python bench/bench_responsiveness.py                # results of 4, 9, 16 and 25 million entries (~4 GB)
    python bench/bench_responsiveness.py --sizes 2.25   # millions of entries, comma-separated

Each size is the all-pairs result of a ring (n nodes, n * n entries; small
input, large result: the time goes into computing and building the dict),
beside CPython building a dict of the same entries itself (a dict
comprehension, as a caller's own code would). Stalls: a second thread
records the longest gap between two of its loop iterations during the call.
Ctrl-C: a child process makes the call and gets SIGINT at 10%, 30%, 50%,
70% and 90% of its length; the longest time until KeyboardInterrupt
reaches Python is printed.
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


CALLS = {
    "velkor": "velkor.floyd_warshall_u32(g)",
    "CPython": "{(i, j): (j - i) % n for i in range(n) for j in range(n)}",
}


def ctrl_c_latency(n, what, fractions=(0.1, 0.3, 0.5, 0.7, 0.9)):
    """The longest time from SIGINT to KeyboardInterrupt, the signal sent at
    these fractions of a call's length (timed first in the child)."""
    code = """
        import sys, time, velkor
        n = NODES
        g = {(i, (i + 1) % n): 1 for i in range(n)}
        t = time.monotonic()
        r = CALL
        print(time.monotonic() - t, flush=True)
        del r
        for _ in range(ROUNDS):
            print("ready", flush=True)
            try:
                r = CALL
                del r
                print("finished 0", flush=True)
            except KeyboardInterrupt:
                print("interrupted", time.monotonic(), flush=True)
    """.replace("NODES", str(n)).replace("CALL", CALLS[what]).replace("ROUNDS", str(len(fractions)))
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True)
    length = float(proc.stdout.readline())
    worst = 0.0
    for delay in (f * length for f in fractions):
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        word, when = proc.stdout.readline().split()
        if word == "interrupted":
            worst = max(worst, float(when) - sent)
    proc.wait()
    return length, worst


def main():
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="4,9,16,25", help="millions of entries, comma-separated")
    args = parser.parse_args()
    print(f"switch interval {sys.getswitchinterval() * 1000:.1f} ms; the ring's all-pairs distances")
    print()
    print("| entries | velkor (s) | another thread's longest wait (ms) | Ctrl-C, longest (ms) "
          "| CPython's own dict (s) | its longest wait (ms) | its Ctrl-C, longest (ms) |")
    print("|---|---|---|---|---|---|---|")
    for millions in (float(x) for x in args.sizes.split(",")):
        n = round((millions * 1e6) ** 0.5)
        ring = {(i, (i + 1) % n): 1 for i in range(n)}
        _, v_time, v_stall = longest_stall(velkor.floyd_warshall_u32, ring)
        _, p_time, p_stall = longest_stall(
            lambda: {(i, j): (j - i) % n for i in range(n) for j in range(n)})
        del ring
        v_c = ctrl_c_latency(n, "velkor")[1]
        p_c = ctrl_c_latency(n, "CPython")[1]
        print(f"| {n * n:,} | {v_time:.2f} | {v_stall * 1000:.0f} | {v_c * 1000:.0f} "
              f"| {p_time:.2f} | {p_stall * 1000:.0f} | {p_c * 1000:.0f} |", flush=True)


if __name__ == "__main__":
    main()
