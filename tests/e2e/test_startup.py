"""Start-up and the trailer: what the program says before it asks for any file."""
import unittest

from harness import (BANNER, NOT_VALID, PATCH_NAME, ProgramTest, names_block, original_prompt)


class StartupTest(ProgramTest):
    def test_missing_patch_file(self):
        run = self.run_program(stdin=b"\n")
        self.assertEqual(run.stdout, BANNER +
                         b'Can\'t find the patch file "Amber Reaches update.dat"'
                         b' - hit any key to quit.\n')
        self.assertEqual(run.status, 1)
        self.assertEqual(run.pauses, [1000])

    def test_rejected_trailers(self):
        ab = names_block(b"a.dat", b"b.dat")
        cases = [
            ("four bytes", b"1234", b""),
            ("lower-case signature", b"x" * 40 + b"quorvalex|a.dat|b.dat|00022", b""),
            ("longer signature", b"x" * 40 + b"QuorvalexX|a.dat|b.dat|00023", b""),
            ("no separator at all", b"x" * 40 + b"Quorvalex00009", b""),
            ("one separator", b"x" * 40 + b"Quorvalex|a.dat00015", b""),
            ("two separators", b"x" * 40 + b"Quorvalex|a.dat|b.dat00021",
             ab[:ab.index(b"\n ->  new")] + b"\n"),
            ("length beyond the file", b"Quorvalex|a.dat|b.dat|00099", b""),
            ("negative length", b"x" * 40 + b"Quorvalex|a.dat|b.dat|-0022", b""),
            ("length over the buffer", b"x" * 5000 + b"Quorvalex|a.dat|b.dat|04200", b""),
        ]
        for label, patch, before in cases:
            with self.subTest(label):
                self.write(PATCH_NAME, patch)
                run = self.run_program()
                self.assertEqual(run.stdout, BANNER + before + NOT_VALID)
                self.assertEqual(run.status, 1)

    def test_accepted_trailer_goes_on_to_the_choosers(self):
        self.write(PATCH_NAME, b"\x00" * 3 + b"Quorvalex|a.dat|b.dat|1234|00027")
        # End of input at the first chooser ends the run, as a closed console would.
        run = self.run_program(args=("--ignored", "argument"))
        self.assertEqual(run.stdout, BANNER + names_block(b"a.dat", b"b.dat") +
                         original_prompt(b"a.dat"))
        self.assertEqual(run.status, 1)
        self.assertEqual(run.pauses, [1000, 500])

    def test_control_characters_in_names_are_shown_escaped(self):
        self.make_patch(b"a\x1b[2J", b"b\x07\x7f")
        run = self.run_program()
        self.assertIn(names_block(b"a\\x1B[2J", b"b\\x07\\x7F"), run.stdout)


if __name__ == "__main__":
    unittest.main()
