#!/usr/bin/env python3
"""Runs the examples of one Markdown document and compares their output.

usage: run_doc_examples.py [--update] DOC ZEL [EMULATOR...]

An example is a ```zel block followed (blank lines between are allowed) by a
```output block, a ```stderr block, or both in that order: what the script
writes to standard output and to standard error. A ```zel block without them
is only shown, never run. Each example runs on its own as the script test
`example.zel` (tests/run_script.py: `zel --leaks --fake-clock`, a first line
`// zel: OPTIONS` adds options, addresses become @1, @2, ...); it must fail
exactly when it has a ```stderr block. --update rewrites the result blocks of
every example from this run instead of comparing.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```(\w*)\s*$")
RESULTS = ("output", "stderr")
RUN_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_script.py")


def blocks(lines):
    """The fenced blocks of a document: (info, first line, end line, text)."""
    found = []
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        end = i + 1
        while end < len(lines) and lines[end].rstrip() != "```":
            end += 1
        found.append((match.group(1), i, end, "".join(lines[i + 1 : end])))
        i = end + 1
    return found


def examples(lines):
    """Each example: its script, its result blocks by kind, and the span of
    lines from the script's fence to the last result block's fence."""
    found = []
    all_blocks = blocks(lines)
    for n, (info, start, end, text) in enumerate(all_blocks):
        if info != "zel":
            continue
        results, last, kinds = {}, end, list(RESULTS)
        for kind, r_start, r_end, r_text in all_blocks[n + 1 : n + 3]:
            if kind not in kinds or any(l.strip() for l in lines[last + 1 : r_start]):
                break
            kinds = kinds[kinds.index(kind) + 1 :]
            results[kind] = r_text
            last = r_end
        if results:
            found.append((text, results, start, last))
    return found


def result_blocks(out, err):
    """The lines of the result blocks for this output: an empty ```output
    block when the example writes nothing."""
    text = []
    for kind, content in (("output", out), ("stderr", err)):
        if content or (kind == "output" and not err):
            text += ["```%s\n" % kind, content, "```\n", "\n"]
    return text[:-1]


def main():
    parser = argparse.ArgumentParser(description="Run the examples of a Markdown document.")
    parser.add_argument("--update", action="store_true", help="rewrite the result blocks from this run")
    parser.add_argument("doc")
    parser.add_argument("zel")
    parser.add_argument("emulator", nargs=argparse.REMAINDER)
    a = parser.parse_args()

    with open(a.doc, encoding="utf-8") as f:
        lines = f.readlines()
    failed = 0
    replacements = []
    found = examples(lines)
    for script, results, start, last in found:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "example.zel")
            with open(path, "w", encoding="utf-8") as f:
                f.write(script)
            for kind, suffix in (("output", ".out"), ("stderr", ".err")):
                if kind in results:
                    with open(os.path.join(folder, "example" + suffix), "w", encoding="utf-8") as f:
                        f.write(results[kind])
            command = [sys.executable, RUN_SCRIPT] + (["--update"] if a.update else [])
            run = subprocess.run(
                command + [path, a.zel] + a.emulator, capture_output=True, text=True
            )
            if a.update:
                out = err = ""
                for suffix in (".out", ".err"):
                    name = os.path.join(folder, "example" + suffix)
                    if os.path.exists(name):
                        with open(name, encoding="utf-8") as f:
                            if suffix == ".out":
                                out = f.read()
                            else:
                                err = f.read()
                replacements.append((start, last, out, err))
            elif run.returncode != 0:
                failed += 1
                print("%s:%d: the example differs from its output" % (a.doc, start + 1))
                sys.stdout.write(run.stdout)
    if a.update:
        for start, last, out, err in reversed(replacements):
            end_of_script = next(e for info, s, e, _ in blocks(lines) if s == start)
            lines[end_of_script + 1 : last + 1] = ["\n"] + result_blocks(out, err)
        with open(a.doc, "w", encoding="utf-8") as f:
            f.writelines(lines)
        print("updated %d examples of %s" % (len(replacements), a.doc))
        return 0
    print("%d of %d examples of %s match" % (len(found) - failed, len(found), a.doc))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
