#!/usr/bin/env python3
"""The zel program's command line and prompt.

usage: zel_cli_test.py VERSION ZEL [EMULATOR...]
"""
import os
import pty
import select
import subprocess
import sys
import tempfile
import termios
import time
import unittest

VERSION = ""
COMMAND = []  # [EMULATOR...] ZEL
BANNER = ""  # what zel writes as the prompt opens
TIMEOUT = 60  # seconds without output before a prompt test gives up
EDITING = os.environ.get("ZEL_CLI_EDITING") == "1"  # zel reads with libedit


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
        for args, message in ((["--bogus"], "unknown option --bogus"),
                              (["-x", "script.zel"], "unknown option -x"),
                              (["--path"], "--path needs a value"),
                              (["--leaks", "-e"], "-e needs a value")):
            with self.subTest(args=args):
                run = zel(*args)
                self.assertEqual((run.returncode, run.stdout), (2, ""))
                self.assertEqual(run.stderr, "zel: %s\n%s" % (message, usage))

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
            for path, problem in (("/nonexistent/zel", "no such folder"), (file.name, "not a folder")):
                with self.subTest(path=path):
                    run = zel("--path", path, "-e", "print 1;")
                    self.assertEqual((run.returncode, run.stdout, run.stderr),
                                     (2, "", "zel: --path %s: %s\n" % (path, problem)))


class Prompt(unittest.TestCase):
    """zel on a terminal: each entry runs once complete; an open procedure,
    if or while continues after "...> "."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.history = os.path.join(self.folder.name, "history")
        self.start()

    def start(self):
        """Runs zel on a new terminal, its history in self.history."""
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execvpe(COMMAND[0], COMMAND + ["--leaks"], dict(os.environ, ZEL_HISTORY=self.history))
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
        while EDITING and termios.tcgetattr(self.fd)[3] & termios.ICANON:
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
        return os.waitstatus_to_exitcode(status)

    def type(self, keys, text):
        """Types keys once the editor has the terminal; what came up to text."""
        self.editing()
        os.write(self.fd, keys.encode())
        return self.until(text)

    def test_entries_continue_until_complete(self):
        self.assertEqual(self.until("zel> "), BANNER + "zel> ")
        self.assertEqual(self.enter("procedure twice (n);", "...> "), "...> ")
        self.assertEqual(self.enter("  if n > 0 then", "...> "), "...> ")
        self.assertEqual(self.enter("return n * 2; end", "...> "), "...> ")
        self.assertEqual(self.enter("end", "zel> "), "zel> ")
        self.assertEqual(self.enter("print twice (21); print 1;", "zel> "), "42\n1\nzel> ")
        self.assertEqual(self.enter("while 0 do", "...> "), "...> ")
        self.assertEqual(self.enter("end print 2", "zel> "), "2\nzel> ")
        self.assertEqual(self.leave(), 0)

    def test_errors_carry_on_and_end_of_input_drops_an_open_entry(self):
        self.until("zel> ")
        self.assertEqual(self.enter("print 1;", "zel> "), "1\nzel> ")
        self.assertEqual(self.enter("x = 3; print y;", "zel> "), "<prompt>:1: unknown variable y\nzel> ")
        self.assertEqual(self.enter("print x,", "...> "), "...> ")
        self.assertEqual(self.enter(" x + 1;", "zel> "), "3 4\nzel> ")
        self.assertEqual(self.enter("if 1 then print 9 * 9;", "...> "), "...> ")
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
        self.assertIn("\n7\n", self.type("kid:sp\t ();\n", "zel> "))
        self.type("queue_\t", "\nqueue_one  queue_two\n")
        self.type("\x15Kid:s\t", "\nspeak  subclass\n")
        os.write(self.fd, b"\x15")
        self.assertEqual(self.leave(), 0)

    def test_the_history_is_kept_between_runs(self):
        if not EDITING:
            self.skipTest("no line editor")
        self.until("zel> ")
        self.enter("print 6 * 7;", "zel> ")
        self.assertEqual(self.leave(), 0)
        os.close(self.fd)
        self.start()
        self.until("zel> ")
        self.assertIn("\n42\n", self.type("\x1b[A\n", "zel> "))
        self.assertEqual(self.leave(), 0)

    def test_a_history_file_that_cannot_be_written_is_one_warning(self):
        self.history = os.path.join(self.folder.name, "missing", "history")
        os.close(self.fd)
        os.waitpid(self.pid, 0)
        self.start()
        self.until("zel> ")
        warning = "zel: history not saved: cannot write %s: No such file or directory\n" % self.history
        self.assertEqual(self.enter("1;", "zel> "), (warning if EDITING else "") + "1\nzel> ")
        self.assertEqual(self.enter("2;", "zel> "), "2\nzel> ")
        self.assertEqual(self.leave(), 0)

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
    unittest.main(argv=sys.argv[:1], verbosity=2)
