"""The Windows build under Wine on a private X display, its real open and save dialogs
driven with keystrokes as a player would drive them.

Needs QV_WINDOWS_EXE (the .exe), QV_HOLD_FILE (hold-file.exe), QV_MAKE_PATCH (the Linux
patch writer CLI), and Wine, Xvfb and xdotool on PATH; exits with status 77 (skipped)
without them. QV_WINEPREFIX=DIR keeps the Wine prefix in DIR between runs, which saves
the first boot.
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import (start_xvfb, BANNER, CANCELLED, COMPLETE, OPEN_FAILED, PATCH_NAME,  # noqa: E402
                     WRONG_ORIGINAL, ProgramTest, names_block, new_prompt, original_prompt)

EXE = os.environ.get("QV_WINDOWS_EXE", "")
HOLD_FILE = os.environ.get("QV_HOLD_FILE", "")
MAKE_PATCH = os.environ.get("QV_MAKE_PATCH", "")  # what ProgramTest.make_patch runs
STEP_TIMEOUT = 30  # seconds for any one wait: a window, a file, the program's exit
BOOT_TIMEOUT = 240

OPEN_TITLE = 'Select "a.dat"'
SAVE_TITLE = 'Where should the file "b.dat" be saved?'
# Every byte value, so text-mode reads or writes would show; the insert has CR, LF, ^Z.
ORIGINAL = bytes(range(256)) * 8
OPS = ("copy:10:20", "insert:x\r\ny\n\x1az", "copy:0x1a0:300", "copy:2040:8")
EXPECTED = ORIGINAL[10:30] + b"x\r\ny\n\x1az" + ORIGINAL[0x1A0:0x1A0 + 300] + ORIGINAL[2040:]


ENTER = b"\r\n"  # what a console's line of input ends with; text mode makes it one "\n"


def crlf(text):
    return text.replace(b"\n", b"\r\n")


def ere_quote(text):
    """`text` as a POSIX extended regular expression that matches only itself."""
    return "".join("\\" + c if c in "[]\\.*^$+?(){}|" else c for c in text)


class Session:
    """Xvfb and a booted Wine prefix, shared by all tests and always taken down."""

    def __init__(self):
        self.scratch = tempfile.mkdtemp(prefix="qv-wine-")
        self.xvfb = None
        self.prefix = os.environ.get("QV_WINEPREFIX") or os.path.join(self.scratch, "prefix")
        self.env = None

    def start(self):
        self.env = dict(os.environ, DISPLAY=self.start_xvfb(), WINEPREFIX=self.prefix,
                        WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.setdefault("HOME", self.scratch)
        self.env.pop("WAYLAND_DISPLAY", None)
        started = time.monotonic()
        # A new prefix needs the full first-start setup; wineserver -w waits until every
        # window and process of it has gone, so no stray window meets the first test.
        fresh = not os.path.exists(os.path.join(self.prefix, "system.reg"))
        subprocess.run(["wineboot"] + (["-u"] if fresh else []), env=self.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=BOOT_TIMEOUT, check=True)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=BOOT_TIMEOUT, check=True)
        sys.stderr.write("wineboot%s: %.1f s\n" % (" -u" if fresh else "",
                                                    time.monotonic() - started))

    def start_xvfb(self):
        self.xvfb, display = start_xvfb(timeout=STEP_TIMEOUT)
        return display

    def stop(self):
        if self.env is not None:
            for args in (["wineserver", "-k"], ["wineserver", "-w"]):
                try:
                    subprocess.run(args, env=self.env, timeout=STEP_TIMEOUT,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                except subprocess.TimeoutExpired:
                    pass
            self.remove_server_folder()
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def remove_server_folder(self):
        # Debian's wineserver names its socket folder in the prefix and never removes it.
        try:
            with open(os.path.join(self.prefix, "wineserver")) as f:
                name = "".join(c for c in f.read() if c.isalnum() or c == "-")
        except OSError:
            return
        if name.startswith("wine-"):
            shutil.rmtree(os.path.join(tempfile.gettempdir(), name), ignore_errors=True)


session = None


def setUpModule():
    global session
    missing = [tool for tool in ("wine", "wineboot", "wineserver", "Xvfb", "xdotool")
               if shutil.which(tool) is None]
    if missing:
        raise unittest.SkipTest("Wine dialog tests need " + ", ".join(missing))
    for name, path in (("QV_WINDOWS_EXE", EXE), ("QV_HOLD_FILE", HOLD_FILE),
                       ("QV_MAKE_PATCH", MAKE_PATCH)):
        if not os.path.isfile(path):
            raise RuntimeError("%s names no file: %r (build the linux preset for make-patch, "
                               "or configure with -DQV_MAKE_PATCH=PATH)" % (name, path))
    session = Session()
    unittest.addModuleCleanup(session.stop)
    session.start()


class DialogRunTest(ProgramTest):
    def setUp(self):
        # ProgramTest's file helpers, without its Linux program.
        self.folder = tempfile.mkdtemp(prefix="run-", dir=session.scratch)
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.write("a.dat", ORIGINAL)
        self.answered = set()  # dialogs that are closing; a retry has the same title
        self.started = time.monotonic()

    def tearDown(self):
        sys.stderr.write("%.1f s " % (time.monotonic() - self.started))

    # ---- the program

    def start(self, size_field="2048|", ops=OPS):
        self.make_patch("a.dat", "b.dat", size_field, ops)
        self.stdout = tempfile.TemporaryFile()
        self.addCleanup(self.stdout.close)
        self.program = self.spawn(EXE, stdout=self.stdout)

    def spawn(self, exe, *args, stdout):
        """Starts a Windows program in the scratch folder, its input a pipe of ours."""
        process = subprocess.Popen(["wine", exe, *args], cwd=self.folder, env=session.env,
                                   stdin=subprocess.PIPE, stdout=stdout,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop, process)
        return process

    def stop(self, process):
        if process.poll() is None:
            process.kill()
            process.wait(timeout=STEP_TIMEOUT)
        for pipe in (process.stdin, process.stdout):
            if pipe is not None:
                pipe.close()

    def feed(self, text):
        self.program.stdin.write(text)
        self.program.stdin.flush()

    def finish(self, new_file=EXPECTED):
        """Sees the new file complete and the program waiting for a key, presses Enter and
        returns what the program said."""
        if new_file is not None:
            self.wait_for(lambda: os.path.exists(self.path("b.dat")) and
                          self.read("b.dat") == new_file, "the new file")
            time.sleep(0.3)
            self.assertIsNone(self.program.poll(), "ended without waiting for the last key")
        self.feed(ENTER)
        self.program.stdin.close()
        self.assertEqual(self.program.wait(timeout=STEP_TIMEOUT), 1)
        self.stdout.seek(0)
        return self.stdout.read()

    def windows_path(self, name):
        """How the program sees a file of the scratch folder: Wine's drive Z: is /."""
        return ("Z:" + self.path(name).replace("/", "\\")).encode()

    def expected_stdout(self, open_retries=b"", save_retries=b"", tail=COMPLETE):
        return crlf(BANNER + names_block(b"a.dat", b"b.dat") + original_prompt(b"a.dat") +
                    open_retries + new_prompt(b"b.dat") + save_retries + b"saving to: " +
                    self.windows_path("b.dat") + b".\n" + tail)

    def wait_for(self, condition, what):
        deadline = time.monotonic() + STEP_TIMEOUT
        while not condition():
            if time.monotonic() > deadline:
                self.fail("timed out waiting for " + what)
            if self.program.poll() is not None:
                self.fail("program ended (status %d) waiting for %s" %
                          (self.program.returncode, what))
            time.sleep(0.05)

    # ---- windows

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=session.env, capture_output=True,
                              text=True, timeout=STEP_TIMEOUT)

    def visible(self, title, answered_too=False):
        """Ids of the visible windows named exactly `title`, by default those not answered."""
        found = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % ere_quote(title))
        # The search ignores case; the names themselves must match exactly.
        return [w for w in found.stdout.split() if (answered_too or w not in self.answered) and
                self.xdotool("getwindowname", w).stdout == title + "\n"]

    def dialog(self, title):
        """Waits for the dialog named `title` and gives it the keyboard focus."""
        self.wait_for(lambda: self.visible(title), "the dialog " + title)
        window = self.visible(title)[0]
        # Without a window manager keys go nowhere until the dialog has the focus.
        self.assertEqual(self.xdotool("windowfocus", "--sync", window).returncode, 0)
        return window

    def answer(self, title, keys=("Return",), name=None):
        """Answers the dialog `title`: a typed name replaces the pre-filled one, then the
        keys. Returns the dialog's window."""
        window = self.dialog(title)
        if name is not None:
            self.xdotool("key", "ctrl+a")
            self.xdotool("type", "--delay", "20", name)
        self.xdotool("key", *keys)
        self.answered.add(window)
        return window

    def pause_after(self, title, window):
        """Seconds from the closing of `window` to the next dialog named `title`."""
        self.wait_for(lambda: window not in self.visible(title, answered_too=True),
                      "the dialog to close")
        closed = time.monotonic()
        self.dialog(title)
        return time.monotonic() - closed

    # ---- the runs

    def test_both_pre_filled_names_accepted(self):
        self.start()
        self.answer(OPEN_TITLE)
        self.answer(SAVE_TITLE)
        self.assertEqual(self.finish(), self.expected_stdout())
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", "b.dat", PATCH_NAME]))

    def test_cancelled_open_dialog_shown_again_after_enter(self):
        self.start()
        self.answer(OPEN_TITLE, keys=("Escape",))
        time.sleep(1)
        self.assertEqual(self.visible(OPEN_TITLE), [], "shown again before Enter")
        self.feed(ENTER)
        self.answer(OPEN_TITLE)
        self.answer(SAVE_TITLE)
        self.assertEqual(self.finish(), self.expected_stdout(open_retries=CANCELLED))

    def test_unreadable_originals_asked_for_again_after_a_pause(self):
        self.start()
        for name in ("missing.dat", "NUL"):  # a device has no offsets to copy from
            window = self.answer(OPEN_TITLE, name=name)
            self.assertGreaterEqual(self.pause_after(OPEN_TITLE, window), 1.9)
        self.answer(OPEN_TITLE)
        self.answer(SAVE_TITLE)
        self.assertEqual(self.finish(), self.expected_stdout(open_retries=OPEN_FAILED * 2))

    def test_unusable_destinations_asked_for_again_and_hidden_kept(self):
        self.write("b.dat", b"old content")
        os.setxattr(self.path("b.dat"), "user.DOSATTRIB", b"0x2")  # how Wine keeps "hidden"
        holder = self.spawn(HOLD_FILE, "b.dat", stdout=subprocess.PIPE)
        ready = select.select([holder.stdout], [], [], STEP_TIMEOUT)[0]
        self.assertEqual(holder.stdout.readline() if ready else b"", b"holding\r\n")
        self.start()
        self.answer(OPEN_TITLE)
        for name in ("nul.txt", None):  # a device keeps nothing; the held file is in use
            window = self.answer(SAVE_TITLE, name=name)
            self.assertGreaterEqual(self.pause_after(SAVE_TITLE, window), 0.9)
        self.assertEqual(self.read("b.dat"), b"old content")
        holder.stdin.close()
        self.assertEqual(holder.wait(timeout=STEP_TIMEOUT), 0)
        self.answer(SAVE_TITLE)
        self.assertEqual(self.finish(), self.expected_stdout(save_retries=OPEN_FAILED * 2))
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", "b.dat", PATCH_NAME]))
        self.assertTrue(int(os.getxattr(self.path("b.dat"), "user.DOSATTRIB"), 16) & 2)

    def test_ctrl_c_during_the_rebuild_leaves_nothing_behind(self):
        with open(self.path("a.dat"), "wb") as f:
            f.truncate(1 << 30)  # sparse: 16 GiB to write, but nothing to read from disk
        self.write("b.dat", b"old content")
        self.start(size_field="", ops=("copy:0:0x40000000",) * 16)
        self.answer(OPEN_TITLE)
        self.answer(SAVE_TITLE)
        self.wait_for(lambda: any(name.startswith("qva") and os.path.getsize(self.path(name))
                                  for name in os.listdir(self.folder)), "the rebuild")
        self.program.send_signal(signal.SIGINT)  # Wine hands it on as a CTRL_C_EVENT
        self.assertEqual(self.program.wait(timeout=STEP_TIMEOUT), 1)
        self.assertEqual(self.read("b.dat"), b"old content")
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", "b.dat", PATCH_NAME]))

    def test_suggested_new_names_pre_filled_only_as_file_names(self):
        for name, keys, saved in [("..\\esc.dat", ("Return",), "esc.dat"),  # no folder part
                                  ("b:c.dat", ("End", "b", "period", "d", "a", "t", "Return"),
                                   "b.dat")]:  # not a Windows file name: nothing pre-filled
            with self.subTest(name):
                self.make_patch("a.dat", name, "2048|", OPS)
                self.program = self.spawn(EXE, stdout=subprocess.DEVNULL)
                self.answer(OPEN_TITLE)
                self.answer('Where should the file "%s" be saved?' % name, keys=keys)
                self.wait_for(lambda: os.path.exists(self.path(saved)), saved)
                self.feed(ENTER)
                self.assertEqual(self.program.wait(timeout=STEP_TIMEOUT), 1)
                self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", saved, PATCH_NAME]))
                self.assertEqual(self.read(saved), EXPECTED)
                os.remove(self.path(saved))
                self.answered.clear()  # the next program's windows may reuse the ids

    def test_wrong_sized_original_leaves_the_destination_alone(self):
        self.write("b.dat", b"old content")
        self.start(size_field="2047|")
        self.answer(OPEN_TITLE)
        self.answer(SAVE_TITLE)
        self.assertEqual(self.finish(new_file=None), self.expected_stdout(tail=WRONG_ORIGINAL))
        self.assertEqual(self.read("b.dat"), b"old content")
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", "b.dat", PATCH_NAME]))


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    if result.skipped and result.testsRun <= len(result.skipped) and result.wasSuccessful():
        sys.stderr.write("NOTICE: the Wine dialog tests were skipped: %s\n" %
                         result.skipped[0][1])
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)
