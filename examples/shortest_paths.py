"""Travel times between towns over one-way and two-way roads, with velkor.

Reads data/roads.csv (directed roads with their travel times in minutes) and
data/towns.csv (names for the town numbers), then prints the shortest travel
time between every pair of towns that are connected at all.
"""

import csv
from pathlib import Path

import velkor

HERE = Path(__file__).resolve().parent


def read_roads(path):
    with open(path, newline="") as f:
        return {(int(r["from"]), int(r["to"])): int(r["minutes"]) for r in csv.DictReader(f)}


def read_towns(path):
    with open(path, newline="") as f:
        return {int(r["id"]): r["name"] for r in csv.DictReader(f)}


def main():
    roads = read_roads(HERE / "data" / "roads.csv")
    towns = read_towns(HERE / "data" / "towns.csv")

    times = velkor.floyd_warshall_u32(roads)

    print(f"{len(roads)} roads between {len(towns)} towns; {len(times)} connected ordered pairs\n")
    print("shortest travel times in minutes (no entry: no route):")
    for (a, b), minutes in sorted(times.items()):
        if a != b:
            print(f"  {towns[a]:>9} -> {towns[b]:<9} {minutes:4d}")
    unreachable = [(towns[a], towns[b]) for a in towns for b in towns if a != b and (a, b) not in times]
    print(f"\n{len(unreachable)} ordered pairs have no route, e.g. {unreachable[0][0]} -> {unreachable[0][1]}")


if __name__ == "__main__":
    main()
