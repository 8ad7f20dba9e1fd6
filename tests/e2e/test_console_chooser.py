"""The real program choosing its files through the console chooser."""
import os
import pty
import select
import signal
import subprocess
import time
import unittest

from harness import (APPLY, BANNER, CANCELLED, COMPLETE, OPEN_FAILED, ProgramTest,
                     names_block, new_prompt, original_prompt)

ORIGINAL = b"hello world!"
NEW = b"helloXYZ"  # ORIGINAL through the ops below
OPS = ("copy:0:5", "insert:XYZ")
ASK_ORIGINAL = b'Select "a.dat"\nFile name [a.dat]: '
ASKED_BOTH = original_prompt(b"a.dat") + new_prompt(b"b.dat")
ASK_NEW = b'Where should the file "b.dat" be saved?\nFile name [b.dat]: '
CANCEL_SHOWN = CANCELLED.rstrip()  # a terminal ends its lines with CR LF


class ChooserTest(ProgramTest):
    """A patch for a.dat, the original a.dat and an empty folder sub."""

    def setUp(self):
        super().setUp()
        self.make_patch(b"a.dat", b"b.dat", ops=OPS)
        self.write("a.dat", ORIGINAL)
        os.mkdir(self.path("sub"))
        self.cwd = os.path.realpath(self.folder)


class ConsoleChooserTest(ChooserTest):
    def test_answers_are_cleaned_and_made_absolute(self):
        cwd = self.cwd.encode()
        cases = [  # (answers, where the new file goes)
            (b"a.dat\nb.dat\n", "b.dat"),
            (b"\n\n", "b.dat"),  # the pre-filled names
            (b"a.dat\r\nsub/../sub/b.dat\r\n", "sub/b.dat"),
            (b'"a.dat"\n  "' + cwd + b'/sub/new file"  \n', "sub/new file"),
            (b"'./a.dat'\n'sub/b b'\n", "sub/b b"),
            (cwd + b"/a.dat\n\t b.dat \n", "b.dat"),
            (b"a.dat\nb.dat", "b.dat"),  # the last line without its line end
        ]
        for answers, target in cases:
            with self.subTest(answers=answers):
                # An existing b.dat is replaced without a question.
                self.write("b.dat", b"an older and much longer new file")
                run = self.run_program(stdin=answers + b"\n")
                where = os.path.join(self.cwd, target).encode()
                self.assertEqual(run.stdout, BANNER + names_block(b"a.dat", b"b.dat") +
                                 ASKED_BOTH + b"saving to: " + where + b".\n" + COMPLETE)
                self.assertEqual(run.stderr, ASK_ORIGINAL + ASK_NEW)
                self.assertEqual(run.status, 1)
                self.assertEqual(run.pauses, [1000, 500, 1000])
                self.assertEqual(self.read(target), NEW)
                self.assertEqual(sorted(os.listdir(self.folder)),
                                 ["Amber Reaches update.dat", "a.dat", "b.dat", "sub"])
                os.remove(self.path(target))

    def test_retries_and_end_of_input(self):
        no_folder = b'The folder of "%s" does not exist, or the name is too long.\n'
        long_name = b"x" * 5000
        ask_a, ask_b = original_prompt(b"a.dat"), ASKED_BOTH
        cases = [  # (input, output after the names, chooser talk, pauses after start-up)
            (b"", ask_a, ASK_ORIGINAL, [500]),
            (b"missing.dat\n", ask_a + OPEN_FAILED, ASK_ORIGINAL * 2, [500, 2000]),
            (b"sub\nsub/\n", ask_a + OPEN_FAILED * 2, ASK_ORIGINAL * 3, [500, 2000, 2000]),
            (b"nosuch/a.dat\na.dat/x\n" + long_name + b"\n", ask_a,
             ASK_ORIGINAL + (no_folder % b"nosuch/a.dat") + ASK_ORIGINAL +
             (no_folder % b"a.dat/x") + ASK_ORIGINAL + (no_folder % long_name[:4095]) +
             ASK_ORIGINAL, [500]),
            (b"a.dat\0x\n", ask_a, ASK_ORIGINAL + (no_folder % b"a.datx") + ASK_ORIGINAL, [500]),
            (b"a.dat\n", ask_b, ASK_ORIGINAL + ASK_NEW, [500, 1000]),
            (b"a.dat\nsub\nAmber Reaches update.dat\nhard\n", ask_b + OPEN_FAILED * 3,
             ASK_ORIGINAL + ASK_NEW * 4, [500, 1000, 1000, 1000, 1000]),
        ]
        os.link(self.path("a.dat"), self.path("hard"))
        for stdin, said, talk, pauses in cases:
            with self.subTest(stdin=stdin[:40]):
                run = self.run_program(stdin=stdin)
                self.assertEqual(run.stdout, BANNER + names_block(b"a.dat", b"b.dat") + said)
                self.assertEqual(run.stderr, talk)
                self.assertEqual(run.status, 1)
                self.assertEqual(run.pauses, [1000] + pauses)
                self.assertEqual(sorted(os.listdir(self.folder)),
                                 ["Amber Reaches update.dat", "a.dat", "hard", "sub"])
                self.assertEqual(self.read("a.dat"), ORIGINAL)

    def test_control_characters_in_names_are_shown_escaped(self):
        self.make_patch(b"a\x1b[2J", b"b", ops=OPS)
        run = self.run_program()
        self.assertEqual(run.stderr, b'Select "a\\x1B[2J"\nFile name [a\\x1B[2J]: ')


class TerminalTest(ChooserTest):
    """The program on a pseudo-terminal, where Ctrl-D cancels instead of ending it."""

    def spawn(self, background=False):
        self.pid, self.master = pty.fork()
        self.seen = b""
        if self.pid == 0:
            try:
                os.chdir(self.folder)
                os.environ["QV_PAUSE_LOG"] = self.path(".pauses")
                for desktop in ("DISPLAY", "WAYLAND_DISPLAY"):
                    os.environ.pop(desktop, None)
                if background:
                    # A job in the background of its terminal cannot read it.
                    signal.signal(signal.SIGTTIN, signal.SIG_IGN)
                    child = os.fork()
                    if child != 0:
                        os._exit(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
                    os.setpgid(0, 0)
                os.execv(APPLY, [APPLY])
            finally:
                os._exit(127)

    def expect(self, text, count=1, timeout=10):
        """Reads the terminal until `text` has appeared `count` times in all."""
        end = time.time() + timeout
        while self.seen.count(text) < count:
            ready, _, _ = select.select([self.master], [], [], max(0, end - time.time()))
            self.assertTrue(ready, f"waiting for {text!r}; seen {self.seen[-300:]!r}")
            try:
                data = os.read(self.master, 65536)
            except OSError:
                data = b""
            self.assertTrue(data, f"ended before {text!r}; seen {self.seen[-300:]!r}")
            self.seen += data
            self.assertLess(len(self.seen), 100000, "the program talks without end")

    def finish(self, timeout=10):
        """The exit status, reading the terminal meanwhile; a program still running
        after `timeout` seconds is killed and fails the test."""
        end = time.time() + timeout
        while time.time() < end:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                os.close(self.master)
                return os.waitstatus_to_exitcode(status)
            if select.select([self.master], [], [], 0.1)[0]:
                try:
                    self.seen = (self.seen + os.read(self.master, 65536))[-100000:]
                except OSError:
                    pass
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        os.close(self.master)
        self.fail(f"still running; seen {self.seen[-300:]!r}")

    def test_ctrl_d_cancels_and_the_wait_really_waits(self):
        self.spawn()
        steps = [  # (what the program shows, how often by then, what the user types)
            (b"File name [a.dat]: ", 1, b"\x04"),
            (CANCEL_SHOWN, 1, b"\x04"),  # Ctrl-D at the wait: the chooser, not a cancel
            (b"File name [a.dat]: ", 2, b"a.dat\n"),
            (b"File name [b.dat]: ", 1, b"\x04"),
            (CANCEL_SHOWN, 2, b"\n"),
            (b"File name [b.dat]: ", 2, b"b.dat\x04\x04"),  # ended with Ctrl-D, not Enter
            (b"Patching complete.", 1, b"\n"),
        ]
        for shown, count, typed in steps:
            self.expect(shown, count)
            time.sleep(0.2)  # time enough to end, for a wait that does not wait
            self.assertEqual(os.waitpid(self.pid, os.WNOHANG), (0, 0), "ended without waiting")
            os.write(self.master, typed)
        self.assertEqual(self.finish(), 1)
        self.assertIn(b"b.dat\r\nsaving to: ", self.seen)
        self.assertEqual(self.seen.count(CANCEL_SHOWN), 2)
        self.assertEqual(self.read("b.dat"), NEW)
        self.assertEqual(self.read(".pauses").split(), [b"1000", b"500", b"1000"])

    def test_every_message_reaches_a_pipe_before_the_program_waits(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        with subprocess.Popen([APPLY], cwd=self.folder, env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as program:
            self.master, self.seen = program.stdout.fileno(), b""  # what expect() reads
            for shown, typed in ((original_prompt(b"a.dat"), b"a.dat\n"),
                                 (new_prompt(b"b.dat"), b"b.dat\n"), (COMPLETE, b"\n")):
                self.expect(shown)
                program.stdin.write(typed)
                program.stdin.flush()
        self.assertEqual(program.returncode, 1)

    def test_a_terminal_that_cannot_be_read_ends_the_program(self):
        self.spawn(background=True)
        self.expect(b"File name [a.dat]: ")
        self.assertEqual(self.finish(), 1)


if __name__ == "__main__":
    unittest.main()
