"""quorvalex-diff end to end: its patch applied by the applier, and its refusals."""
import os
import random
import subprocess
import tempfile
import unittest

APPLY = os.environ.get("QV_APPLY", "")
DIFF = os.environ.get("QV_DIFF", "")
PATCH_NAME = "Amber Reaches update.dat"
COMPLETE = b"\nPatching complete.\n"


class DiffTest(unittest.TestCase):
    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="qv-diff-")
        self.folder = self._scratch.name
        self.addCleanup(self._scratch.cleanup)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def diff(self, *args):
        return subprocess.run([DIFF, *args], capture_output=True, cwd=self.folder, timeout=60)

    def test_patch_applies_and_names_the_files(self):
        rng = random.Random(3)
        original = bytes(rng.randrange(256) for _ in range(200000))
        new = original[5000:90000] + b"new bytes" + original[:5000] + original[90100:]
        self.write("old.bin", original)
        self.write("new.bin", new)
        made = self.diff("--original-name", "a.dat", "--new-name", "b.dat", "old.bin", "new.bin")
        self.assertEqual((made.returncode, made.stderr), (0, b""))
        self.assertLess(len(self.read(PATCH_NAME)), 200)
        os.rename(self.path("old.bin"), self.path("a.dat"))
        run = subprocess.run([APPLY], input=b"\n\n\n", capture_output=True, cwd=self.folder,
                             env={k: v for k, v in os.environ.items() if "DISPLAY" not in k},
                             timeout=60)
        self.assertTrue(run.stdout.endswith(COMPLETE), run.stdout)
        self.assertEqual(self.read("b.dat"), new)

    def test_refusals_leave_one_message_and_no_patch(self):
        self.write("old.bin", b"old")
        self.write("new.bin", b"new")
        cases = [("missing input", ("old.bin", "none.bin", "p.dat"), 1),
                 ("patch over an input", ("old.bin", "new.bin", "new.bin"), 1),
                 ("separator in a name", ("--new-name", "a|b", "old.bin", "new.bin", "p.dat"), 1),
                 ("one path", ("old.bin",), 2)]
        for label, args, status in cases:
            with self.subTest(label):
                made = self.diff(*args)
                self.assertEqual(made.returncode, status)
                self.assertEqual(made.stderr.count(b"\n"), status)
                self.assertFalse(os.path.exists(self.path("p.dat")))
        self.assertEqual(self.read("new.bin"), b"new")
        self.assertEqual(sorted(os.listdir(self.folder)), ["new.bin", "old.bin"])


if __name__ == "__main__":
    unittest.main()
