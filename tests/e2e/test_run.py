"""The whole run, from the banner to "Patching complete.", through the console chooser."""
import os
import unittest

from harness import (APPLY_REAL, BANNER, COMPLETE, NOT_VALID, WRONG_ORIGINAL, PATCH_NAME,
                     ProgramTest, names_block, new_prompt, original_prompt)

ORIGINAL = bytes(range(256)) * 8
OPS = ("copy:16:4", "insert:xyz", "copy:0x134:256", "copy:0:0", "copy:2000:48")
EXPECTED = ORIGINAL[16:20] + b"xyz" + ORIGINAL[0x134:0x234] + ORIGINAL[2000:2048]


def closed_stdout():
    """Child setup: standard output a pipe whose reader has gone, as after `| head -c 10`."""
    reader, writer = os.pipe()
    os.dup2(writer, 1)
    os.close(reader)
    os.close(writer)


class RunTest(ProgramTest):
    def setUp(self):
        super().setUp()
        self.write("a.dat", ORIGINAL)

    def expected_stdout(self, tail):
        return (BANNER + names_block(b"a.dat", b"b.dat") + original_prompt(b"a.dat") +
                new_prompt(b"b.dat") +
                b"saving to: " + self.path("b.dat").encode() + b".\n" + tail)

    def test_complete_run(self):
        self.make_patch("a.dat", "b.dat", "2048|", OPS)
        for label, program, stdin, setup in [
                ("paced", None, b"\n\n\n", None),
                ("input ends before the last wait", None, b"\n\n", None),
                ("real pauses", APPLY_REAL, b"\n\n\n", None),
                ("standard output closed", None, b"\n\n\n", closed_stdout)]:
            with self.subTest(label):
                run = self.run_program(stdin=stdin, program=program, args=("x", "--help"),
                                       preexec_fn=setup)
                self.assertEqual(run.stdout, b"" if setup else self.expected_stdout(COMPLETE))
                self.assertEqual(run.status, 1)
                self.assertEqual(run.file("b.dat"), EXPECTED)
                self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", "b.dat", PATCH_NAME]))
                if program is None:
                    self.assertEqual(run.pauses, [1000, 500, 1000])

    def test_failures_after_saving_leave_the_destination_alone(self):
        cases = [
            ("wrong-sized original", "2047|", OPS, WRONG_ORIGINAL),
            ("copy past the end of the original", "", ("copy:2000:49",), WRONG_ORIGINAL),
            ("insert data cut short by the end of the file", "", ("insert:ab", "hex:00ffffff00"),
             NOT_VALID),
        ]
        for label, size_field, ops, message in cases:
            with self.subTest(label):
                self.write("b.dat", b"old content")
                self.make_patch("a.dat", "b.dat", size_field, ops)
                patch = self.read(PATCH_NAME)
                run = self.run_program(stdin=b"\n\n\n")
                self.assertEqual(run.stdout, self.expected_stdout(message))
                self.assertEqual(run.status, 1)
                self.assertEqual(run.file("b.dat"), b"old content")
                self.assertEqual(run.file("a.dat"), ORIGINAL)
                self.assertEqual(run.file(PATCH_NAME), patch)
                self.assertEqual(sorted(os.listdir(self.folder)), sorted(["a.dat", "b.dat", PATCH_NAME]))


if __name__ == "__main__":
    unittest.main()
