#!/usr/bin/env python3
"""Random expressions evaluated by zel in many contexts, against a model.

usage: differential.py [--seed N] [--count N] [--show] ZEL [EMULATOR...]

Makes COUNT random expressions (from SEED) over integers near the limits of
the 31-bit range, floats (with -0.0, infinities and NaN), strings, nil and up
to three operands, and has zel evaluate each in every context of CONTEXTS:
written with literals, with its operands in globals, in a procedure's
locals, as parameters, as arguments borrowed from globals, through aliases
made with `==`, in entries of a T_DblLnk, in elements of an array, in a loop
body, as the condition of an `if` and of a `while` in a procedure, assigned
to its first operand, and in globals with the evaluator's fast paths off.
Each case prints its value and its operands afterwards (which must keep
their values) or fails with an error; both must be what the model
of docs/zel.md's rules (evaluate() below) gives. Error places are not
compared, only their text.

A context's cases run as one script; after an error the script runs again
from the next case. Exit status 0 when every case agrees; else the first
disagreements are printed with the script that shows them.
"""
import argparse
import math
import os
import random
import re
import subprocess
import sys
import tempfile

MIN_INT, MAX_INT = -(1 << 30), (1 << 30) - 1
INTS = [0, 1, -1, 2, 3, -7, 46341, -46341, 65536, 536870912, -536870912,
        MAX_INT, MAX_INT - 1, MIN_INT, MIN_INT + 1]
FLOATS = [0.0, -0.0, 0.5, 1.5, -2.5, 3.0, 0.1, 2.5e-7, 1e300, -1e300,
          1073741824.0, math.inf, -math.inf, math.nan]
STRINGS = ["", "a", "b", "ab", "B"]
BINARY = ["+", "-", "*", "/", "%", "<", "<=", ">", ">=", "is", "isnt"]


class Failure(Exception):
    """A ZEL run-time error, with its text."""


# Values of the model: ("int", n), ("float", x), ("str", s), ("nil", None).

def literal(v):
    """ZEL text that evaluates to v."""
    kind, x = v
    if kind == "int":
        return "(%d)" % x if x < 0 else "%d" % x
    if kind == "str":
        return '"%s"' % x
    if kind == "nil":
        return "nil"
    if math.isnan(x):
        return "(0.0 / 0.0)"
    if math.isinf(x):
        return "(1.0 / 0.0)" if x > 0 else "(-1.0 / 0.0)"
    text = repr(x)
    return "(%s)" % text if text.startswith("-") else text


def shown(v):
    """What print writes for v."""
    kind, x = v
    if kind == "int":
        return str(x)
    if kind == "str":
        return x
    if kind == "nil":
        return "nil"
    if math.isnan(x):
        return "nan"
    if math.isfinite(x) and x == math.trunc(x) and abs(x) < 1e15:
        return "%.1f" % x
    return "%g" % x


def described(v):
    return {"int": "an integer", "float": "a float", "str": "a string", "nil": "nil"}[v[0]]


def integer(n):
    if not MIN_INT <= n <= MAX_INT:
        raise Failure("integer overflow")
    return ("int", n)


def truthy(v):
    kind, x = v
    return not (kind == "nil" or (kind in ("int", "float") and x == 0))


def real_divide(x, y):
    if y != 0:
        return x / y
    if x == 0 or math.isnan(x):
        return math.nan
    return math.copysign(math.inf, x) * math.copysign(1.0, y)


def real_remainder(x, y):
    if math.isnan(x) or math.isnan(y) or math.isinf(x) or y == 0:
        return math.nan
    return math.fmod(x, y)


def binary(op, a, b):
    numbers = a[0] in ("int", "float") and b[0] in ("int", "float")
    if numbers and a[0] == "int" and b[0] == "int":
        x, y = a[1], b[1]
        if op in ("/", "%"):
            if y == 0:
                raise Failure("division by zero")
            q = abs(x) // abs(y) * (1 if (x < 0) == (y < 0) else -1)
            return integer(q if op == "/" else x - q * y)
        if op in ("+", "-", "*"):
            return integer({"+": x + y, "-": x - y, "*": x * y}[op])
    if numbers:
        x, y = float(a[1]), float(b[1])
        arithmetic = {"+": lambda: x + y, "-": lambda: x - y, "*": lambda: x * y,
                      "/": lambda: real_divide(x, y), "%": lambda: real_remainder(x, y)}
        if op in arithmetic:
            return ("float", arithmetic[op]())
    if op in ("<", "<=", ">", ">=", "is", "isnt"):
        if numbers or (a[0] == "str" and b[0] == "str"):
            x, y = a[1], b[1]
        elif op in ("is", "isnt"):
            same = a[0] == b[0] == "nil"  # every other pair here: distinct objects
            return ("int", int(same == (op == "is")))
        else:
            raise Failure("operator %s cannot compare %s with %s" % (op, described(a), described(b)))
        held = {"<": x < y, "<=": x <= y, ">": x > y, ">=": x >= y, "is": x == y, "isnt": x != y}[op]
        return ("int", int(held))
    if op == "+" and "str" in (a[0], b[0]):
        if a[0] == b[0]:
            return ("str", a[1] + b[1])
        raise Failure("operator + joins two strings or adds two numbers, got %s and %s"
                      % (described(a), described(b)))
    raise Failure("operator %s needs numbers, got %s and %s" % (op, described(a), described(b)))


# Expressions: ("val", v) a constant, ("arg", i) operand i, ("bin", op, l, r),
# ("neg", e), ("not", e), ("and", l, r), ("or", l, r), ("id", e).

def evaluate(e, args):
    """The model's value of e, or Failure."""
    tag = e[0]
    if tag == "val":
        return e[1]
    if tag == "arg":
        return args[e[1]]
    if tag == "bin":
        a = evaluate(e[2], args)
        return binary(e[1], a, evaluate(e[3], args))
    if tag == "neg":
        v = evaluate(e[1], args)
        if v[0] == "int":
            return integer(-v[1])
        if v[0] == "float":
            return ("float", -v[1])
        raise Failure("operator - needs a number, got %s" % described(v))
    if tag == "not":
        return ("int", int(not truthy(evaluate(e[1], args))))
    if tag in ("and", "or"):
        left = truthy(evaluate(e[1], args))
        if left == (tag == "or"):
            return ("int", int(left))
        return ("int", int(truthy(evaluate(e[2], args))))
    return evaluate(e[1], args)  # id


def text(e, operand):
    """ZEL text of e, operand(i) giving the text of operand i."""
    tag = e[0]
    if tag == "val":
        return literal(e[1])
    if tag == "arg":
        return operand(e[1])
    if tag == "bin":
        return "(%s %s %s)" % (text(e[2], operand), e[1], text(e[3], operand))
    if tag == "neg":
        return "(-%s)" % text(e[1], operand)
    if tag == "not":
        return "(not %s)" % text(e[1], operand)
    if tag in ("and", "or"):
        return "(%s %s %s)" % (text(e[1], operand), tag, text(e[2], operand))
    return "id (%s)" % text(e[1], operand)


def random_value(rng):
    pick = rng.random()
    if pick < 0.5:
        at_limits = rng.random()
        if at_limits < 0.3:
            return ("int", rng.choice([MIN_INT, MAX_INT, MIN_INT + 1]))
        return ("int", rng.choice(INTS) if at_limits < 0.85 else rng.randint(-100, 100))
    if pick < 0.85:
        return ("float", rng.choice(FLOATS))
    if pick < 0.96:
        return ("str", rng.choice(STRINGS))
    return ("nil", None)


def random_expr(rng, depth, arity):
    if depth == 0 or rng.random() < 0.25:
        if rng.random() < 0.75:
            return ("arg", rng.randrange(arity))
        return ("val", ("int", rng.choice([1, 2, -1, 0, 7])) if rng.random() < 0.7 else random_value(rng))
    pick = rng.random()
    if pick < 0.15:
        return ("neg", random_expr(rng, depth - 1, arity))
    if pick < 0.18:
        return ("not", random_expr(rng, depth - 1, arity))
    if pick < 0.22:
        return (rng.choice(["and", "or"]), random_expr(rng, depth - 1, arity), random_expr(rng, depth - 1, arity))
    if pick < 0.32:
        return ("id", random_expr(rng, depth - 1, arity))
    return ("bin", rng.choice(BINARY), random_expr(rng, depth - 1, arity), random_expr(rng, depth - 1, arity))


NAMES = ["a", "b", "c"]


def names(n):
    return ", ".join(NAMES[:n])


# Each context: its ZEL text for case k with expression text t (operands by
# name unless it says otherwise) and its operands' values, and what the case
# prints. The list entries context reads its operands through keys.
def ctx_literal(k, e, vals):
    return "print (%s);" % text(e, lambda i: literal(vals[i])), lambda r: shown(r)


def assigned(vals, prefix=""):
    return " ".join("%s%s = %s;" % (prefix, NAMES[i], literal(v)) for i, v in enumerate(vals))


def printed(r, vals):
    return " ".join([shown(r)] + [shown(v) for v in vals])


def ctx_globals(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return "%s r = %s; print r, %s;" % (assigned(vals), t, names(len(vals))), lambda r: printed(r, vals)


def ctx_locals(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return ("procedure p%d (); %s r = %s; print r, %s; end p%d ();"
            % (k, assigned(vals), t, names(len(vals)), k), lambda r: printed(r, vals))


def ctx_parameters(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return ("procedure p%d (%s); r = %s; print r, %s; end p%d (%s);"
            % (k, names(len(vals)), t, names(len(vals)), k, ", ".join(literal(v) for v in vals)),
            lambda r: printed(r, vals))


def ctx_borrowed(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    held = ", ".join("x" + NAMES[i] for i in range(len(vals)))
    return ("%s procedure p%d (%s); r = %s; print r, %s; end p%d (%s);"
            % (assigned(vals, "x"), k, names(len(vals)), t, held, k, held), lambda r: printed(r, vals))


def ctx_alias(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    alias = " ".join("%s == x%s;" % (n, n) for n in NAMES[: len(vals)])
    held = ", ".join("x" + NAMES[i] for i in range(len(vals)))
    return ("%s %s r == xa; r = %s; print r, %s;" % (assigned(vals, "x"), alias, t, held),
            lambda r: printed(r, vals))


def ctx_list(k, e, vals):
    t = text(e, lambda i: "T_DblLnk:val (k%s)" % NAMES[i])
    adds = " ".join("k%s = l:AddAtTail (%s);" % (NAMES[i], literal(v)) for i, v in enumerate(vals))
    held = ", ".join("T_DblLnk:val (k%s)" % NAMES[i] for i in range(len(vals)))
    return ("l = T_DblLnk:new (); l:create (); %s r = %s; print r, %s;" % (adds, t, held),
            lambda r: printed(r, vals))


def ctx_loop(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return ("%s i = 0; while i < 2 do r = %s; i = i + 1; end print r, %s;"
            % (assigned(vals), t, names(len(vals))), lambda r: printed(r, vals))


def ctx_condition(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return ('%s if %s then print "true"; else print "false"; end' % (assigned(vals), t),
            lambda r: "true" if truthy(r) else "false")


def ctx_while(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return ('procedure p%d (%s); w = "false"; while %s do w = "true"; break; end return w; end print p%d (%s);'
            % (k, names(len(vals)), t, k, ", ".join(literal(v) for v in vals)),
            lambda r: "true" if truthy(r) else "false")


def ctx_reassign(k, e, vals):
    t = text(e, lambda i: NAMES[i])
    return "%s a = %s; print %s;" % (assigned(vals), t, names(len(vals))), lambda r: printed(r, vals[1:])


def ctx_array(k, e, vals):
    t = text(e, lambda i: "e[%d]" % i)
    held = ", ".join("e[%d]" % i for i in range(len(vals)))
    return ("e = slist (%s); r = %s; print r, %s;" % (", ".join(literal(v) for v in vals), t, held),
            lambda r: printed(r, vals))


CONTEXTS = [
    ("literal", ctx_literal, {}),
    ("globals", ctx_globals, {}),
    ("locals", ctx_locals, {}),
    ("parameters", ctx_parameters, {}),
    ("borrowed", ctx_borrowed, {}),
    ("alias", ctx_alias, {}),
    ("list", ctx_list, {}),
    ("array", ctx_array, {}),
    ("loop", ctx_loop, {}),
    ("condition", ctx_condition, {}),
    ("while", ctx_while, {}),
    ("reassign", ctx_reassign, {}),
    ("general", ctx_globals, {"ZEL_NO_FAST_PATHS": "1"}),
]

PRELUDE = "procedure id (v); return v; end\n"
ERROR = re.compile(r"^[^\n]*?:\d+: (.*)$", re.M)


def run_context(zel, emulator, folder, name, make, env, cases):
    """Disagreements of one context, as (case, expected, actual, script)."""
    found = []
    start = 0
    while start < len(cases):
        lines, expect = [], []
        for k in range(start, len(cases)):
            e, vals = cases[k]
            line, show = make(k, e, vals)
            lines.append(line)
            try:
                expect.append(("out", show(evaluate(e, vals))))
            except Failure as failure:
                expect.append(("err", str(failure)))
        path = os.path.join(folder, "%s.zel" % name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(PRELUDE + "\n".join(lines) + "\n")
        run = subprocess.run(emulator + [zel, path], capture_output=True, text=True, timeout=600,
                             env=dict(os.environ, **env), stdin=subprocess.DEVNULL)
        out = run.stdout.splitlines()
        for i, line in enumerate(out):
            if expect[i] != ("out", line):
                found.append((start + i, expect[i], ("out", line), lines[i]))
        failed = len(out)
        if run.returncode == 0:
            if failed < len(lines):
                found.append((start + failed, expect[failed], ("out", "<nothing>"), lines[failed]))
            break
        match = ERROR.search(run.stderr)
        actual = ("err", match.group(1) if match else run.stderr.strip())
        if failed >= len(lines) or expect[failed] != actual:
            case = min(failed, len(lines) - 1)
            found.append((start + case, expect[case], actual, lines[case]))
        start += failed + 1
    return found


def main():
    parser = argparse.ArgumentParser(description="Random expressions in many contexts against a model.")
    parser.add_argument("--seed", type=int, default=19, help="the generator's seed (default 19)")
    parser.add_argument("--count", type=int, default=300, help="expressions (default 300)")
    parser.add_argument("--show", action="store_true", help="print every case's script line")
    parser.add_argument("zel")
    parser.add_argument("emulator", nargs=argparse.REMAINDER)
    a = parser.parse_args()

    rng = random.Random(a.seed)
    cases = []
    for _ in range(a.count):
        arity = rng.randint(1, 3)
        cases.append((random_expr(rng, rng.randint(1, 3), arity), [random_value(rng) for _ in range(arity)]))
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, make, env in CONTEXTS:
            found = run_context(os.path.abspath(a.zel), list(a.emulator), folder, name, make, env, cases)
            if a.show:
                for k in range(len(cases)):
                    print("%s %d: %s" % (name, k, make(k, *cases[k])[0]))
            for case, expected, actual, line in found[:5]:
                print("%s, case %d: expected %s %r, got %s %r\n  %s" % (name, case, *expected, *actual, line))
            failures += len(found)
    print("%d expressions in %d contexts (seed %d): %d disagreements"
          % (a.count, len(CONTEXTS), a.seed, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
