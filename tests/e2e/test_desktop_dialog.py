"""The desktop file dialog: a stand-in zenity that records its arguments and answers as
told, and one real zenity under Xvfb driven by xdotool."""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from harness import (APPLY, start_xvfb, BANNER, CANCELLED, COMPLETE, ProgramTest, names_block, new_prompt,
                     original_prompt)

# Answers, one line per showing: cancel, segv, exitN, or the path to print.
STAND_IN = r"""#!/bin/sh
PATH=/usr/bin:/bin
cd "$(dirname "$(readlink -f "$0")")"
n=$(ls | grep -c '^call-')
printf '%s\n' "$@" > "call-$n"
answer=$(sed -n "$((n + 1))p" answers)
case $answer in
  cancel) exit "$ZENITY_CANCEL" ;;
  segv) kill -SEGV $$ ;;
  exit*) exit "${answer#exit}" ;;
  *) printf '%s\n' "$answer" ;;
esac
"""
ORIGINAL = b"hello world"
OPS = ("copy:0:5", "insert:XY")
EXPECTED = b"helloXY"


def open_title(name):
    return 'Select "%s"' % name


def save_title(name):
    return 'Where should the file "%s" be saved?' % name


def console_prompt(title, name):
    return ("%s\nFile name [%s]: " % (title, name)).encode()


class DialogTest(ProgramTest):
    def setUp(self):
        super().setUp()
        bin_dir = tempfile.TemporaryDirectory(prefix="qv-zenity-")
        self.addCleanup(bin_dir.cleanup)
        self.bin = bin_dir.name
        with open(os.path.join(self.bin, "zenity"), "w") as f:
            f.write(STAND_IN)
        os.chmod(os.path.join(self.bin, "zenity"), 0o755)

    def run_with_dialog(self, answers, stdin, path=None, display=":99"):
        for name in os.listdir(self.bin):
            if name.startswith("call-"):
                os.remove(os.path.join(self.bin, name))
        with open(os.path.join(self.bin, "answers"), "w") as f:
            f.write("".join(a + "\n" for a in answers))
        # The harness drops DISPLAY so that other tests get the console; env sets it back.
        return self.run_program(stdin=stdin, program=shutil.which("env"),
                                args=("PATH=" + (path or self.bin), "DISPLAY=" + display, APPLY))

    def calls(self):
        count = len([n for n in os.listdir(self.bin) if n.startswith("call-")])
        calls = []
        for i in range(count):
            with open(os.path.join(self.bin, "call-%d" % i)) as f:
                calls.append(f.read().splitlines())
        return calls

    def dialog_args(self, title, name, save=False):
        return (["--file-selection", "--title=" + title, "--filename=" + self.path(name)] +
                (["--save"] if save else []))

    def test_arguments_cancels_and_crash(self):
        self.write("a.dat", ORIGINAL)
        self.make_patch("a.dat", "b.dat", "", OPS)
        # Open: cancel, then a.dat. Save: a path too long to hold (a cancel), then a crash,
        # whose console fall-back reads c.dat. Each cancel's wait eats one of "x", "y".
        run = self.run_with_dialog(["cancel", self.path("a.dat"), "/" + "x" * 2100, "segv"],
                                   b"xyc.dat\n\n")
        self.assertEqual(run.stdout, BANNER + names_block(b"a.dat", b"b.dat") +
                         original_prompt(b"a.dat") + CANCELLED + new_prompt(b"b.dat") +
                         CANCELLED + b"saving to: " + self.path("c.dat").encode() + b".\n" +
                         COMPLETE)
        self.assertEqual(run.file("c.dat"), EXPECTED)
        self.assertEqual(run.pauses, [1000, 500, 1000])
        self.assertEqual(run.stderr, console_prompt(save_title("b.dat"), "b.dat"))
        opening = self.dialog_args(open_title("a.dat"), "a.dat")
        saving = self.dialog_args(save_title("b.dat"), "b.dat", save=True)
        self.assertEqual(self.calls(), [opening, opening, saving, saving])

    def test_kdialog_where_zenity_is_missing(self):
        self.write("a.dat", ORIGINAL)
        self.make_patch("a.dat", "b.dat", "", OPS)
        kdialog_only = os.path.join(self.bin, "kdialog-only")
        os.mkdir(kdialog_only)
        os.symlink(os.path.join(self.bin, "zenity"), os.path.join(kdialog_only, "kdialog"))
        run = self.run_with_dialog(["exit1", self.path("a.dat"), self.path("c.dat")], b"\n\n",
                                   path=kdialog_only)
        self.assertEqual(run.file("c.dat"), EXPECTED)
        self.assertEqual(run.stdout.count(CANCELLED), 1)
        opening = ["--getopenfilename", self.path("a.dat"), "--title", open_title("a.dat")]
        self.assertEqual(self.calls(), [opening, opening, ["--getsavefilename", self.path("b.dat"),
                                                           "--title", save_title("b.dat")]])

    def test_failures_fall_back_to_the_console(self):
        self.write("a.dat", ORIGINAL)
        self.make_patch("a.dat", "b.dat", "", OPS)
        empty = os.path.join(self.bin, "empty")
        os.mkdir(empty)
        cases = [  # label, answer, PATH, DISPLAY, dialogs shown
            ("no display (zenity's own status 1)", "exit1", None, ":99", 2),
            ("other exit status", "exit5", None, ":99", 2),
            ("empty answer", "", None, ":99", 2),
            ("no dialog program on PATH", "", empty, ":99", 0),
            ("no desktop session", "", None, "", 0),
        ]
        for label, answer, path, display, shown in cases:
            with self.subTest(label):
                run = self.run_with_dialog([answer, answer], b"a.dat\nc.dat\n\n", path, display)
                self.assertEqual(run.file("c.dat"), EXPECTED)
                self.assertTrue(run.stdout.endswith(COMPLETE), run.stdout)
                self.assertEqual(run.stderr, console_prompt(open_title("a.dat"), "a.dat") +
                                 console_prompt(save_title("b.dat"), "b.dat"))
                self.assertEqual(len(self.calls()), shown)

    def test_shell_metacharacters_reach_the_dialog_unchanged(self):
        original = "a $(touch x) `touch y`; touch z & 'q *.dat"
        new = "b; touch w $HOME `id` > v.dat"
        self.write(original, ORIGINAL)
        self.make_patch(original, new, "", OPS)
        run = self.run_with_dialog([self.path(original), self.path("out.dat")], b"\n")
        self.assertEqual(run.file("out.dat"), EXPECTED)
        self.assertEqual(self.calls(), [self.dialog_args(open_title(original), original),
                                        self.dialog_args(save_title(new), new, save=True)])
        self.assertEqual(sorted(os.listdir(self.folder)),
                         sorted([original, "out.dat", "Amber Reaches update.dat"]))
        self.assertEqual(sorted(os.listdir(self.bin)), ["answers", "call-0", "call-1", "zenity"])


class RealZenityTest(ProgramTest):
    """Accepts the pre-filled names of both real dialogs with Return."""

    def setUp(self):
        super().setUp()
        missing = [p for p in ("zenity", "Xvfb", "xdotool") if shutil.which(p) is None]
        if missing:
            self.skipTest("needs %s (scripts/test installs them)" % ", ".join(missing))
        self.display = self.start_xvfb()

    def start_xvfb(self):
        xvfb, display = start_xvfb("1024x768x24")
        self.addCleanup(self.stop, xvfb)
        return display

    def stop(self, process):
        process.terminate()  # lets Xvfb remove its lock and socket
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)

    def xdotool(self, *args, timeout=10):
        return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                              env=dict(os.environ, DISPLAY=self.display), timeout=timeout)

    def accept(self, title, shown):
        """Waits for the window named `title`, then presses Return until it is gone."""
        found = self.xdotool("search", "--sync", "--onlyvisible", "--name", title, timeout=30)
        window = found.stdout.split()[0] if found.stdout else ""
        shown.append((title, bool(window)))
        for _ in range(40):
            if not window or self.xdotool("search", "--onlyvisible", "--name", title).returncode:
                return
            self.xdotool("windowfocus", "--sync", window)
            self.xdotool("key", "Return")
            time.sleep(0.5)

    def drive(self, shown):
        for title in (open_title("a.dat"), save_title("b.dat")):
            try:
                self.accept(title, shown)
            except subprocess.TimeoutExpired:
                shown.append((title, False))

    def test_pre_filled_names_accepted_with_return(self):
        self.write("a.dat", ORIGINAL)
        self.write("b.dat", b"to be replaced without a question")
        self.make_patch("a.dat", "b.dat", "", OPS)
        home = tempfile.TemporaryDirectory(prefix="qv-home-")
        self.addCleanup(home.cleanup)
        shown = []
        driver = threading.Thread(target=self.drive, args=(shown,), daemon=True)
        started = time.monotonic()
        driver.start()
        run = self.run_program(stdin=b"\n", program=shutil.which("env"), timeout=120,
                               args=("DISPLAY=" + self.display, "HOME=" + home.name,
                                     "GSETTINGS_BACKEND=memory", "NO_AT_BRIDGE=1", APPLY))
        elapsed = time.monotonic() - started
        driver.join(timeout=30)
        sys.stderr.write("real zenity run: %.2f s\n" % elapsed)
        self.assertEqual(run.stderr, b"")
        self.assertEqual(shown, [(open_title("a.dat"), True), (save_title("b.dat"), True)])
        self.assertEqual(run.stderr, b"")
        self.assertTrue(run.stdout.endswith(b"saving to: " + self.path("b.dat").encode() +
                                            b".\n" + COMPLETE), run.stdout)
        self.assertEqual(run.file("b.dat"), EXPECTED)


if __name__ == "__main__":
    unittest.main()
