#!/usr/bin/env python3
"""Runs the script workloads of bench/scripts under zel and, as anchors,
Python 3, Lua 5.4 and Tcl 8.6, and compares the CPU time of whole processes.

usage: compare.py [-n RUNS] [--zel [LABEL=]PATH]... [--only NAME]...
                  [--python PATH] [--lua PATH] [--tcl PATH] [--list]

Every run goes through every workload, and each workload through every
interpreter, in an order that rotates from run to run: the interpreters are
interleaved, so a change of load on the machine falls on all of them alike.
The time of one process is its user plus system CPU (from wait4). For each
workload the table gives min and median over the runs, and the median of
each zel divided by the median of each interpreter (above 1: zel is slower).
Each process must exit with status 0 and print the workload's expected line,
or the comparison stops.

--zel may be given several times with labels (--zel old=a/zel --zel new=b/zel)
to measure two builds side by side. An anchor that is not installed is
skipped with a message.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCRIPTS = ROOT / "bench" / "scripts"


@dataclass(frozen=True)
class Workload:
    name: str
    what: str
    expected: str
    inline: bool = False  # the script's text goes on the command line (-e / -c)


WORKLOADS = [
    Workload("startup", "start-up: one trivial line given on the command line", "1", inline=True),
    Workload("churn", "1M add at the tail + removal at the head (T_DblLnk / deque)", "0 1000000"),
    Workload("call", "1M calls of a one-line procedure", "1000000"),
    Workload("arith", "a loop of n = n + 1 to 1M", "1000000"),
    Workload("send", "1M method sends updating a float instance variable", "750000.0"),
    Workload("walk", "50 walks of a 20k-entry list (KeyAtHead, val, after / node objects)", "4500000"),
]


@dataclass
class Interpreter:
    label: str
    path: str
    ext: str
    inline_flag: str | None  # how the interpreter takes a script's text; None: from the file
    version: str = ""
    times: dict = field(default_factory=dict)  # workload name -> CPU seconds of each run

    def argv(self, workload):
        """The command that runs the workload."""
        script = SCRIPTS / f"{workload.name}.{self.ext}"
        if workload.inline and self.inline_flag:
            return [self.path, self.inline_flag, script.read_text().strip()]
        return [self.path, str(script)]


def run_once(argv):
    """Runs argv to its end; returns (CPU seconds of user and system, exit status, stdout, stderr)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return (usage.ru_utime + usage.ru_stime, proc.returncode,
                out.read().decode(errors="replace"), err.read().decode(errors="replace"))


def version_of(argv, stdin=None):
    """The first line an interpreter writes about its version, or '?'."""
    try:
        done = subprocess.run(argv, input=stdin, capture_output=True, text=True, timeout=30)
    except OSError:
        return "?"
    lines = (done.stdout + done.stderr).strip().splitlines()
    return lines[0].split("  ")[0] if lines else "?"


def zel_identity(path):
    """What tells one zel build from another: the build time and a digest of the program."""
    data = Path(path).read_bytes()
    built = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(os.path.getmtime(path)))
    return f"built {built}, sha256 {hashlib.sha256(data).hexdigest()[:12]}"


def find_program(given, *names):
    """The path of the first program found: the one given, else the first name on PATH."""
    for name in ([given] if given else names):
        found = shutil.which(name)
        if found:
            return found
    return None


def interpreters(args):
    """The interpreters to compare, zel builds first; a missing anchor is reported and left out."""
    chosen = []
    for i, given in enumerate(args.zel or [str(ROOT / "build" / "zel")]):
        label, _, path = given.rpartition("=")
        label = label or ("zel" if not args.zel or len(args.zel) == 1 else f"zel{i + 1}")
        if not os.access(path, os.X_OK):
            sys.exit(f"compare: no zel program at {path} (build it, or give --zel PATH)")
        if any(interp.label == label for interp in chosen):
            sys.exit(f"compare: two zel programs labelled {label}")
        chosen.append(Interpreter(label, os.path.abspath(path), "zel", "-e", zel_identity(path)))
    anchors = [
        ("python3", find_program(args.python, "/usr/bin/python3", "python3"), "py", "-c", ["--version"], None),
        ("lua5.4", find_program(args.lua, "lua5.4"), "lua", "-e", ["-v"], None),
        ("tclsh", find_program(args.tcl, "tclsh8.6", "tclsh"), "tcl", None, [], "puts \"Tcl [info patchlevel]\""),
    ]
    for label, path, ext, inline, flags, stdin in anchors:
        if path is None:
            print(f"compare: {label} not found; skipped (./setup.sh --bench installs it)")
            continue
        chosen.append(Interpreter(label, path, ext, inline, version_of([path, *flags], stdin)))
    return chosen


def measure(chosen, workloads, runs):
    """Runs every workload under every interpreter, interleaved, runs times; fills each .times."""
    for run in range(runs):
        order = chosen[run % len(chosen):] + chosen[:run % len(chosen)]
        for workload in workloads:
            for interp in order:
                argv = interp.argv(workload)
                cpu, status, out, err = run_once(argv)
                if status != 0 or out.strip() != workload.expected:
                    sys.exit(f"compare: {interp.label} {workload.name}: status {status}, "
                             f"expected {workload.expected!r}, got {out.strip()!r}\n{err}")
                interp.times.setdefault(workload.name, []).append(cpu)
        print(f"run {run + 1}/{runs} done", file=sys.stderr, flush=True)


def report(chosen, workloads, runs):
    """Prints the interpreters, then one table per workload."""
    zels = [i for i in chosen if i.ext == "zel"]
    print(f"{runs} interleaved runs; CPU seconds (user + system) of each whole process")
    for interp in chosen:
        print(f"  {interp.label:8} {interp.path}  ({interp.version})")
    for workload in workloads:
        print(f"\n{workload.name}: {workload.what}")
        print(f"  {'':8} {'min':>7} {'median':>7}" + "".join(f" {z.label + '/this':>12}" for z in zels))
        for interp in chosen:
            times = interp.times[workload.name]
            median = statistics.median(times)
            ratios = "".join(
                f" {statistics.median(z.times[workload.name]) / median:12.2f}" if median > 0 else f" {'-':>12}"
                for z in zels)
            print(f"  {interp.label:8} {min(times):7.3f} {median:7.3f}{ratios}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[5:]))
    parser.add_argument("-n", "--runs", type=int, default=5, help="interleaved runs (default 5)")
    parser.add_argument("--zel", action="append", metavar="[LABEL=]PATH",
                        help="a zel program (default build/zel); repeat to compare builds")
    parser.add_argument("--only", action="append", metavar="NAME", help="run only this workload (repeatable)")
    parser.add_argument("--python", help="the Python 3 to run (default /usr/bin/python3, else python3)")
    parser.add_argument("--lua", help="the Lua 5.4 to run (default lua5.4)")
    parser.add_argument("--tcl", help="the Tcl 8.6 shell to run (default tclsh8.6, else tclsh)")
    parser.add_argument("--list", action="store_true", help="list the workloads and exit")
    args = parser.parse_args()

    if args.list:
        for workload in WORKLOADS:
            print(f"{workload.name:8} {workload.what}")
        return
    names = {w.name for w in WORKLOADS}
    unknown = [n for n in args.only or [] if n not in names]
    if unknown:
        parser.error(f"unknown workload {', '.join(unknown)}; --list shows them")
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    workloads = [w for w in WORKLOADS if not args.only or w.name in args.only]
    chosen = interpreters(args)
    measure(chosen, workloads, args.runs)
    report(chosen, workloads, args.runs)


if __name__ == "__main__":
    main()
