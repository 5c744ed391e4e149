#!/usr/bin/env python3
"""Prints why each skipped test of the last ctest run of a build tree was
skipped: ctest itself shows only "***Skipped". A GoogleTest skip leaves
"FILE:LINE: Skipped" and the reason on the next line; our scripts print a line
starting with "skipped". Run by test.sh after each ctest.

usage: skip_reasons.py BUILD_TREE"""
import os
import re
import sys

BLOCK = re.compile(r"^\d+/\d+ Test: (.+?)\n.*?^Output:\n-+\n(.*?)^<end of output>", re.S | re.M)


def reasons(log_text):
    found = []
    for name, output in BLOCK.findall(log_text):
        lines = output.splitlines()
        why = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.endswith(": Skipped")] + \
              [line for line in lines if line.lower().startswith("skipped")]
        if why:
            found.append((name, "; ".join(w.strip() for w in why)))
    return found


def main():
    log = os.path.join(sys.argv[1], "Testing", "Temporary", "LastTest.log")
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            found = reasons(f.read())
    except OSError:
        return 0
    for name, why in found:
        print("skipped: %s: %s" % (name, why))
    return 0


if __name__ == "__main__":
    sys.exit(main())
