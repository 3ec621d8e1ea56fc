#!/usr/bin/env python3
"""Reads a JSON Lines export with Python's json module and prints each object again on its own
line (json.dumps, non-ASCII as it is, members in the file's order). Fails (exit status 1) when the
file is not UTF-8, a line is not a JSON object, a line ends in CR, or the last line has no LF."""
import json
import sys

with open(sys.argv[1], "rb") as f:
    content = f.read()
if content and not content.endswith(b"\n"):
    sys.exit("the last line does not end in LF")
for raw in content.split(b"\n")[:-1]:
    if raw.endswith(b"\r"):
        sys.exit("a line ends in CR LF")
    record = json.loads(raw.decode("utf-8"))
    if not isinstance(record, dict):
        sys.exit("a line is not an object")
    print(json.dumps(record, ensure_ascii=False))
