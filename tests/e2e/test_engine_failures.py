"""Patches that cannot be applied: the run stops with a message and touches no file."""
import os
import resource
import signal
import struct
import subprocess
import time
import unittest

from harness import APPLY, COMPLETE, NOT_VALID, PATCH_NAME, WRONG_ORIGINAL, ProgramTest

ORIGINAL = bytes(range(256)) * 4
TRAILER_LENGTH = len("Quorvalex|old.dat|new.dat|") + 5
BIG_DATA = bytes(range(250)) * 480  # more than any read-ahead holds


def write_failed(path, reason):
    return b'Can\'t write the new file "%s" (%s) - hit any key to quit.\n' % (path, reason)


def hex_ops(data, chunk=30000):
    """Raw bytes as make-patch arguments short enough for one command line each."""
    return tuple("hex:" + data[i:i + chunk].hex() for i in range(0, len(data), chunk))


def file_size_limit(limit):
    """A child setup under which files stop growing at `limit` bytes (EFBIG, no signal)."""
    def setup():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return setup


class EngineFailureTest(ProgramTest):
    def check_stops(self, ops, message, size_field="", destination=None, limit=None):
        """Runs the patch; `destination` replaces the pre-filled new.dat at the chooser."""
        self.write("old.dat", ORIGINAL)
        self.write("new.dat", b"old content")
        self.make_patch("old.dat", "new.dat", size_field, ops)
        patch = self.read(PATCH_NAME)
        stdin = b"\n" + (destination or b"") + b"\n"
        run = self.run_program(stdin=stdin, preexec_fn=limit and file_size_limit(limit))
        self.assertTrue(run.stdout.endswith(message), run.stdout)
        self.assertNotIn(COMPLETE, run.stdout)
        self.assertEqual(run.status, 1)
        self.assertEqual(self.read("old.dat"), ORIGINAL)
        self.assertEqual(self.read(PATCH_NAME), patch)
        self.assertEqual(self.read("new.dat"), b"old content")
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(["old.dat", "new.dat", PATCH_NAME]))

    def test_original_that_does_not_fit(self):
        cases = [
            ("original shorter than the trailer says", "1025|", ("insert:abc",)),
            ("copy one byte past the end", "", ("insert:abc", "copy:0:1025")),
            ("copy at the end", "", ("copy:1024:1",)),
            ("empty copy behind the end", "", ("copy:1025:0",)),
            ("last 32-bit offset", "", ("insert:abc", "copy:0xFFFFFFFF:1")),
            ("offset plus length wraps 32 bits", "", ("copy:0xFFFFFFF0:0x20",)),
            ("largest offset and length", "", ("hex:01ffffffffffffffff",)),
            ("copy past the end after a megabyte", "", ("copy:0:1024",) * 1100 + ("copy:1:1024",)),
        ]
        for label, size_field, ops in cases:
            with self.subTest(label):
                self.check_stops(ops, WRONG_ORIGINAL, size_field)

    def test_insert_cut_short_by_the_end_of_the_file(self):
        one_past = TRAILER_LENGTH + 1
        cases = [
            ("trailer plus one", ("insert:abc", "hex:02%02x" % one_past)),
            ("long insert", ("hex:00" + struct.pack("<I", len(BIG_DATA) + one_past).hex(),) +
             hex_ops(BIG_DATA)),
            ("four gibibytes", ("hex:00ffffffff",)),
        ]
        for label, ops in cases:
            with self.subTest(label):
                self.check_stops(ops, NOT_VALID)

    def test_write_error(self):
        new_path = os.path.join(os.path.realpath(self.folder), "new.dat").encode()
        big = ("copy:0:1024",) * 200
        too_large, full = b"File too large", b"No space left on device"
        cases = [
            ("file size limit", big, None, 65536, too_large),
            ("file size limit, found when closing", ("copy:0:1024",), None, 100, too_large),
            ("device full", big, b"/dev/full", None, full),
            ("device full, found when closing", ("insert:abc",), b"/dev/full", None, full),
        ]
        for label, ops, destination, limit, reason in cases:
            with self.subTest(label):
                self.check_stops(ops, write_failed(destination or new_path, reason),
                                 destination=destination, limit=limit)

    def test_interrupted_rebuild(self):
        with open(self.path("old.dat"), "wb") as f:
            f.truncate(1 << 30)  # sparse: 16 GiB to write, but nothing to read from disk
        self.write("new.dat", b"old content")
        self.make_patch("old.dat", "new.dat", "", ("copy:0:0x40000000",) * 16)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        for interrupt in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(interrupt.name):
                program = subprocess.Popen([APPLY], cwd=self.folder, env=env, stdin=subprocess.PIPE,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.addCleanup(program.kill)
                program.stdin.write(b"\n\n")
                program.stdin.close()
                deadline = time.monotonic() + 30
                while not any(name.startswith(".quorvalex-") and os.path.getsize(self.path(name))
                              for name in os.listdir(self.folder)):  # the rebuild has begun
                    self.assertLess(time.monotonic(), deadline, "no rebuild seen")
                    time.sleep(0.01)
                program.send_signal(interrupt)
                self.assertEqual(program.wait(timeout=30), 1)
                self.assertEqual(self.read("new.dat"), b"old content")
                self.assertEqual(sorted(os.listdir(self.folder)),
                                 sorted(["old.dat", "new.dat", PATCH_NAME]))


if __name__ == "__main__":
    unittest.main()
