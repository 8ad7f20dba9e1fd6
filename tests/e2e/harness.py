"""Runs the built program in a scratch folder and captures what it says and does."""
import os
import select
import subprocess
import tempfile
import time
import unittest

APPLY = os.environ.get("QV_APPLY", "")
APPLY_REAL = os.environ.get("QV_APPLY_REAL", "")
MAKE_PATCH = os.environ.get("QV_MAKE_PATCH", "")
PATCH_NAME = "Amber Reaches update.dat"

BANNER = b"Quorvalex - This will APPLY a patch...\n\n"
NOT_VALID = b'"Amber Reaches update.dat" is not a valid Quorvalex file.\n'
CANCELLED = b"Hit Enter to try again, or close window to exit\n"
OPEN_FAILED = b"Sorry, can't open that file.  Try again...\n"
WRONG_ORIGINAL = b"'Old' file is different from the one used to create this patch\n"
COMPLETE = b"\nPatching complete.\n"


def names_block(original, new):
    """The lines that name the two files once the trailer is accepted."""
    return (b'\nThis Patch was generated from...\n -> orig-file "' + original + b'"' +
            b'\n ->  new-file "' + new + b'"\n\n')


def original_prompt(original):
    return b'Choose the file "' + original + b'" (probably in Vardoun\\plugins folder)\n'


def new_prompt(new):
    return (b'Choose where to save the new file "' + new +
            b'" (Vardoun\\plugins folder is a good place)\n')


def start_xvfb(screen="1280x1024x24", timeout=20):
    """Starts Xvfb on a display it picks itself; returns (process, ":N"). Xvfb writes the
    number and its line end separately and dies if the pipe closes in between, so the
    report is read up to the line end."""
    reader, writer = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", screen,
                             "-nolisten", "tcp", "-noreset"], pass_fds=(writer,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(writer)
    number, deadline = b"", time.monotonic() + timeout
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        if select.select([reader], [], [], 0.2)[0]:
            chunk = os.read(reader, 64)
            if not chunk:
                break
            number += chunk
    os.close(reader)
    if not number.strip().isdigit():
        xvfb.kill()
        xvfb.wait()
        raise RuntimeError("Xvfb reported no display within %d s" % timeout)
    return xvfb, ":" + number.decode().strip()


class Run:
    def __init__(self, result, pauses, folder):
        self.stdout = result.stdout
        self.stderr = result.stderr
        self.status = result.returncode
        self.pauses = pauses
        self.folder = folder

    def file(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()


class ProgramTest(unittest.TestCase):
    """A scratch folder per test, and helpers to fill it and run the program there."""

    def setUp(self):
        self.assertTrue(APPLY, "QV_APPLY names the program under test")
        self._scratch = tempfile.TemporaryDirectory(prefix="qv-e2e-")
        self.folder = self._scratch.name

    def tearDown(self):
        self._scratch.cleanup()

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def make_patch(self, original, new, size_field="", ops=(), name=PATCH_NAME):
        """Writes a patch with the project's patch writer; ops as make-patch takes them."""
        subprocess.run([MAKE_PATCH, self.path(name), original, new, size_field, *ops],
                       check=True)

    def run_program(self, stdin=b"", args=(), program=None, timeout=60, preexec_fn=None):
        log = self.path(".pauses")
        if os.path.exists(log):
            os.remove(log)
        env = dict(os.environ, QV_PAUSE_LOG=log)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        result = subprocess.run([program or APPLY, *args], input=stdin, capture_output=True,
                                cwd=self.folder, env=env, timeout=timeout, preexec_fn=preexec_fn)
        pauses = []
        if os.path.exists(log):
            with open(log) as f:
                pauses = [int(line) for line in f.read().split()]
            os.remove(log)
        return Run(result, pauses, self.folder)
