"""Travel times between towns over one-way and two-way roads, with velkor.

Reads data/roads.csv (directed roads with their travel times in minutes) and
data/towns.csv (names for the town numbers), then prints
  - the shortest travel time between every pair of connected towns, computed
    on town numbers (floyd_warshall_u32) and on town names (floyd_warshall);
  - for pairs of towns, how soon travellers leaving both can meet in some
    town (nearest_common_descendant), waiting at most two hours.
"""

import csv
from pathlib import Path

import velkor

HERE = Path(__file__).resolve().parent
MAX_WAIT = 120  # minutes; meeting later than this counts as "not today"


def read_roads(path):
    with open(path, newline="") as f:
        return {(int(r["from"]), int(r["to"])): int(r["minutes"]) for r in csv.DictReader(f)}


def read_towns(path):
    with open(path, newline="") as f:
        return {int(r["id"]): r["name"] for r in csv.DictReader(f)}


def main():
    roads = read_roads(HERE / "data" / "roads.csv")
    towns = read_towns(HERE / "data" / "towns.csv")

    # Integer-keyed: town numbers in, town numbers out.
    times = velkor.floyd_warshall_u32(roads)

    # Label-keyed: the same roads keyed by town names.
    named_roads = {(towns[a], towns[b]): m for (a, b), m in roads.items()}
    named_times = velkor.floyd_warshall(named_roads)
    assert named_times == {(towns[a], towns[b]): m for (a, b), m in times.items()}

    print(f"{len(roads)} roads between {len(towns)} towns; {len(times)} connected ordered pairs\n")
    print("shortest travel times in minutes (no entry: no route):")
    for (a, b), minutes in sorted(named_times.items()):
        if a != b:
            print(f"  {a:>9} -> {b:<9} {minutes:4d}")
    unreachable = sorted((a, b) for a in towns.values() for b in towns.values()
                         if a != b and (a, b) not in named_times)
    print(f"\n{len(unreachable)} ordered pairs have no route, e.g. {unreachable[0][0]} -> {unreachable[0][1]}")

    meet = velkor.nearest_common_descendant(named_times, MAX_WAIT)
    print(f"\nminutes until travellers from two towns can meet (at most {MAX_WAIT}):")
    for (a, b), minutes in sorted(meet.items()):
        if a < b:
            note = "" if minutes < MAX_WAIT else "  (no meeting town within the limit)"
            print(f"  {a:>9} & {b:<9} {minutes:4d}{note}")


if __name__ == "__main__":
    main()
