"""quorvalex-diff end to end: its patch applied by the applier, and its refusals."""
import os
import random
import subprocess
import unittest

from harness import COMPLETE, PATCH_NAME, ProgramTest

DIFF = os.environ.get("QV_DIFF", "")


class DiffTest(ProgramTest):
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
        run = self.run_program(stdin=b"\n\n\n")
        self.assertTrue(run.stdout.endswith(COMPLETE), run.stdout)
        self.assertEqual(run.file("b.dat"), new)

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
