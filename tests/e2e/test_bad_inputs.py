"""The bad-input catalogue: damaged patches, odd originals and odd destinations through the
real program. Every run must end with exit status 1 and either the complete new file at
the destination or a clear message with the destination as it was; the patch and the
original stay untouched, no temporary file is left behind and no control character
reaches the console.

python3 test_bad_inputs.py --write-corpus DIR writes every case into the fuzz corpus."""
import concurrent.futures
import os
import re
import stat
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass
from typing import Callable, Optional

from harness import (APPLY, COMPLETE, MAKE_PATCH, NOT_VALID, OPEN_FAILED, PATCH_NAME,
                     WRONG_ORIGINAL, ProgramTest, names_block)

NOT_VALID_AFTER_NAME = b"\n" + NOT_VALID
ORIGINAL = bytes(range(256)) + bytes(range(44))
OLD = b"what was at the destination before"
ANSWERS = b"orig.bin\nout.bin\n\n\n"
# A small valid patch: three kinds of operation, operand widths 1 and 2, a size check.
OPS = ("copy:0:10", "insert:hello", "copy:256:20")
EXPECTED = ORIGINAL[:10] + b"hello" + ORIGINAL[256:276]
SIZE = "300|"


def write_patch(ops, size_field=SIZE, original_name="a", new_name="b"):
    """A patch from the project's patch writer."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "patch")
        subprocess.run([MAKE_PATCH, out, original_name, new_name, size_field, *ops], check=True)
        with open(out, "rb") as f:
            return f.read()


def number(text):
    """Blanks, an optional sign, decimal digits; no digits give 0."""
    text = text.lstrip(b" \t\n\v\f\r")
    sign = -1 if text[:1] == b"-" else 1
    digits = re.match(rb"[+-]?([0-9]*)", text).group(1)
    return sign * int(digits or b"0")


def model(patch, original):
    """What a run must end with: (message, None), or (COMPLETE, the new file)."""
    if len(patch) < 5:
        return NOT_VALID, None
    total = number(patch[-5:].split(b"\0")[0]) + 5
    if not 5 <= total < 4096 or total > len(patch):
        return NOT_VALID, None
    data_end = len(patch) - total
    parts = patch[data_end:].split(b"\0")[0].split(b"|")
    if len(parts) < 3 or parts[0] != b"Quorvalex":
        return NOT_VALID, None
    if len(parts) < 4:
        return NOT_VALID_AFTER_NAME, None
    size = number(parts[3]) if len(parts) > 4 else 0
    if size and -2**31 <= size < 2**31 and size != len(original):
        return WRONG_ORIGINAL, None
    new, at = b"", 0
    while at < data_end:
        op = patch[at]
        first = 1 if op & 2 else 2 if op & 4 else 4
        second = (1 if op & 8 else 2 if op & 0x10 else 4) if op & 1 else 0
        head = patch[at + 1:min(data_end, at + 1 + first + second)]
        if len(head) < first + second:
            return NOT_VALID, None
        at += 1 + first + second
        a, b = int.from_bytes(head[:first], "little"), int.from_bytes(head[first:], "little")
        if op & 1 and a + b > len(original):
            return WRONG_ORIGINAL, None
        if not op & 1 and at + a > data_end:
            return NOT_VALID, None
        new += original[a:a + b] if op & 1 else patch[at:at + a]
        at += 0 if op & 1 else a
    return COMPLETE, new


@dataclass
class Case:
    label: str
    patch: Optional[bytes]  # None: the test's prepare step puts something else there
    message: bytes  # what standard output ends with
    new_file: Optional[bytes] = None  # the destination afterwards; None: unchanged
    original: Optional[bytes] = ORIGINAL
    answers: bytes = ANSWERS
    destination: str = "out.bin"
    shows: bytes = b""  # must appear in standard output
    prepare: Optional[Callable[[str], None]] = None
    check: Optional[Callable[[str], bool]] = None  # extra check of the folder afterwards


def modelled(label, patch, original=ORIGINAL):
    message, new_file = model(patch, original)
    return Case(label, patch, message, new_file, original)


def trailer_cases(stream):
    def trailer(text, field=None):
        return stream + text + (field if field is not None else b"%05d" % len(text))
    t = b"Quorvalex|a|b|300|"
    ok = dict(message=COMPLETE, new_file=EXPECTED)
    return [
        Case("length field with leading blanks", trailer(t, b"   18"), **ok),
        Case("length field with a plus sign", trailer(t, b"+0018"), **ok),
        Case("length field with a minus sign", trailer(t, b"-0018"), NOT_VALID),
        Case("length field with a blank inside", trailer(t, b"0 018"), NOT_VALID),
        Case("length field of letters", trailer(t, b"abcde"), NOT_VALID),
        Case("length field in hex", trailer(t, b"0x012"), NOT_VALID),
        Case("length field with a letter inside", trailer(t, b"00a18"), NOT_VALID),
        Case("length field with a zero byte inside", trailer(t, b"00\x0018"), NOT_VALID),
        Case("length field ended by a zero byte", trailer(t, b"0018\x00"), **ok),
        Case("length field of blanks", trailer(t, b"     "), NOT_VALID),
        Case("huge length field", trailer(t, b"99999"), NOT_VALID),
        Case("length one too long", trailer(t, b"00019"), NOT_VALID),
        Case("length one too short", trailer(t, b"00017"), NOT_VALID),
        Case("names longer than the path buffer",
             trailer(b"Quorvalex|" + b"o" * 3000 + b"|" + b"n" * 1000 + b"|300|"), **ok),
        Case("separator before the signature", trailer(b"|" + t), NOT_VALID),
        Case("no separators", trailer(b"Quorvalex a b 300 "), NOT_VALID),
        Case("only the first separator", trailer(b"Quorvalex|a"), NOT_VALID),
        Case("no third separator", trailer(b"Quorvalex|a|b"), NOT_VALID_AFTER_NAME),
        Case("zero byte hides the third separator", trailer(b"Quorvalex|a|b\x00|300|"),
             NOT_VALID_AFTER_NAME),
        Case("extra separator before the names", trailer(b"Quorvalex||a|b|300|"), **ok),
        Case("size cut by an extra separator", trailer(b"Quorvalex|a|b|3|00|"), WRONG_ORIGINAL),
        Case("doubled last separator", trailer(b"Quorvalex|a|b||"), **ok),
        Case("size without its separator", trailer(b"Quorvalex|a|b|299"), **ok),
        Case("size with blanks and a sign", trailer(b"Quorvalex|a|b| +300|"), **ok),
        Case("size one too large", trailer(b"Quorvalex|a|b|301|"), WRONG_ORIGINAL),
        Case("negative size", trailer(b"Quorvalex|a|b|-300|"), WRONG_ORIGINAL),
        Case("largest 32-bit size", trailer(b"Quorvalex|a|b|2147483647|"), WRONG_ORIGINAL),
        Case("huge size is not checked", trailer(b"Quorvalex|a|b|99999999999999999999|"), **ok),
        Case("size that wraps 32 bits to 1", trailer(b"Quorvalex|a|b|4294967297|"), **ok),
        Case("trailer filling its buffer", trailer(b"Quorvalex|a|b|" + b"x" * 4075 + b"|"), **ok),
        Case("trailer one byte over its buffer", trailer(b"Quorvalex|a|b|" + b"x" * 4076 + b"|"),
             NOT_VALID),
    ]


def operation_cases():
    def ops(*ops, size=SIZE):
        return write_patch(ops, size)
    return [
        Case("copy at offset 0xFFFFFFFF", ops("copy:0xFFFFFFFF:1"), WRONG_ORIGINAL),
        Case("copy whose end wraps 32 bits to 0", ops("copy:0xFFFFFF00:0x100"), WRONG_ORIGINAL),
        Case("copy whose length wraps the end", ops("copy:16:0xFFFFFFF0"), WRONG_ORIGINAL),
        Case("copy one byte past the original", ops("copy:290:11"), WRONG_ORIGINAL),
        Case("copy of the whole original", ops("copy:0:300"), COMPLETE, ORIGINAL),
        Case("insert longer than the file", ops("hex:00ffffffff", "insert:x"), NOT_VALID),
        Case("insert of 1000 bytes in a small file", ops("hex:04e803", "insert:x"), NOT_VALID),
        Case("operation running into the trailer", ops("hex:0b", size=""), NOT_VALID),
        Case("insert running into the trailer", ops("hex:0205", size=""), NOT_VALID),
        Case("no operations", ops(), COMPLETE, b""),
        Case("empty original and a copy", ops(*OPS, size=""), WRONG_ORIGINAL, original=b""),
        Case("empty original and only inserts", ops("insert:abc", size="0|"), COMPLETE, b"abc",
             original=b""),
    ]


def make(kind, name):
    """A prepare step that makes `name` with os.mkdir or os.mkfifo."""
    return lambda folder: kind(os.path.join(folder, name))


def folder_cases(base):
    def fifo(folder):
        os.remove(os.path.join(folder, "out.bin"))
        os.mkfifo(os.path.join(folder, "out.bin"))

    def symlink(folder, dangling=False):
        if not dangling:
            with open(os.path.join(folder, "target.bin"), "wb") as f:
                f.write(OLD)
        os.remove(os.path.join(folder, "out.bin"))
        os.symlink("target.bin", os.path.join(folder, "out.bin"))

    inodes = {}

    def read_only(folder):
        os.chmod(os.path.join(folder, "out.bin"), 0o640)
        inodes[folder] = os.stat(os.path.join(folder, "out.bin")).st_ino

    def written_through_link(folder):
        return (os.path.islink(os.path.join(folder, "out.bin")) and
                read(folder, "target.bin") == EXPECTED)

    def mode_kept(folder):
        """Kept by a new file renamed into place, which no reader sees half written."""
        info = os.stat(os.path.join(folder, "out.bin"))
        return stat.S_IMODE(info.st_mode) == 0o640 and info.st_ino != inodes[folder]

    ok = dict(message=COMPLETE, new_file=EXPECTED)
    return [
        Case("patch is a folder", None, NOT_VALID, prepare=make(os.mkdir, PATCH_NAME)),
        Case("patch is a pipe", None, NOT_VALID, prepare=make(os.mkfifo, PATCH_NAME)),
        Case("original is a folder", base, OPEN_FAILED, original=None, answers=b"orig.bin\n",
             prepare=make(os.mkdir, "orig.bin")),
        Case("original is a pipe", base, OPEN_FAILED, original=None, answers=b"orig.bin\n",
             prepare=make(os.mkfifo, "orig.bin")),
        Case("destination is a folder, then a file", base, COMPLETE, EXPECTED,
             destination="new/out.bin", answers=b"orig.bin\nnew\nnew/out.bin\n\n",
             prepare=make(os.mkdir, "new"), shows=OPEN_FAILED),
        Case("destination is the original, then a file", base, answers=b"orig.bin\norig.bin\n"
             b"out.bin\n\n", shows=OPEN_FAILED, **ok),
        Case("destination is the patch, then a file", base, answers=b"orig.bin\n" +
             PATCH_NAME.encode() + b"\nout.bin\n\n", shows=OPEN_FAILED, **ok),
        Case("destination is a pipe", base, COMPLETE, EXPECTED, prepare=fifo,
             check=lambda folder: stat.S_ISFIFO(os.lstat(os.path.join(folder, "out.bin")).st_mode)),
        Case("destination is a link", base, prepare=symlink, check=written_through_link, **ok),
        Case("destination is a dangling link", base, destination="target.bin",
             prepare=lambda folder: symlink(folder, True), check=written_through_link, **ok),
        Case("destination keeps its permissions", base, prepare=read_only, check=mode_kept, **ok),
        Case("destination with another hard link", base, prepare=lambda folder: os.link(
             os.path.join(folder, "out.bin"), os.path.join(folder, "other.bin")),
             check=lambda folder: read(folder, "other.bin") == EXPECTED, **ok),
        Case("names with control characters", write_patch(OPS, SIZE, bytes(range(1, 32)) + b"\x7f",
                                                          bytes(range(0x80, 0x100)) + b"\xc2\x9b"),
             shows=names_block(b"".join(b"\\x%02X" % c for c in range(1, 32)) + b"\\x7F",
                               bytes(range(0x80, 0x100)) + b"\\xC2\\x9B"), **ok),
        Case("new name with a line end taken as it is", write_patch(OPS, SIZE, "a", "out.bin\n.x"),
             OPEN_FAILED, answers=b"orig.bin\n\n"),
    ]


def all_cases():
    base = write_patch(OPS)
    cases = [modelled("the valid patch", base)]
    cases += [modelled("cut to %d bytes" % n, base[:n]) for n in range(len(base))]
    cases += [modelled("bit %d of byte %d flipped" % (bit, n),
                       base[:n] + bytes([base[n] ^ 1 << bit]) + base[n + 1:])
              for n in range(len(base)) for bit in range(8)]
    stream = base[:-len(b"Quorvalex|a|b|300|00018")]
    return cases + trailer_cases(stream) + operation_cases() + folder_cases(base)


def read(folder, name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def run_case(case):
    """Runs the program on one case in a scratch folder; returns what the checks need."""
    with tempfile.TemporaryDirectory(prefix="qv-bad-") as folder:
        for name, data in ((PATCH_NAME, case.patch), ("orig.bin", case.original),
                           ("out.bin", OLD)):
            if data is not None:
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
        if case.prepare:
            case.prepare(folder)
        before = set(os.listdir(folder))
        pipe = os.path.join(folder, "out.bin")
        # A reader that is there before the program starts; the new file fits the pipe.
        reader = None
        if stat.S_ISFIFO(os.lstat(pipe).st_mode):
            reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
        env = dict(os.environ)
        for name in ("QV_PAUSE_LOG", "DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        result = subprocess.run([APPLY], input=case.answers, cwd=folder,
                                capture_output=True, timeout=30, env=env)
        if reader:
            piped = os.read(reader, 1 << 16)
            os.close(reader)
        destination = os.path.join(folder, case.destination)
        return dict(
            result=result,
            new_entries=set(os.listdir(folder)) - before - {case.destination},
            patch=read(folder, PATCH_NAME) if case.patch is not None else None,
            original=read(folder, "orig.bin") if case.original is not None else None,
            destination=piped if reader else read(folder, destination)
            if os.path.isfile(destination) else None,
            checked=case.check(folder) if case.check else True,
        )


class BadInputTest(ProgramTest):
    def test_catalogue(self):
        cases = all_cases()
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            outcomes = list(pool.map(run_case, cases))
        print("%d cases" % len(cases), file=sys.stderr)
        for case, outcome in zip(cases, outcomes):
            with self.subTest(case.label):
                result, message = outcome["result"], case.message
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertNotRegex(result.stderr, rb"Sanitizer|runtime error")
                self.assertTrue(result.stdout.endswith(message), result.stdout[-300:])
                self.assertIn(case.shows, result.stdout)
                for shown in (result.stdout, result.stderr):
                    self.assertNotRegex(shown, rb"[\x00-\x09\x0b-\x1f\x7f]")
                self.assertEqual(outcome["patch"], case.patch)
                self.assertEqual(outcome["original"], case.original)
                self.assertEqual(outcome["destination"],
                                 case.new_file if message == COMPLETE else OLD)
                self.assertEqual(outcome["new_entries"], set())
                self.assertTrue(outcome["checked"])


def large_seeds():
    """Patches for the engine's limits, on a pattern original of 1 MiB: many copies, long
    inserts across the read-ahead, copies long enough to skip the batch, more than a
    batch of data."""
    scattered = ["copy:%d:%d" % (n * 7919 % 1000000, n % 3000) for n in range(3000)]
    seeds = {
        "many-small-copies": ["copy:%d:1" % (n % 300) for n in range(70000)],
        "long-inserts": ["insert:" + "i" * 70000, "copy:5:5", "insert:" + "j" * 70000],
        "long-copies": ["copy:0:200000", "copy:300000:100", "copy:310000:100", "copy:1:65535",
                        "copy:999000:1000"],
        "over-a-batch": ["copy:%d:60000" % (n * 6000) for n in range(150)],
        "scattered-copies": scattered,
    }
    header = (0xFFFFF).to_bytes(3, "little") + bytes(2)
    return {name: header + write_patch(ops, "") for name, ops in seeds.items()}


def write_corpus(root):
    """Each case as a seed of every fuzz target that can take it, without repeats."""
    written = set()
    for number_, case in enumerate(all_cases()):
        if case.patch is None or case.original is None:
            continue
        name = "%03d-%s" % (number_, re.sub(r"[^a-z0-9]+", "-", case.label.lower()).strip("-"))
        length = len(case.original)
        seeds = {"trailer": case.patch, "decode": case.patch[:9],
                 "apply": length.to_bytes(3, "little") + length.to_bytes(2, "little") +
                 case.original + case.patch}
        for target, data in seeds.items():
            if (target, data) in written:
                continue
            written.add((target, data))
            os.makedirs(os.path.join(root, target), exist_ok=True)
            with open(os.path.join(root, target, name), "wb") as f:
                f.write(data)
    for name, data in large_seeds().items():
        with open(os.path.join(root, "apply", name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--write-corpus"]:
        write_corpus(sys.argv[2])
    else:
        unittest.main()
