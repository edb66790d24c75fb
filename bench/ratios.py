#!/usr/bin/env python3
"""Runs build/objkit_bench and sets each of our benchmarks beside its anchor
from the same run: the median CPU time per iteration of each over the
repetitions, and their ratio (ours / anchor), with the target where there is
one. The repetitions of all benchmarks are interleaved at random, so that a
change of load on the machine falls on both sides of a pair alike.

usage: ratios.py [-n REPETITIONS] [--bench PATH]
"""
import argparse
import json
import re
import subprocess
import sys

from compare import ROOT

# (ours, anchor, the highest ratio we aim at, or None where the pair only informs)
PAIRS = [
    ("BM_AddAtTailRemAtHead", "BM_GQueuePushPop", 3.0),
    ("BM_AddAtTailRemAtHead", "BM_StdListPushPop", None),
    ("BM_AddAtTailRemAtHead", "BM_IntrusivePushPop", None),
    ("BM_ZallocZfree/40", "BM_MallocFree/40", 1.5),
    ("BM_ZoneMallocFree/16", "BM_MallocFree/16", None),
    ("BM_ZoneMallocFree/40", "BM_MallocFree/40", None),
    ("BM_ZoneMallocFree/1000", "BM_MallocFree/1000", None),
    ("BM_ProfileHookPair", "BM_HookFloor", 1.1),
    ("BM_FlushList/iterations:3", "BM_StdListClear/iterations:3", 3.0),
    ("BM_DropList/iterations:3", "BM_StdListDestroy/iterations:3", 3.0),
]

NANOSECONDS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def run_benchmarks(program, repetitions):
    """Runs the benchmarks of PAIRS, interleaved; returns {name: median CPU ns} and {name: error message}."""
    names = sorted({name for pair in PAIRS for name in pair[:2]})
    pattern = "^(" + "|".join(re.escape(name.split("/iterations")[0]) for name in names) + ")(/|$)"
    argv = [program, f"--benchmark_filter={pattern}", f"--benchmark_repetitions={repetitions}",
            "--benchmark_enable_random_interleaving=true", "--benchmark_min_time=0.2",
            "--benchmark_report_aggregates_only=true", "--benchmark_format=json"]
    try:
        done = subprocess.run(argv, capture_output=True, text=True)
    except OSError as error:
        sys.exit(f"ratios: cannot run {program}: {error} (build the default preset first)")
    if done.returncode != 0:
        sys.exit(f"ratios: {program} failed with status {done.returncode}\n{done.stderr}")
    medians, errors = {}, {}
    for run in json.loads(done.stdout)["benchmarks"]:
        name = run["run_name"]
        if run.get("error_occurred"):
            errors[name] = run.get("error_message", "skipped")
        elif run.get("aggregate_name") == "median":
            medians[name] = run["cpu_time"] * NANOSECONDS[run["time_unit"]]
    return medians, errors


def show(ns):
    """A time in the unit that suits it."""
    return f"{ns / 1e6:.2f} ms" if ns >= 1e6 else f"{ns:.1f} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--repetitions", type=int, default=9, help="repetitions of each benchmark (default 9)")
    parser.add_argument("--bench", default=str(ROOT / "build" / "objkit_bench"), help="the benchmark program")
    args = parser.parse_args()
    if args.repetitions < 1:
        parser.error("--repetitions must be at least 1")

    medians, errors = run_benchmarks(args.bench, args.repetitions)
    print(f"median CPU time per iteration over {args.repetitions} repetitions; ratio = ours / anchor")
    print(f"{'ours':27} {'anchor':31} {'ours':>10} {'anchor':>10} {'ratio':>7}  target")
    for ours, anchor, target in PAIRS:
        missing = [errors.get(name, "not run") for name in (ours, anchor) if name not in medians]
        if missing:
            print(f"{ours:27} {anchor:31} skipped: {missing[0]}")
            continue
        ratio = medians[ours] / medians[anchor]
        goal = f"<= {target:g}" if target else ""
        print(f"{ours:27} {anchor:31} {show(medians[ours]):>10} {show(medians[anchor]):>10} {ratio:7.2f}  {goal}".rstrip())


if __name__ == "__main__":
    main()
