#!/usr/bin/env python3
"""zel --coverage: the lcov tracefile of a run, the counts later runs add to
it, zel --test --coverage over many tests, lcov reading it, and files that
cannot be used.

usage: coverage_test.py ZEL [EMULATOR...]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

COMMAND = []  # [EMULATOR...] ZEL
EXEC = []  # the options that make zel --test run its tests' zel under the emulator

MAIN = """\
// Lines of procedures that ran, and of one that never did.
procedure grade (n);
  if n > 2 then
    return "big";
  elseif n > 0 then
    return "small";
  else
    return "none";
  end
end

procedure unused ();
  print "never";
end
compile "lib/shared";
i = 0;
while i < 3 do
  print grade (i), twice (i);
  i = i + 1;
end
"""
SHARED = "procedure twice (n); return 2 * n; end\n"


def zel(*args, cwd):
    return subprocess.run(COMMAND + list(args), cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=60)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


def tracefile(folder, runs):
    """The tracefile of MAIN run `runs` times in folder."""
    def n(count):
        return str(count * runs)
    shared = ["TN:", "SF:" + os.path.join(folder, "lib", "shared.zel"), "FN:1,twice",
              "FNDA:%s,twice" % n(3), "FNF:1", "FNH:1", "DA:1,%s" % n(4), "LF:1", "LH:1", "end_of_record"]
    lines = {2: 1, 3: 3, 4: 0, 5: 3, 6: 2, 8: 1, 12: 1, 13: 0, 15: 1, 16: 1, 17: 1, 18: 3, 19: 3}
    main = ["TN:", "SF:" + os.path.join(folder, "main.zel"), "FN:2,grade", "FN:12,unused",
            "FNDA:%s,grade" % n(3), "FNDA:0,unused", "FNF:2", "FNH:1"]
    main += ["DA:%d,%s" % (line, n(count)) for line, count in lines.items()]
    main += ["LF:13", "LH:11", "end_of_record"]
    return "\n".join(shared + main) + "\n"


class Coverage(unittest.TestCase):
    def setUp(self):
        self.folder = os.path.realpath(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.folder)
        write(os.path.join(self.folder, "main.zel"), MAIN)
        write(os.path.join(self.folder, "lib", "shared.zel"), SHARED)

    def cover(self, *options):
        return zel("--coverage", "cov.info", *options, "main.zel", cwd=self.folder)

    def test_a_run_counts_each_line_that_can_run_and_the_next_adds_to_it(self):
        for runs in (1, 2):
            run = self.cover()
            self.assertEqual((run.returncode, run.stderr), (0, ""))
            self.assertEqual(run.stdout, "none 0\nsmall 2\nsmall 4\n")
            self.assertEqual(read(os.path.join(self.folder, "cov.info")), tracefile(self.folder, runs))

    def test_zel_test_adds_up_the_counts_of_every_test(self):
        tests = os.path.join(self.folder, "tests")
        for name, n in (("one", 1), ("two", 2), ("three", 3)):
            write(os.path.join(tests, name + ".zel"), 'compile "../lib/shared";\nprint twice (%d);\n' % n)
            write(os.path.join(tests, name + ".out"), "%d\n" % (2 * n))
        run = zel("--test", *EXEC, "-j", "3", "--coverage", "cov.info", "tests", cwd=self.folder)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertTrue(run.stdout.endswith("3 passed, 0 failed\n"))
        records = read(os.path.join(self.folder, "cov.info")).split("end_of_record\n")
        self.assertEqual(len(records), 5, records)  # three tests and lib/shared.zel, then nothing
        shared = "SF:%s\n" % os.path.join(self.folder, "lib", "shared.zel")
        self.assertEqual([r.split(shared)[1] for r in records if shared in r],
                         ["FN:1,twice\nFNDA:3,twice\nFNF:1\nFNH:1\nDA:1,6\nLF:1\nLH:1\n"])

    def test_records_lcov_wrote_are_kept_in_zels_form(self):
        write(os.path.join(self.folder, "cov.info"),
              "VER:2\nTN:old\nSF:/elsewhere/other.zel\r\nFN:1,3,far\nFNDA:2,far\nDA:1,5,c0ffee\n"
              "BRDA:1,0,0,1\nLF:1\nLH:1\nend_of_record\n")
        self.assertEqual(self.cover().returncode, 0)
        other = "TN:\nSF:/elsewhere/other.zel\nFN:1,far\nFNDA:2,far\nFNF:1\nFNH:1\nDA:1,5\nLF:1\nLH:1\nend_of_record\n"
        self.assertEqual(read(os.path.join(self.folder, "cov.info")), other + tracefile(self.folder, 1))
        # A function's calls without its line take the line this run gives.
        write(os.path.join(self.folder, "cov.info"), "SF:%s\nFNDA:2,grade\nend_of_record\n"
              % os.path.join(self.folder, "main.zel"))
        self.assertEqual(self.cover().returncode, 0)
        self.assertEqual(read(os.path.join(self.folder, "cov.info")),
                         tracefile(self.folder, 1).replace("FNDA:3,grade", "FNDA:5,grade"))

    def test_a_compiled_file_that_does_not_parse_has_no_record(self):
        write(os.path.join(self.folder, "lib", "shared.zel"), "procedure twice (n);\n")
        run = self.cover()
        self.assertEqual(run.returncode, 1)
        self.assertIn("expected 'end'", run.stderr)
        self.assertNotIn("shared.zel", read(os.path.join(self.folder, "cov.info")))

    def test_text_given_with_e_has_no_record_but_the_files_it_compiles_do(self):
        write(os.path.join(self.folder, "lib", "shape.zel"), 'zel$object:subclass "Shape", "";\n'
              "procedure Shape:sides (); return 0; end procedure Shape:area (); return 1; end\n")
        run = zel("--coverage", "cov.info", "-e",
                  'compile "lib/shape"; compile "lib/shape"; print Shape:new ():area (), slist (1);', cwd=self.folder)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "1 [1]\n", ""))
        self.assertEqual(read(os.path.join(self.folder, "cov.info")),
                         "TN:\nSF:%s\nFN:2,Shape:area\nFN:2,Shape:sides\nFNDA:1,Shape:area\nFNDA:0,Shape:sides\n"
                         "FNF:2\nFNH:1\nDA:1,2\nDA:2,5\nLF:2\nLH:2\nend_of_record\n"
                         % os.path.join(self.folder, "lib", "shape.zel"))

    def test_lcov_reads_it(self):
        if shutil.which("lcov") is None or len(COMMAND) > 1:
            self.skipTest("lcov is not installed (the Debian package lcov)")
        self.assertEqual(self.cover().returncode, 0)
        run = subprocess.run(["lcov", "--summary", "cov.info"], cwd=self.folder, capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        summary = run.stdout + run.stderr
        self.assertRegex(summary, r"\(12 of 14 lines\)")
        self.assertRegex(summary, r"\(2 of 3 functions\)")

    def test_files_it_cannot_use_are_errors_and_left_as_they_are(self):
        write(os.path.join(self.folder, "cov.info"), "a list of things\n")
        run = self.cover()
        self.assertEqual((run.returncode, run.stdout), (1, "none 0\nsmall 2\nsmall 4\n"))
        self.assertEqual(run.stderr,
                         "zel: the coverage file cov.info is no lcov tracefile: line 1: a list of things\n")
        self.assertEqual(read(os.path.join(self.folder, "cov.info")), "a list of things\n")
        for text, line in (("TN:\nDA:1,1\n", "2: DA:1,1"), ("SF:a\nDA:0,1\n", "2: DA:0,1"),
                           ("SF:a\nDA:1,-1\n", "2: DA:1,-1"), ("SF:a\nDA:2147483648,1\n", "2: DA:2147483648,1"),
                           ("SF:a\nDA:1,1234567890123456789\n", "2: DA:1,1234567890123456789"),
                           ("SF:a\nFN:0,f\n", "2: FN:0,f"), ("SF:a\nFN:1,\n", "2: FN:1,"),
                           ("SF:a\nFN:2147483648,f\n", "2: FN:2147483648,f"), ("1X:1\n", "1: 1X:1"),
                           ("SF:a\nFNDA:x,f\n", "2: FNDA:x,f"), ("SF:a\nFNDA:1,\n", "2: FNDA:1,"),
                           ("\nSF:a\nbranches:1", "3: branches:1"), (":1\n", "1: :1")):
            with self.subTest(text=text):
                write(os.path.join(self.folder, "cov.info"), text)
                self.assertEqual(self.cover().stderr,
                                 "zel: the coverage file cov.info is no lcov tracefile: line %s\n" % line)
        run = zel("--coverage", "lib", "--profile-stacks", "lib", "main.zel", cwd=self.folder)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr, "zel: cannot write the stacks file lib: Is a directory\n"
                                     "zel: cannot write the coverage file lib: Is a directory\n")
        run = zel("--coverage", "/dev/full", "--profile-stacks", "/dev/full", "main.zel", cwd=self.folder)
        self.assertEqual(run.stderr, "zel: cannot write the stacks file /dev/full: No space left on device\n"
                                     "zel: cannot write the coverage file /dev/full: No space left on device\n")
        self.assertEqual(zel("--coverage", "/dev/null", "main.zel", cwd=self.folder).returncode, 0)
        self.assertEqual(zel("--coverage", "nosuch/cov.info", "main.zel", cwd=self.folder).stderr,
                         "zel: cannot write the coverage file nosuch/cov.info: No such file or directory\n")


if __name__ == "__main__":
    COMMAND = sys.argv[2:] + sys.argv[1:2]
    EXEC = ["--exec", " ".join(sys.argv[2:])] if len(sys.argv) > 2 else []
    unittest.main(argv=sys.argv[:1], verbosity=2)
