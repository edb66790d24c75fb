#!/usr/bin/env python3
"""Runs the examples of one Markdown document and compares their output.

usage: run_doc_examples.py [--update] DOC ZEL [EMULATOR...]

An example is a ```zel block followed (blank lines between are allowed) by a
```output block, a ```stderr block, or both in that order: what the script
writes to standard output and to standard error. A ```zel block without them
is only shown, never run. Each example becomes the script test
`lineNNNNN/example.zel` (NNNNN: the line of its ```zel fence) with its
expected files, and `zel --test` runs them all (`zel --leaks
--fake-clock`, a first line `// zel: OPTIONS` adds options, addresses become
@1, @2, ...); each must fail exactly when it has a ```stderr block. --update
rewrites the result blocks of every example from this run instead of
comparing. Under an emulator, zel --test runs under it and runs each test's
zel under it too.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```(\w*)\s*$")
RESULTS = ("output", "stderr")
TAP = re.compile(r"^(ok|not ok) \d+ - .*/line(\d+)/example( # updated)?$")
SUFFIXES = {"output": ".out", "stderr": ".err"}


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


def read(path):
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description="Run the examples of a Markdown document.")
    parser.add_argument("--update", action="store_true", help="rewrite the result blocks from this run")
    parser.add_argument("doc")
    parser.add_argument("zel")
    parser.add_argument("emulator", nargs=argparse.REMAINDER)
    a = parser.parse_args()

    with open(a.doc, encoding="utf-8") as f:
        lines = f.readlines()
    found = examples(lines)
    if not found:
        print("0 examples in %s" % a.doc)
        return 0
    with tempfile.TemporaryDirectory() as folder:
        for script, results, start, last in found:
            stem = os.path.join(folder, "line%05d" % (start + 1), "example")
            os.mkdir(os.path.dirname(stem))
            with open(stem + ".zel", "w", encoding="utf-8") as f:
                f.write(script)
            for kind, text in results.items():
                with open(stem + SUFFIXES[kind], "w", encoding="utf-8") as f:
                    f.write(text)
        command = a.emulator + [os.path.abspath(a.zel), "--test", "--timeout", "300"]
        if a.emulator:
            command += ["--exec", " ".join(a.emulator)]
        run = subprocess.run(
            command + (["--update"] if a.update else []) + [folder], capture_output=True, text=True
        )
        # The TAP report: each test's line, then its comments.
        failed, report, doc_line = 0, [], None
        for line in run.stdout.splitlines():
            match = TAP.match(line)
            if match:
                doc_line = int(match.group(2))
                if match.group(1) != "ok":
                    failed += 1
                    report.append("%s:%d: the example differs from its output" % (a.doc, doc_line))
            elif line.startswith("# ") and doc_line is not None:
                report.append(line)
        if run.returncode not in (0, 1) or run.stderr:
            print("zel --test failed (status %d): %s" % (run.returncode, run.stderr), end="")
            return 1
        if a.update:
            for script, results, start, last in reversed(found):
                stem = os.path.join(folder, "line%05d" % (start + 1), "example")
                end_of_script = next(e for info, s, e, _ in blocks(lines) if s == start)
                lines[end_of_script + 1 : last + 1] = ["\n"] + result_blocks(
                    read(stem + ".out"), read(stem + ".err")
                )
    if a.update:
        with open(a.doc, "w", encoding="utf-8") as f:
            f.writelines(lines)
        print("updated %d examples of %s" % (len(found), a.doc))
        print("\n".join(report))
        return 1 if failed else 0
    print("\n".join(report))
    print("%d of %d examples of %s match" % (len(found) - failed, len(found), a.doc))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
