"""Wrong uses of velkor that mypy --strict must reject with the installed stubs.

Every line marked "# rejected" must get an error and no other line may.
Checked by scripts/wheel_check.sh, never run: the module only defines functions.
"""

import velkor


def integer_keyed() -> None:
    edges: dict[tuple[int, int], int] = {(1, 2): 4}
    by_name: dict[tuple[str, str], int] = velkor.floyd_warshall_u32(edges)  # rejected
    velkor.floyd_warshall_u32([(1, 2, 4)])  # rejected
    velkor.floyd_warshall_u32({("a", "b"): 4})  # rejected
    velkor.floyd_warshall_u32({(1, 2): 0.5})  # rejected
    velkor.floyd_warshall_u32(graph=edges)  # rejected
    velkor.nearest_common_descendant_u32(edges)  # rejected
    velkor.nearest_common_descendant_u32(edges, "100")  # rejected
    velkor.nearest_common_descendant_u32(edges, extreme=None)  # rejected
    velkor.floyd_warshall_u32(edges).upper()  # rejected
    print(by_name)


def label_keyed() -> None:
    distances = velkor.floyd_warshall({("a", "b"): 4})
    distances[(1, 2)]  # rejected
    velkor.floyd_warshall({([1], [2]): 4})  # rejected
    velkor.nearest_common_descendant(distances, extreme=1.5)  # rejected
    velkor.nearest_common_descendant(distances)  # rejected
    names: list[int] = velkor.__all__  # rejected
    print(names)


def not_in_the_module() -> None:
    velkor.PanicException  # rejected
    velkor.floyd_warshall_u64({(1, 2): 4})  # rejected
