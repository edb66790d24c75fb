#!/usr/bin/env python3
"""The zel program's command line and prompt.

usage: zel_cli_test.py VERSION ZEL [EMULATOR...]
"""
import os
import pty
import re
import resource
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import xml.etree.ElementTree as ElementTree

VERSION = ""
COMMAND = []  # [EMULATOR...] ZEL
BANNER = ""  # what zel writes as the prompt opens
EXEC = []  # the options that make zel --test run its tests' zel under the emulator
TIMEOUT = 60  # seconds without output before a prompt test gives up
EDITING = os.environ.get("ZEL_CLI_EDITING", "")  # libedit's name when zel reads with it


def zel(*args, cwd=None):
    return subprocess.run(COMMAND + list(args), cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=TIMEOUT)


class Options(unittest.TestCase):
    def test_version_and_help_exit_0(self):
        run = zel("--version")
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "zel %s\n" % VERSION, ""))
        run = zel("--help")
        self.assertEqual(run.returncode, 0)
        self.assertTrue(run.stdout.startswith("usage: zel [options]"))
        self.assertIn("  --version ", run.stdout)

    def test_bad_options_exit_2_with_the_usage(self):
        usage = zel("--help").stdout
        number = "%s needs a whole number from 1 to 100000, not %s"
        alone = ("--test takes only --lib, --path, --coverage and the test options (each test runs with --leaks"
                 " and --fake-clock)")
        for args, message in ((["--bogus"], "unknown option --bogus"), (["-x", "script.zel"], "unknown option -x"),
                              (["--path"], "--path needs a value"),
                              (["--leaks", "-e"], "-e needs a value"),
                              (["--update", "x.zel"], "--update needs --test"),
                              (["--test"], "--test needs a file or folder of tests"),
                              (["--exec", "", "--test", "."], "--exec needs a command"),
                              (["--test", "--exec", "'env", "."], "--exec has an unclosed quote"),
                              *(([option, value, "--test", "."], number % (option, value))
                                for option, value in (("-j", "0"), ("-j", ""), ("-j", "2x"), ("--timeout", "100001"),
                                                      ("--timeout", "99999999999"))),
                              *(([*options, "--test", "."], alone)
                                for options in (["-e", "1;"], ["--profile", "f"], ["--profile-all"],
                                                ["--profile-stacks", "f"], ["--leaks"], ["--fake-clock"]))):
            with self.subTest(args=args):
                run = zel(*args)
                self.assertEqual((run.returncode, run.stdout), (2, ""))
                self.assertEqual(run.stderr, "zel: %s\n%s" % (message, usage))

    def test_deep_calls_fail_cleanly_at_the_highest_stack_limit(self):
        # Unlimited where the machine allows: the stack's bounds then come from the memory map.
        deep = "procedure d (n); return " + "0 + (" * 190 + "d (n + 1)" + ")" * 190 + "; end d (0);"
        hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
        run = subprocess.run(COMMAND + ["-e", deep], capture_output=True, text=True, timeout=TIMEOUT,
                             preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_STACK, (hard, hard)))
        self.assertRegex(run.stderr, "^-e:1: (nested too deeply: the stack is full|calls nested too deeply)\n")

    def test_double_dash_ends_the_options(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "-e"), "w") as f:
                f.write('print "script -e", args;\n')
            run = zel("--fake-clock", "--", "-e", "--leaks", cwd=folder)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "script -e [--leaks]\n", ""))
        run = zel("-e", "print args;", "--", "-x")
        self.assertEqual((run.returncode, run.stdout), (0, "[-x]\n"))

    def test_bare_expressions_show_nothing_outside_the_prompt(self):
        self.assertEqual(zel("-e", "1 + 2").stdout, "")
        run = subprocess.run(COMMAND, input="x = 1; x;", capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))

    def test_unreadable_input_and_a_missing_path_folder_are_refused(self):
        folder = os.open("/", os.O_RDONLY)
        try:
            run = subprocess.run(COMMAND, stdin=folder, capture_output=True, text=True, timeout=TIMEOUT)
        finally:
            os.close(folder)
        self.assertEqual((run.returncode, run.stdout, run.stderr),
                         (1, "", "zel: cannot read standard input: Is a directory\n"))
        with tempfile.NamedTemporaryFile() as file:
            for path, problem in (("/nonexistent/zel", "no such folder"), (file.name, "not a folder"),
                                  (file.name + "/zel", "Not a directory")):
                with self.subTest(path=path):
                    run = zel("--path", path, "-e", "print 1;")
                    self.assertEqual((run.returncode, run.stdout, run.stderr),
                                     (2, "", "zel: --path %s: %s\n" % (path, problem)))

    def test_a_library_or_module_folder_that_does_not_fit_is_refused_before_the_start(self):
        bad = "zel: WQ_ZEL (from %s) names {0}: cannot read {0}/objkit.zel: %s\n"
        with tempfile.TemporaryDirectory() as empty:
            os.makedirs((folder := empty + "/m") + "/objkit.zel")  # a folder where the module source should be
            for args, env, status, stdout, stderr in (
                    (["--path", empty], {}, 1, "", bad.format(empty) % ("--path", "No such file or directory")),
                    ([], {"WQ_ZEL": folder}, 1, "", bad.format(folder) % ("the environment", "Is a directory")),
                    ([], {"WQ_ZEL": ""}, 0, "1\n", ""),
                    (["--lib", empty + "/objkit.so"], {}, 1, "", "zel: cannot load %s/objkit.so: %s/objkit.so: cannot "
                                                               "open shared object file: No such file or directory\n"
                                                               % (empty, empty)),
                    (["--lib", "libm.so.6"], {}, 1, "", "zel: libm.so.6 has no objkit_init_module\n")):
                with self.subTest(args=args, env=env):
                    run = subprocess.run(COMMAND + args + ["-e", "print 1;"], capture_output=True, text=True,
                                         env=dict(os.environ, **env), timeout=TIMEOUT)
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (status, stdout, stderr))

    def test_a_profiled_name_that_matched_no_call_is_warned_of_at_exit(self):
        script = ('zel$object:subclass "Base", ""; Base:subclass "Sub", "";'
                  'procedure Base:step (); end Sub:new ():step (); print "ran";')
        warning = ("zel: --profile %s matched nothing: no call of a script procedure of that name ran"
                   " (a method is named by the class that defines it, Class:name)\n")
        for name, stderr in (("Sub:step", warning % "Sub:step"), ("stepp", warning % "stepp"),
                             ("base:STEP", "")):
            with self.subTest(name=name):
                run = zel("--profile", name, "-e", script)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "ran\n", stderr))

    def test_the_globals_are_dropped_at_exit_with_or_without_leaks(self):
        script = """zel$object:subclass "Item", "name";
procedure Item:init (n); super:init (); name = n; end
procedure Item:setkey (k); print name, "hears setkey", k; end
zel$object:subclass "Mute", "";
l = T_DblLnk:new (); l:create ();
l:Add (Item:new ("a")); l:Add (Mute:new ());
l:setenterkeys (1);
print "ran to the end";"""
        for options, end, stderr in (([], "", ""), (["--leaks"], "", ""),
                                     ([], "nosuch;", "-e:8: unknown variable nosuch\n")):
            with self.subTest(options=options, end=end):
                run = zel(*options, "-e", script + end)
                self.assertEqual((run.returncode, run.stdout, run.stderr),
                                 (1, "ran to the end\na hears setkey nil\n",
                                  stderr or "zel: at exit: a Mute object has no method setkey\n"))


def write_files(folder, files):
    """Writes each file, text or bytes; None makes a folder."""
    for name, text in files.items():
        path = os.path.join(folder, name)
        os.makedirs(path if text is None else os.path.dirname(path), exist_ok=True)
        if text is not None:
            with open(path, "wb") as f:
                f.write(text.encode() if isinstance(text, str) else text)


def read_file(path):
    with open(path) as f:
        return f.read()


class Tests(unittest.TestCase):
    """zel --test over a folder of script tests."""

    def run_line(self, folder, script, exec_words=()):
        """The comment that shows how to run a failed test by hand: each word
        as a shell reads it back."""
        words = (list(exec_words) or COMMAND[:-1]) + [os.path.realpath(COMMAND[-1]), "--leaks", "--fake-clock", "--",
                                                      script]
        quote = lambda w: w if re.fullmatch(r"[\w\-+=/.,:@%]+", w) else "'" + w.replace("'", "'\\''") + "'"
        line = "cd %s && %s" % (quote(folder), " ".join(quote(w) for w in words))
        self.assertEqual(shlex.split(line), ["cd", folder, "&&"] + words)
        return "# run: %s\n" % line

    def test_passes_failures_with_diffs_timeouts_in_order_and_junit(self):
        strange = "é€😀".encode() + b"\x01\xff\xc0\xaf\xed\xa0\x80\xef\xbf\xbe\xf4\x90\x80\x80\xc3(\t"
        with tempfile.TemporaryDirectory() as folder:
            write_files(folder, {
                "a_loop.zel": "while 1 do end\n",
                "labels.zel": "print \"0x00AbC 0xabc 0X0 0x000 1342177280 0001342177280 1610612736 1342177279 "
                              "12345678901234567890123 1342177280ab 0x 0xg1 x0x1 ab_0x1 é0x5 0x50000000\";\n",
                "labels.out": "@1 @1 @2 @2 @3 @3 1610612736 1342177279 12345678901234567890123 1342177280ab 0x "
                              "0xg1 x0x1 ab_0x1 é0x5 @3\n",
                "lib/helper.zel": "procedure greet (who); print \"hello\", who; end\n",
                "odd#\\\nname.zel": "",
                "pass.zel": "compile \"lib/helper.zel\";\ngreet (args);\n"
                            "l = T_DblLnk:new ();\nl:create ();\nl:dump ();\n"
                            "// zel: in the first line only\n",
                "pass.out": "hello []\ngenobj : <@1>, class : <T_DblLnk>\nob : <@2>\ntail : <@3>\n"
                            "  enter_keys : <0>, log_transactions : <0>\n",
                "sub/big.zel": "i = 0;\nwhile i < 2100 do print i; i = i + 1; end\n",
                "sub/big.out": "x\n" * 2100,
                "sub/broken.zel": "print 1;\nprint 2;\nprint 3;\nprint \"<a & \\\"b\\\">\";\n"
                                  "print 5;\nprint \"x\";\nprint 7;\nprint 8;\nprint 9;\n"
                                  "i = 10; while i < 20 do print i; i = i + 1; end print \"twenty\";\n",
                "sub/broken.out": "".join("%d\n" % i for i in range(1, 21)),
                "sub/fails.zel": "print \"before\";\nx = nosuch;\n",
                "sub/fails.out": "before\n",
                "sub/fails.err": "fails.zel:2: unknown variable nosuch\n",
                "sub/nonl.zel": "print 1;\n",
                "sub/nonl.out": "1\n2",
                "sub/status.zel": b"print \"" + strange + b"\";\n",
                "sub/status.out": strange + b"\n",
                "sub/status.err": "",
            })
            junit = os.path.join(folder, "report.xml")
            run = zel("--test", "--timeout", "1", "-j", "2", "--junit", junit, *EXEC, ".", cwd=folder)
            sub = os.path.join(folder, "sub")
            self.assertEqual(run.stdout,
                             "1..9\n"
                             "not ok 1 - a_loop\n# no end after 1 s\n" + self.run_line(folder, "a_loop.zel") +
                             "ok 2 - labels\n"
                             "ok 3 - odd\\#\\\\ name\n"
                             "ok 4 - pass\n"
                             "not ok 5 - sub/big\n"
                             "# standard output differs from big.out\n"
                             "# --- expected sub/big.out\n# +++ actual sub/big.out\n# @@ -1,2100 +1,2100 @@\n" +
                             "# -x\n" * 37 + "# ... 4163 more lines of the diff\n" + self.run_line(sub, "big.zel") +
                             "not ok 6 - sub/broken\n"
                             "# standard output differs from broken.out\n"
                             "# --- expected sub/broken.out\n"
                             "# +++ actual sub/broken.out\n"
                             "# @@ -1,9 +1,9 @@\n"
                             "#  1\n#  2\n#  3\n# -4\n# +<a & \"b\">\n#  5\n# -6\n# +x\n#  7\n#  8\n#  9\n"
                             "# @@ -17,4 +17,4 @@\n#  17\n#  18\n#  19\n# -20\n# +twenty\n" +
                             self.run_line(sub, "broken.zel") +
                             "ok 7 - sub/fails\n"
                             "not ok 8 - sub/nonl\n"
                             "# standard output differs from nonl.out\n"
                             "# --- expected sub/nonl.out\n# +++ actual sub/nonl.out\n# @@ -1,2 +1 @@\n"
                             "#  1\n# -2\n# \\ No newline at end of file\n" + self.run_line(sub, "nonl.zel") +
                             "not ok 9 - sub/status\n"
                             "# exit status 0, but status.err expects a failure\n" +
                             self.run_line(sub, "status.zel") +
                             "4 passed, 5 failed\n")
            self.assertEqual((run.returncode, run.stderr), (1, ""))
            suite = ElementTree.parse(junit).getroot().find("testsuite")
            self.assertEqual([(c.get("name"), c.find("failure") is not None) for c in suite.iter("testcase")],
                             [("a_loop", True), ("labels", False), ("odd#\\ name", False), ("pass", False),
                              ("sub/big", True), ("sub/broken", True), ("sub/fails", False), ("sub/nonl", True),
                              ("sub/status", True)])
            broken = suite.findall("testcase")[5]
            self.assertEqual(broken.find("failure").get("message"), "standard output differs from broken.out")
            self.assertIn("+<a & \"b\">\n", broken.find("failure").text)
            self.assertIn("<a & \"b\">", broken.find("system-out").text)
            # What XML cannot hold, or is not UTF-8, is U+FFFD.
            self.assertEqual(suite.findall("testcase")[8].find("system-out").text,
                             "é€😀" + "\ufffd" * 8 + "(\t\n")

    def test_runs_that_go_wrong_and_report_files_that_cannot_be_written(self):
        test = {"it's/t.zel": "print 1;\n", "it's/t.out": "1\n"}
        module = read_file(os.path.join(os.path.dirname(COMMAND[-1]), "scripts", "objkit.zel"))
        failed = "not ok 1 - it's/t%s\n%s{run}0 passed, 1 failed\n"
        no_out = "# standard output differs from t.out\n# --- expected it's/t.out\n# +++ actual it's/t.out\n" \
                 "# @@ -1 +0,0 @@\n# -1\n"
        not_run = (no_out + "# standard error differs from t.err\n# --- expected it's/t.err\n# +++ actual it's/t.err\n"
                   "# @@ -0,0 +1 @@\n# +zel --test: %s\n# exit status 127, and there is no t.err\n")
        rows = [
            ({}, ["--exec", "sh -c 'kill -KILL $$'"], None, 1,
             failed % ("", no_out + "# exit status 137 (a signal), and there is no t.err\n"), ""),
            ({"it's/t.zel": "s = \"x\"; i = 0; while i < 20 do s = s + s; i = i + 1; end while 1 do print s; end\n"},
             [], None, 1, failed % ("", "# wrote more than 64 MiB\n"), ""),
            ({"it's/t.zel": "print 1; x = nosuch;\n", "it's/t.out": None, "it's/t.err": None}, ["--update"], None, 1,
             failed % (" # updated", "# cannot write {folder}/it's/t.out: Is a directory\n"
                                     "# cannot write {folder}/it's/t.err: Is a directory\n"), ""),
            ({"it's/t.zel": "compile \"WQ_ZEL:hello\";\n", "it's/t.out": "hello\n", "mods/objkit.zel": module,
              "mods/hello.zel": "print \"hello\";\n"}, ["--path", "mods"], None, 0,
             "ok 1 - it's/t\n1 passed, 0 failed\n", ""),
            ({}, ["--junit", "/dev/full"], None, 1, "ok 1 - it's/t\n1 passed, 0 failed\n",
             "zel: --junit /dev/full: cannot write the report\n"),
        ]
        if not EXEC:
            # Under qemu-user a spawn that cannot run its program still
            # starts a child, which ends with status 127 and says nothing.
            rows.append(({}, ["--exec", "/nonexistent/runner"], None, 1,
                         failed % ("", not_run % "cannot run /nonexistent/runner in {folder}/it's: "
                                                 "No such file or directory"), ""))
            # Room for zel's own pipe of signals and one of a test's two
            # pipes, not both (and, those closed, for the sanitizers' checks).
            rows.append(({}, [], 8, 1, failed % ("", not_run % "cannot make a pipe: Too many open files"), ""))
        for files, options, open_files, status, stdout, stderr in rows:
            with self.subTest(options=options, files=list(files)), tempfile.TemporaryDirectory() as folder:
                write_files(folder, dict(test, **files))
                limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))
                exec_words = shlex.split(options[1]) if options[:1] == ["--exec"] else ()
                run = subprocess.run(COMMAND + ["--test"] + options + ([] if exec_words else EXEC) + ["it's"],
                                     cwd=folder, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                     timeout=TIMEOUT, preexec_fn=limit if open_files else None)
                expected = "1..1\n" + stdout.format(folder=folder, run=self.run_line(
                    os.path.join(folder, "it's"), "t.zel", exec_words))
                self.assertEqual((run.returncode, run.stdout, run.stderr), (status, expected, stderr))

    def test_update_writes_the_expected_files_and_they_then_pass(self):
        with tempfile.TemporaryDirectory() as folder:
            write_files(folder, {
                "fresh.zel": "print \"fresh\";\n",
                "fresh.err": "stale\n",
                "fails.zel": "x = nosuch;\n",
                "same.zel": "print 1;\n",
                "same.out": "1\n",
            })
            run = zel("--test", "--update", *EXEC, folder, folder + "/same.zel")
            self.assertEqual((run.returncode, run.stdout),
                             (0, "1..3\n"
                                 "ok 1 - %s/fails # updated\n"
                                 "ok 2 - %s/fresh # updated\n"
                                 "ok 3 - %s/same\n"
                                 "3 passed, 0 failed\n" % (folder, folder, folder)))
            self.assertEqual(sorted(os.listdir(folder)),
                             ["fails.err", "fails.out", "fails.zel", "fresh.out", "fresh.zel", "same.out", "same.zel"])
            self.assertEqual((read_file(os.path.join(folder, "fresh.out")), read_file(os.path.join(folder, "fails.err"))),
                             ("fresh\n", "fails.zel:1: unknown variable nosuch\n"))
            run = zel("--test", *EXEC, folder)
            self.assertEqual((run.returncode, run.stdout.splitlines()[-1]), (0, "3 passed, 0 failed"))

    def test_paths_that_hold_no_tests_and_report_files_that_cannot_be_made_are_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            write_files(folder, {"lib/helper.zel": "", "notes.txt": "", ".zel": "", "lib/loop": None})
            os.symlink("loop.zel", os.path.join(folder, "lib", "loop", "loop.zel"))
            for args, message in (([folder], "--test: no NAME.zel script under the paths given"),
                                  ([folder + "/notes.txt"], "--test: %s/notes.txt is not a .zel script or a folder"),
                                  ([folder + "/none"], "--test: %s/none: No such file or directory"),
                                  ([folder + "/lib/loop"],
                                   "--test: cannot search %s/lib/loop/loop.zel: Too many levels of symbolic links"),
                                  (["--junit", folder + "/none/r.xml", folder + "/lib/helper.zel"],
                                   "--junit %s/none/r.xml: No such file or directory")):
                with self.subTest(args=args):
                    run = zel("--test", *args)
                    self.assertEqual((run.returncode, run.stdout, run.stderr),
                                     (2, "", "zel: %s\n" % message.replace("%s", folder)))


class TestingGuide(unittest.TestCase):
    """docs/testing.md: the files it shows (each ```zel block after a comment
    <!-- file: PATH -->) and its shell sessions (indented blocks of "$ "
    commands and their output), which run in order in a folder that stands
    for /home/ann/shop, with zel on the PATH for /opt/objkit/bin/zel."""

    GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "testing.md")

    def test_the_sessions_of_the_guide_give_what_it_shows(self):
        # Natively only: the sessions run zel --test without --exec.
        if EXEC:
            self.skipTest("zel runs under an emulator")
        with open(self.GUIDE) as f:
            lines = f.read().splitlines()
        with tempfile.TemporaryDirectory() as folder:
            shop, bin_folder = os.path.join(folder, "shop"), os.path.join(folder, "bin")
            os.mkdir(bin_folder)
            os.symlink(COMMAND[-1], os.path.join(bin_folder, "zel"))
            environment = dict(os.environ, PATH=bin_folder + os.pathsep + os.environ["PATH"])
            sessions = 0
            for n, line in enumerate(lines):
                if line.startswith("<!-- file: "):
                    end = lines.index("```", n + 2)
                    write_files(shop, {line[len("<!-- file: "):-len(" -->")]: "\n".join(lines[n + 2:end]) + "\n"})
                elif line.startswith("    $ ") and not lines[n - 1].startswith("    "):
                    sessions += 1
                    block = []
                    for text in lines[n:]:
                        if not text.startswith("    "):
                            break
                        block.append(text[4:])
                    seen = []
                    for text in block:
                        if text.startswith("$ "):
                            seen.append(text)
                            run = subprocess.run(text[2:], shell=True, cwd=shop, env=environment, text=True,
                                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
                            seen += run.stdout.replace(shop, "/home/ann/shop").replace(
                                os.path.realpath(COMMAND[-1]), "/opt/objkit/bin/zel").splitlines()
                    self.assertEqual(seen, block, "the session at docs/testing.md:%d" % (n + 1))
            self.assertEqual(sessions, 3)


class FirstLine(unittest.TestCase):
    """A script's first line // zel: OPTIONS [-- ARGS]."""

    def test_it_gives_options_and_args_that_the_command_line_overrides(self):
        with tempfile.TemporaryDirectory() as folder:
            write_files(folder, {"timed.zel": "  //zel: --fake-clock --profile step -- a \"b c\"\n"
                                              "procedure step (); advance_clock (1); end\n"
                                              "procedure other (); advance_clock (2); end\n"
                                              "t = T_Timer:new (); T_Timer:setcurrent (t);\n"
                                              "step (); other ();\n"
                                              "print args, t:Value (); T_Timer:setcurrent (nil);\n"})
            for options, args, out in (([], [], "[a, b c] 1.0\n"),
                                       ([], ["x"], "[x] 1.0\n"),
                                       (["--profile", "other"], [], "[a, b c] 2.0\n")):
                with self.subTest(options=options, args=args):
                    run = zel(*options, "timed.zel", *args, cwd=folder)
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (0, out, ""))

    def test_its_words_split_as_a_shell_splits_them_and_a_bad_line_stops_zel_with_status_2(self):
        with tempfile.TemporaryDirectory() as folder:
            for first, status, out, message in (
                    ("// zel: -- a\\ b 'c d' \"e \\\"f\\\" \\\\g \\h\" i\\", 0, '[a b, c d, e "f" \\g \\h, i]\n', ""),
                    ("\ufeff // zel: -- bom", 0, "[bom]\n", ""),
                    ("// zel: --test", 2, "", "the // zel: line: cannot set --test (the args come after --)"),
                    ("// zel: --fake-clock first", 2, "", "the // zel: line: cannot set first (the args come after --)"),
                    ("// zel: --profile", 2, "", "the // zel: line: --profile needs a value"),
                    ("// zel: -- 'open", 2, "", "the // zel: line has an unclosed quote"),
                    ('// zel: -- "open\\', 2, "", "the // zel: line has an unclosed quote")):
                with self.subTest(first=first):
                    write_files(folder, {"line.zel": first + "\nprint args;\n"})
                    run = zel("line.zel", cwd=folder)
                    self.assertEqual((run.returncode, run.stdout, run.stderr),
                                     (status, out, message and "line.zel:1: %s\n" % message))


class Prompt(unittest.TestCase):
    """zel on a terminal: each entry runs once complete; an open procedure,
    if or while continues after "...> "."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.history = os.path.join(self.folder.name, "history")
        self.fd, self.pid, self.plain = None, 0, False  # the last zel's terminal, process, no libedit
        self.start()

    def start(self, environment=None):
        """Runs zel on a new terminal, its history in self.history unless
        `environment` is given, once the zel before has ended."""
        if self.fd is not None:
            os.close(self.fd)
        if self.pid:
            os.waitpid(self.pid, 0)
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execvpe(COMMAND[0], COMMAND + ["--leaks"], environment or dict(os.environ, ZEL_HISTORY=self.history))
            finally:
                os._exit(127)
        self.seen = ""

    def tearDown(self):
        os.close(self.fd)
        self.folder.cleanup()

    def until(self, text):
        """Reads the terminal until `text` has appeared; returns what came."""
        while text not in self.seen:
            ready, _, _ = select.select([self.fd], [], [], TIMEOUT)
            self.assertTrue(ready, "no %r after %r" % (text, self.seen))
            try:
                data = os.read(self.fd, 4096)
            except OSError:
                data = b""
            self.assertTrue(data, "zel ended before %r: %r" % (text, self.seen))
            self.seen += data.decode("utf-8", "replace").replace("\r\n", "\n")
        cut = self.seen.index(text) + len(text)
        got, self.seen = self.seen[:cut], self.seen[cut:]
        return got

    def enter(self, line, prompt):
        """Enters a line; what came up to `prompt`, without the line's echo
        (the terminal's own echo may come on top of the prompt's)."""
        os.write(self.fd, line.encode() + b"\n")
        return "".join(l for l in self.until(prompt).splitlines(True) if l != line + "\n")

    def editing(self):
        """Waits until the line editor has the terminal in its own mode: a
        Ctrl-D typed before is taken by the terminal's line rules, and the
        editor then never sees the end of input."""
        deadline = time.monotonic() + TIMEOUT
        while EDITING and not self.plain and termios.tcgetattr(self.fd)[3] & termios.ICANON:
            self.assertLess(time.monotonic(), deadline, "the editor never took the terminal")

    def leave(self):
        """Ends the input; zel's exit status once all it wrote is read."""
        self.editing()
        os.write(self.fd, b"\x04")
        while select.select([self.fd], [], [], TIMEOUT)[0]:
            try:
                data = os.read(self.fd, 4096)
            except OSError:
                break
            if not data:
                break
            self.seen += data.decode("utf-8", "replace")
        _, status = os.waitpid(self.pid, 0)
        self.pid = 0
        return os.waitstatus_to_exitcode(status)

    def type(self, keys, text):
        """Types keys once the editor has the terminal; what came up to text."""
        self.editing()
        os.write(self.fd, keys.encode())
        return self.until(text)

    def test_entries_continue_until_complete_errors_carry_on_and_the_end_drops_an_open_one(self):
        self.assertEqual(self.until("zel> "), BANNER + "zel> ")
        for line, shown in (("procedure twice (n);", "...> "), ("  if n > 0 then", "...> "),
                            ("return n * 2; end", "...> "), ("end", "zel> "),
                            ("print twice (21); print 1;", "42\n1\nzel> "), ("while 0 do", "...> "),
                            ("end print 2", "2\nzel> "), ("x = 3; print y;", "<prompt>:1: unknown variable y\nzel> "),
                            ("print x,", "...> "), (" x + 1;", "3 4\nzel> "), ("if 1 then print 9 * 9;", "...> ")):
            self.assertEqual(self.enter(line, shown[-5:]), shown)
        self.assertEqual(self.leave(), 0)
        self.assertNotIn("81", self.seen)

    def test_the_value_of_a_last_bare_expression_is_shown(self):
        self.until("zel> ")
        for entry, shown in (("1 + 2;", "3\n"), ("x = 5;", ""), ("x;", "5\n"), ('"text"', "text\n"),
                             ("procedure twice (n); return n * 2; end", ""),
                             ("print 1; twice (x)", "1\n10\n"), ("twice (1); if 1 then end", ""),
                             ("procedure none (); end none ();", ""), ("nil;", ""),
                             ('zel$object:subclass "Pair"; Pair:new ();', "<Pair>\n")):
            with self.subTest(entry=entry):
                self.assertEqual(self.enter(entry, "zel> "), shown + "zel> ")
        if EDITING:
            # The editor takes bytes that are no character in the C locale for none.
            self.assertEqual(self.enter('"a\xffb";', "zel> "), '"ab";\nab\nzel> ')
        self.assertEqual(self.leave(), 0)

    def test_tab_completes_names_and_the_methods_of_a_receiver(self):
        if not EDITING:
            self.skipTest("no line editor")
        self.until("zel> ")
        self.enter("queue_one = T_DblLnk:new (); queue_one:create (); queue_two = 2;", "zel> ")
        self.enter('zel$object:subclass "Base";', "zel> ")
        self.enter('procedure Base:speak (); return 7; end Base:subclass "Kid"; kid = Kid:new ();', "zel> ")
        self.assertIn("\n<class T_DblLnk>\n", self.type("T_DblL\t;\n", "zel> "))
        self.assertIn("\n0\n", self.type("queue_o\t:Use\t ();\n", "zel> "))
        self.assertIn("\n7\n", self.type("print kid:sp\t ();\n", "zel> "))
        self.type("queue_\t", "\nqueue_one  queue_two\n")
        self.type("\x15Kid:s\t", "\nspeak  subclass\n")
        # No name fits, or no receiver before the colon: a beep.
        for keys in ("\x15zzq\t", "\x15:s\t"):
            self.assertIn("\a", self.type(keys, "\a"))
        # A whole name is left as it is; one typed in another case is spelt
        # as defined.
        got = self.type("\x15QUEUE_ONE\t:Used\t ();\n", "zel> ")
        self.assertIn("queue_one:Used", got)
        self.assertIn("\n0\n", got)
        self.assertNotIn("\nUsed\n", got)
        os.write(self.fd, b"\x15")
        self.assertEqual(self.leave(), 0)

    def test_the_history_is_kept_between_runs(self):
        if not EDITING:
            self.skipTest("no line editor")
        # In ~/.zel_history when ZEL_HISTORY is not set; an empty file is an
        # empty history.
        self.history = os.path.join(self.folder.name, ".zel_history")
        write_files(self.folder.name, {".zel_history": ""})
        self.start({k: v for k, v in os.environ.items() if k != "ZEL_HISTORY"} | {"HOME": self.folder.name})
        self.assertEqual(self.until("zel> "), BANNER + "zel> ")
        self.enter("print 6 * 7;", "zel> ")
        self.enter("  ", "zel> ")  # blank: not kept
        self.assertEqual(self.leave(), 0)
        self.start()
        self.until("zel> ")
        self.assertIn("\n42\n", self.type("\x1b[A\n", "zel> "))
        self.assertEqual(self.leave(), 0)

    def test_a_history_file_that_cannot_be_used_is_one_warning(self):
        folder = self.folder.name
        write_files(folder, {"junk": "not a history\n"})
        for history, at_start, at_first in (
                (folder + "/missing/history", "", "not saved: cannot write %s: No such file or directory"),
                (folder, "not loaded or saved: cannot read %s: Is a directory", ""),
                (folder + "/junk/history", "not loaded or saved: cannot read %s: Not a directory", ""),
                (folder + "/junk", "not loaded or saved: %s is not a zel history file", "")):
            with self.subTest(history=history):
                self.history = history
                self.start()
                warning = lambda text: "zel: history %s\n" % text % history if text and EDITING else ""
                self.assertEqual(self.until("zel> "), BANNER + warning(at_start) + "zel> ")
                self.assertEqual(self.enter("1;", "zel> "), warning(at_first) + "1\nzel> ")
                self.assertEqual(self.enter("2;", "zel> "), "2\nzel> ")
                self.assertEqual(self.leave(), 0)

    def test_a_line_editor_that_cannot_be_loaded_leaves_plain_lines(self):
        if not EDITING:
            self.skipTest("no line editor")
        # In libedit's place no library, then one without its routines: plain lines, no history.
        self.plain = True
        for fake in (__file__, os.path.join(os.path.dirname(COMMAND[-1]), "objkit.so")):
            shutil.copy(fake, os.path.join(self.folder.name, EDITING))
            self.start(dict(os.environ, ZEL_HISTORY=self.history, LD_LIBRARY_PATH=self.folder.name))
            self.assertEqual(self.until("zel> "), BANNER + "zel> ")
            self.assertEqual(self.enter("print 6 * 7;", "zel> "), "42\nzel> ")
            self.assertEqual((self.leave(), os.path.exists(self.history)), (0, False))

    def test_the_banner_is_shown_on_a_terminal_only(self):
        terminal, line = os.openpty()
        os.write(terminal, b"print 1;\n\x04")
        run = subprocess.run(COMMAND, stdin=line, capture_output=True, text=True, timeout=TIMEOUT)
        os.close(line)
        os.close(terminal)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertNotIn("objkit", run.stdout)
        self.assertIn("1\n", run.stdout)

    def test_ctrl_c_abandons_the_entry_typed_or_stops_the_one_running(self):
        self.until("zel> ")
        # qemu-user restarts a read that Ctrl-C interrupts: natively only.
        if len(COMMAND) == 1:
            self.assertEqual(self.enter("x = (1 +", "...> "), "...> ")
            os.write(self.fd, b"\x03")
            self.until("zel> ")
            self.assertEqual(self.enter("print 41 + 1;", "zel> "), "42\nzel> ")
        os.write(self.fd, b'print "looping"; while 1 do end\n')
        self.until("looping\n")
        os.write(self.fd, b"\x03")
        self.assertIn("<prompt>:1: interrupted\n", self.until("zel> "))
        self.assertEqual(self.enter('print "alive";', "zel> "), "alive\nzel> ")
        self.assertEqual(self.leave(), 0)


if __name__ == "__main__":
    VERSION, COMMAND = sys.argv[1], sys.argv[3:] + [os.path.abspath(sys.argv[2])]
    BANNER = "zel %s (objkit): zel --help lists the options; Ctrl-D leaves\n" % VERSION
    EXEC = ["--exec", " ".join(sys.argv[3:])] if sys.argv[3:] else []
    unittest.main(argv=sys.argv[:1], verbosity=2)
