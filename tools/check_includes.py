#!/usr/bin/env python3
"""Lists every include under src/fenro that points upward, against the house's layering.

Folders sit at these heights, from the ground up; a file may include headers of its own folder
or of a lower one only, so every arrow of the house points down:

    error, parallel, simd   0
    json                    1
    update                  2
    math                    3
    aggregators, verification, reputation, audit, preaggregation   4
    pipeline                5

Prints one line per offending include ("file:line: includes fenro/<folder>/...", also for a
folder missing from the table) and exits 1; prints nothing and exits 0 when the rule holds.
Run from anywhere: python3 tools/check_includes.py
"""
import pathlib
import re
import sys

HEIGHT = {"error": 0, "parallel": 0, "simd": 0, "json": 1, "update": 2, "math": 3,
          "aggregators": 4, "verification": 4, "reputation": 4, "audit": 4,
          "preaggregation": 4, "pipeline": 5}
INCLUDE = re.compile(r'^\s*#\s*include\s+"fenro/([^/"]+)/')


def upward_includes(root: pathlib.Path):
    for path in sorted(root.rglob("*")):
        if not path.is_file():
            continue
        here = path.relative_to(root).parts[0]
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match or match.group(1) == here:
                continue
            there = match.group(1)
            if here not in HEIGHT or there not in HEIGHT or HEIGHT[there] >= HEIGHT[here]:
                yield f"{path.relative_to(root.parents[1])}:{number}: includes fenro/{there}/..."


def main() -> int:
    root = pathlib.Path(__file__).resolve().parents[1] / "src" / "fenro"
    found = list(upward_includes(root))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
