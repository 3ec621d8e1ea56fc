#!/usr/bin/python3
"""Checks that walks found the same rows: each argument is a JSON Lines file of rows (shopwalk-cli
export --format jsonl, or bench/aiohttp_walk.py --out); rows are compared by shop ID, name,
reputation, messenger and opening date, whatever else they carry. Prints what differs and exits
1 when any file differs from the first."""

import json
import sys

FIELDS = ("shop_id", "name", "reputation", "messenger", "opening_date")


def rows_of(path):
    with open(path, encoding="utf-8") as lines:
        return {tuple(row.get(field) for field in FIELDS) for row in map(json.loads, lines)}


def main():
    paths = sys.argv[1:]
    first = rows_of(paths[0])
    same = True
    for path in paths[1:]:
        rows = rows_of(path)
        if rows != first:
            same = False
            print("rows differ: %s has %d, %s has %d; only in the first: %s; only in the second: %s"
                  % (paths[0], len(first), path, len(rows), sorted(first - rows)[:3],
                     sorted(rows - first)[:3]))
    if same:
        print("rows: the same %d rows in all %d walks" % (len(first), len(paths)))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
