"""Calls on many threads at once: the lock a free-threaded interpreter keeps off,
and dicts that another thread changes while they are read."""

import subprocess
import sys
import sysconfig
import threading

import pytest

import velkor

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_import_keeps_the_interpreter_lock_as_it_was():
    # A free-threaded interpreter keeps running without the lock (and says
    # nothing); any other has it all along.
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c",
         "import sys, velkor; print(getattr(sys, '_is_gil_enabled', lambda: True)())"],
        capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == [str(not FREE_THREADED)], proc.stderr[-2000:]


def _graphs(label):
    node = (lambda i: f"n{i}") if label else (lambda i: i)
    n = 60
    edges = {(node(i), node((i + s) % n)): 1000 + (7 * i + s) % 50 for i in range(n) for s in (1, 7)}
    shortcut = (node(0), node(n // 2))
    return edges, shortcut


@pytest.mark.parametrize("function", ["floyd_warshall_u32", "floyd_warshall",
                                      "nearest_common_descendant_u32", "nearest_common_descendant"])
def test_a_dict_changed_by_another_thread_gives_a_result_of_one_of_its_states(function, panic_class):
    # Four threads call velkor on one dict while another thread puts in and
    # takes out a shortcut edge and replaces values by equal new ints (each
    # freed as it is replaced). Every call must give the result of the dict
    # with or without the shortcut, or report that the dict changed; a call that
    # used a value after it was freed, or mixed entries of several states,
    # gives anything else or crashes.
    func = getattr(velkor, function)
    edges, shortcut = _graphs(not function.endswith("_u32"))
    args = (100000,) if function.startswith("nearest") else ()
    without = func(edges, *args)
    expected = [without, func({**edges, shortcut: 1}, *args)]
    assert expected[0] != expected[1]
    shared = dict(edges)
    keys = list(edges)
    stop = threading.Event()
    outcomes = []

    def mutate():
        i = 0
        while not stop.is_set():
            shared[shortcut] = 1
            del shared[shortcut]
            for k in keys[i % 10::10]:
                shared[k] = int(str(shared[k]))
            i += 1

    def call():
        for _ in range(25):
            try:
                result = func(shared, *args)
            except panic_class as e:
                assert e.args[0] in ("dictionary changed size during iteration",
                                     "dictionary keys changed during iteration")
                outcomes.append("changed")
            else:
                assert result in expected, "a result that no state of the dict has"
                outcomes.append("result")

    mutator = threading.Thread(target=mutate)
    callers = [threading.Thread(target=call) for _ in range(4)]
    mutator.start()
    for t in callers:
        t.start()
    for t in callers:
        t.join()
    stop.set()
    mutator.join()
    assert len(outcomes) == 100
