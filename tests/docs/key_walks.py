#!/usr/bin/env python3
"""Checks that the examples walk list keys with ==.

usage: key_walks.py FILE...

A walk step `k = T_DblLnk:after (k)` (or `before`) moves the key object that
k holds, and with it every other holder of that key (docs/lists.md, "Keys and
assignment"); examples step with `k == ...`. A step with `=` is allowed only
where its comment says that it moves the key, as the example of the trap
does. Prints each offending line and fails if there is any.
"""
import re
import sys

STEP = re.compile(r"^\s*(\w+)\s*=\s*T_DblLnk:(?:after|before)\s*\(\s*\1\s*\)")

found = 0
for path in sys.argv[1:]:
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if STEP.match(line) and "moves" not in line.partition("//")[2]:
                print("%s:%d: walks keys with =, not ==: %s" % (path, number, line.strip()))
                found += 1
sys.exit(1 if found else 0)
