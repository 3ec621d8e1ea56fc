#!/usr/bin/env python3
"""Reads a comma-separated export with Python's csv module and prints each record as
"<field count>:" followed by the fields' bytes in hex, separated by commas.

    csv_dump.py FILE [gbk|utf-8]

gbk (the default): bytes that are not valid GBK are carried through unchanged. utf-8: the file
must be valid UTF-8 and may start with a byte order mark, which is not part of the first field."""
import csv
import sys

encoding = sys.argv[2] if len(sys.argv) > 2 else "gbk"
if encoding == "gbk":
    decode, encode, errors = "gbk", "gbk", "surrogateescape"
else:
    decode, encode, errors = "utf-8-sig", "utf-8", "strict"
with open(sys.argv[1], encoding=decode, errors=errors, newline="") as f:
    for record in csv.reader(f, strict=True):
        print(f"{len(record)}:" + ",".join(field.encode(encode, errors).hex() for field in record))
