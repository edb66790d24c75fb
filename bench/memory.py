#!/usr/bin/env python3
"""Memory per list entry, measured from outside: the peak RSS of a process
holding a list of COUNT integers (every key dropped as the add returns it),
less the peak RSS of the same program with an empty list, divided by COUNT.
zel's T_DblLnk (bench/scripts/memory.zel) beside std::list (objkit_rss_list).

With --remaking it measures instead the peak RSS of zel remaking a class
COUNT times (with and without a method defined on each class) and redefining
a procedure COUNT times (bench/scripts/remake.zel), beside the same script
doing nothing: remade classes and replaced procedures are freed, so the
figures stay close to that whatever COUNT is.

usage: memory.py [-n RUNS] [--count N] [--build DIR] [--i686 DIR] [--remaking]

The native build (default build/) is measured, and the i686 build (default
build-i686/) under qemu-i386 when it holds zel and objkit_rss_list. Each
process runs under the native build's objkit_peak_rss, which reads its peak
RSS from wait4. Each figure is the median of RUNS runs.
"""
import argparse
import os
import re
import statistics
import sys
from pathlib import Path

from compare import ROOT, SCRIPTS, run_once

I686_EMULATOR = ["qemu-i386", "-L", "/usr/i686-linux-gnu"]
PEAK = re.compile(r"peak rss (\d+) KiB\n?\Z")


def peak_rss(helper, argv, expected, runs):
    """The median peak RSS in bytes of argv (run by the helper objkit_peak_rss) over runs;
    exits when a run fails or prints something else."""
    peaks = []
    for _ in range(runs):
        _, status, out, err = run_once([str(helper), *argv])
        peak = PEAK.search(err)
        if status != 0 or out.strip() != expected or not peak:
            sys.exit(f"memory: {' '.join(argv)}: status {status}, expected {expected!r}, got {out.strip()!r}\n{err}")
        peaks.append(int(peak.group(1)) * 1024)
    return statistics.median(peaks)


def per_entry(helper, make_argv, count, runs):
    """Bytes per entry: (peak RSS with count entries - peak RSS with none) / count."""
    full = peak_rss(helper, make_argv(count), str(count), runs)
    empty = peak_rss(helper, make_argv(0), "0", runs)
    return (full - empty) / count


def measure(helper, label, build, emulator, count, runs):
    """Prints one row: zel's bytes per entry, std::list's, and their ratio."""
    zel = [*emulator, str(build / "zel")]
    anchor = [*emulator, str(build / "objkit_rss_list")]
    script = SCRIPTS / "memory.zel"
    ours = per_entry(helper, lambda n: [*zel, "-e", f'count = {n}; compile "{script}";'], count, runs)
    theirs = per_entry(helper, lambda n: [*anchor, str(n)], count, runs)
    print(f"{label:8} {ours:12.1f} {theirs:10.1f} {ours / theirs:7.2f}", flush=True)


REMAKING = [("class remade", 1, 0, 0), ("class remade, with a method", 1, 1, 0), ("procedure redefined", 0, 0, 1)]


def remaking(helper, build, count, runs):
    """Prints the peak RSS of each case of REMAKING, count times, and of the script doing nothing."""
    def rss(remakes, method, redefinitions):
        text = (f"count = {remakes}; method = {method}; redefine = {redefinitions}; "
                f'compile "{SCRIPTS / "remake.zel"}";')
        return peak_rss(helper, [str(build / "zel"), "-e", text], str(remakes + redefinitions), runs)

    print(f"peak RSS in KiB, {count} times, median of {runs} runs; doing nothing: {rss(0, 0, 0) // 1024:.0f}")
    for label, remake, method, redefine in REMAKING:
        print(f"{label:28} {rss(count * remake, method, count * redefine) // 1024:10.0f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[5:]))
    parser.add_argument("-n", "--runs", type=int, default=3, help="runs per figure (default 3)")
    parser.add_argument("--count", type=int, default=1000000, help="entries (default 1000000)")
    parser.add_argument("--build", type=Path, default=ROOT / "build", help="the native build folder")
    parser.add_argument("--i686", type=Path, default=ROOT / "build-i686", help="the i686 build folder")
    parser.add_argument("--remaking", action="store_true", help="measure remaking classes and procedures")
    args = parser.parse_args()
    if args.runs < 1 or args.count < 1:
        parser.error("--runs and --count must be at least 1")

    helper = args.build / "objkit_peak_rss"
    if not os.access(helper, os.X_OK):
        sys.exit(f"memory: no {helper}: build the default preset first")
    if args.remaking:
        remaking(helper, args.build, args.count, args.runs)
        return
    targets = [("native", args.build, [])]
    if all(os.access(args.i686 / p, os.X_OK) for p in ("zel", "objkit_rss_list")):
        targets.append(("i686", args.i686, I686_EMULATOR))
    else:
        print(f"memory: no i686 build in {args.i686}; i686 skipped (cmake --workflow --preset i686 makes one)")
    print(f"bytes of peak RSS per entry, {args.count} integers, median of {args.runs} runs")
    print(f"{'target':8} {'zel T_DblLnk':>12} {'std::list':>10} {'ratio':>7}")
    for label, build, emulator in targets:
        measure(helper, label, build, emulator, args.count, args.runs)


if __name__ == "__main__":
    main()
