"""Shortest-path and nearest-common-descendant distances on directed graphs held in dicts.

A graph is a dict ``{(u, v): weight}``; every function returns a new dict of
the same shape and never changes its argument. Weights and distances are
unsigned 32-bit integers (0 to 4294967295) and path lengths saturate at
4294967295 instead of wrapping around.

The computation runs in C++ on the CPUs of the process's affinity mask
(``VELKOR_NUM_THREADS=N`` caps it) with the interpreter lock released.
Ctrl-C stops a call made from the main thread within a fraction of a second:
the signal handler's exception propagates and no partial result escapes.
A result too large for the memory left raises ``MemoryError`` early, long
before the work would finish.
"""

from collections.abc import Hashable
from typing import TypeVar

__all__ = [
    "floyd_warshall_u32",
    "floyd_warshall",
    "nearest_common_descendant_u32",
    "nearest_common_descendant",
]

N = TypeVar("N", bound=Hashable)

def floyd_warshall_u32(edges: dict[tuple[int, int], int]) -> dict[tuple[int, int], int]:
    """All-pairs shortest path lengths of a graph with integer nodes.

    ``edges`` maps directed edges ``(u, v)`` to their weights; nodes and
    weights are integers in 0 to 4294967295 (``int``, ``bool`` or any
    object with ``__index__``).

    Returns a new dict ``{(i, j): distance}`` with ``(v, v)`` for every node
    (0, or the weight of the lightest cycle through ``v`` when the graph has
    a self-loop ``(v, v)``) and ``(i, j)`` exactly when a path from ``i`` to
    ``j`` exists. A missing pair means no path. A path longer than
    4294967295 is reported as 4294967295.

    Raises ``TypeError`` when ``edges`` is not a dict or a key is not a
    tuple or a node or weight is not an integer, ``ValueError`` for a key
    that is not of length 2, ``OverflowError`` for a number out of range
    and ``MemoryError`` for a result that cannot be held.
    """

def floyd_warshall(edges: dict[tuple[N, N], int]) -> dict[tuple[N, N], int]:
    """All-pairs shortest path lengths of a graph whose nodes are any hashable objects.

    Same result as :func:`floyd_warshall_u32`. Items 0 and 1 of each key
    tuple are the from-node and the to-node (further items are ignored).
    Nodes are identified as dict keys are (equal hash and ``is`` or ``==``);
    result keys hold the first object seen for each node.

    A non-dict ``edges`` raises ``TypeError``. A problem with the dict's
    contents (a bad key, an unhashable node, a ``__hash__`` or ``__eq__``
    that raises, a bad weight) raises ``pyo3_runtime.PanicException``,
    which derives from ``BaseException``; a ``KeyboardInterrupt`` raised by
    a node's own methods and ``MemoryError`` reach the caller unchanged.
    """

def nearest_common_descendant_u32(
    distances: dict[tuple[int, int], int], extreme: int
) -> dict[tuple[int, int], int]:
    """For every pair of nodes, how far both must travel to meet at a common node.

    ``distances`` has the form of :func:`floyd_warshall_u32`'s argument and
    is usually its result; a missing pair counts as distance ``extreme``.
    ``extreme`` (0 to 4294967295) is also the ceiling of every result.

    Returns a new dict with all n * n pairs of the n nodes in
    ``distances``' keys: ``(v, v)`` is 0 and ``(x, y)`` equals ``(y, x)``,
    ``min(extreme, min over z of max(d(x, z), d(y, z)))``.

    Errors in ``distances`` are raised as by :func:`floyd_warshall_u32`,
    before those in ``extreme``: ``OverflowError`` when it is out of range,
    ``TypeError`` when it is not an integer.
    """

def nearest_common_descendant(
    distances: dict[tuple[N, N], int], extreme: int
) -> dict[tuple[N, N], int]:
    """Nearest common descendant distances of a graph whose nodes are any hashable objects.

    Same result as :func:`nearest_common_descendant_u32`, with nodes read
    as by :func:`floyd_warshall`. A bad ``extreme`` is reported before the
    dict is read (``OverflowError`` or ``TypeError``); problems with the
    dict's contents raise ``pyo3_runtime.PanicException`` as in
    :func:`floyd_warshall`.
    """
