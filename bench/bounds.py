#!/usr/bin/env python3
"""Memory of remaking: the peak RSS of zel remaking a class COUNT times (with
and without a method defined on each class) and redefining a procedure COUNT
times (bench/scripts/remake.zel), beside the peak RSS of the same script doing
nothing. Remade classes and replaced procedures are freed, so the two stay
close whatever COUNT is.

usage: bounds.py [-n RUNS] [--count N] [--build DIR]

Each process runs under the build's objkit_peak_rss; each figure is the
median of RUNS runs.
"""
import argparse
import os
import sys
from pathlib import Path

from compare import ROOT, SCRIPTS
from memory import peak_rss

CASES = [("class remade", 1, 0, 0), ("class remade, with a method", 1, 1, 0), ("procedure redefined", 0, 0, 1)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[5:]))
    parser.add_argument("-n", "--runs", type=int, default=3, help="runs per figure (default 3)")
    parser.add_argument("--count", type=int, default=1000000, help="remakes per case (default 1000000)")
    parser.add_argument("--build", type=Path, default=ROOT / "build", help="the build folder")
    args = parser.parse_args()
    if args.runs < 1 or args.count < 1:
        parser.error("--runs and --count must be at least 1")
    helper = args.build / "objkit_peak_rss"
    if not os.access(helper, os.X_OK):
        sys.exit(f"bounds: no {helper}: build the default preset first")

    def rss(count, method, redefine):
        text = f'count = {count}; method = {method}; redefine = {redefine}; compile "{SCRIPTS / "remake.zel"}";'
        return peak_rss(helper, [str(args.build / "zel"), "-e", text], str(count + redefine), args.runs)

    idle = rss(0, 0, 0)
    print(f"peak RSS in KiB, {args.count} times, median of {args.runs} runs; doing nothing: {idle // 1024:.0f}")
    for label, remake, method, redefine in CASES:
        peak = rss(args.count * remake, method, args.count * redefine)
        print(f"{label:28} {peak // 1024:10.0f}", flush=True)


if __name__ == "__main__":
    main()
