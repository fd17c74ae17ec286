"""Typed use of velkor that mypy --strict must accept with the installed stubs.

Checked by scripts/wheel_check.sh, never run: the module only defines functions.
"""

from dataclasses import dataclass
from typing import assert_type

import velkor


@dataclass(frozen=True)
class Town:
    name: str


def integer_keyed() -> None:
    edges: dict[tuple[int, int], int] = {(1, 2): 4, (2, 3): 1}
    distances = velkor.floyd_warshall_u32(edges)
    assert_type(distances, dict[tuple[int, int], int])
    assert_type(velkor.floyd_warshall_u32(edges={(1, 2): 4}), dict[tuple[int, int], int])
    meet = velkor.nearest_common_descendant_u32(distances, 100)
    assert_type(meet, dict[tuple[int, int], int])
    assert_type(
        velkor.nearest_common_descendant_u32(distances=distances, extreme=2**32 - 1),
        dict[tuple[int, int], int],
    )
    total: int = sum(distances.values())
    for (source, target), length in meet.items():
        print(source + target + length + total)


def label_keyed() -> None:
    roads = {("a", "b"): 4, ("b", "c"): 1}
    distances = velkor.floyd_warshall(roads)
    assert_type(distances, dict[tuple[str, str], int])
    assert_type(velkor.nearest_common_descendant(distances, 100), dict[tuple[str, str], int])
    assert_type(
        velkor.nearest_common_descendant(distances=distances, extreme=5),
        dict[tuple[str, str], int],
    )
    assert_type(velkor.floyd_warshall(edges={(Town("x"), Town("y")): 1}), dict[tuple[Town, Town], int])
    mixed: dict[tuple[int | str, int | str], int] = {(1, "b"): 2}
    assert_type(velkor.floyd_warshall(mixed), dict[tuple[int | str, int | str], int])
    print(distances[("a", "c")].bit_length())


def module_names() -> list[str]:
    return velkor.__all__
