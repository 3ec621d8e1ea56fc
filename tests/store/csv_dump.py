#!/usr/bin/env python3
"""Reads a comma-separated export (GBK) with Python's csv module and prints each record as
"<field count>:" followed by the fields' GBK bytes in hex, separated by commas."""
import csv
import sys

with open(sys.argv[1], encoding="gbk", newline="") as f:
    for record in csv.reader(f, strict=True):
        print(f"{len(record)}:" + ",".join(field.encode("gbk").hex() for field in record))
