#!/usr/bin/env python3
"""Runs one ZEL script test and compares its output with the expected files.

usage: run_script.py [--update] [--lib PATH] SCRIPT ZEL [EMULATOR...]

Runs `[EMULATOR...] ZEL --leaks --fake-clock [--lib PATH] OPTIONS NAME.zel ARGS`
in the script's folder, where a first line `// zel: OPTIONS [-- ARGS]` of the
script adds options (and strings for the global args). Every address in the
output (a hex 0x... token, or a decimal token in the arena range) becomes a
label @1, @2, ... in order of first appearance, stdout before stderr. Then
stdout must equal NAME.out and stderr NAME.err (each empty when there is no
such file); the exit status must be 0 without NAME.err and non-zero with it.
--update writes the expected files from this run instead of comparing.
"""
import argparse
import difflib
import os
import re
import shlex
import subprocess
import sys

ARENA = range(0x50000000, 0x60000000)
TOKEN = re.compile(r"\b0[xX][0-9a-fA-F]+\b|\b\d+\b")
TIMEOUT = 300  # seconds: a hung script fails instead of blocking the suite


def label_addresses(texts):
    labels = {}

    def replace(match):
        token = match.group(0)
        if token[:2].lower() == "0x":
            value = int(token, 16)
        else:
            value = int(token)
            if value not in ARENA:
                return token
        if value not in labels:
            labels[value] = "@%d" % (len(labels) + 1)
        return labels[value]

    return [TOKEN.sub(replace, text) for text in texts]


def script_options(path):
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    match = re.match(r"\s*//\s*zel:(.*)", first)
    words = shlex.split(match.group(1)) if match else []
    if "--" in words:
        cut = words.index("--")
        return words[:cut], words[cut + 1 :]
    return words, []


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def compare(name, expected, actual):
    if expected == actual:
        return True
    sys.stdout.writelines(
        difflib.unified_diff(
            expected.splitlines(True), actual.splitlines(True), "expected " + name, "actual " + name
        )
    )
    return False


def main():
    parser = argparse.ArgumentParser(description="Run one ZEL script test.")
    parser.add_argument("--update", action="store_true", help="write the expected files from this run")
    parser.add_argument("--lib", help="the library zel loads (default: zel's own default)")
    parser.add_argument("script")
    parser.add_argument("zel")
    parser.add_argument("emulator", nargs=argparse.REMAINDER)
    a = parser.parse_args()

    script = os.path.abspath(a.script)
    folder, base = os.path.split(script)
    stem = base[: -len(".zel")] if base.endswith(".zel") else base
    options, args = script_options(script)
    command = list(a.emulator) + [os.path.abspath(a.zel), "--leaks", "--fake-clock"]
    if a.lib:
        command += ["--lib", os.path.abspath(a.lib)]
    command += options + [base] + args
    try:
        run = subprocess.run(
            command, cwd=folder, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT
        )
    except subprocess.TimeoutExpired:
        print("%s: no end after %d seconds" % (base, TIMEOUT))
        return 1
    out, err = label_addresses(
        [run.stdout.decode("utf-8", "replace"), run.stderr.decode("utf-8", "replace")]
    )
    out_path = os.path.join(folder, stem + ".out")
    err_path = os.path.join(folder, stem + ".err")

    if a.update:
        for path, text in ((out_path, out), (err_path, err)):
            if text:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
            elif os.path.exists(path):
                os.remove(path)
        print("updated %s (exit status %d)" % (stem, run.returncode))
        return 0

    ok = compare(stem + ".out", read(out_path), out)
    ok = compare(stem + ".err", read(err_path), err) and ok
    expect_failure = os.path.exists(err_path)
    if expect_failure and run.returncode == 0:
        print("%s: exit status 0, but %s.err expects a failure" % (base, stem))
        ok = False
    elif not expect_failure and run.returncode != 0:
        print("%s: exit status %d" % (base, run.returncode))
        ok = False
    if not ok:
        print("command: " + " ".join(shlex.quote(c) for c in command))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
