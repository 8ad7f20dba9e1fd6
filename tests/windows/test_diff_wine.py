"""quorvalex-diff.exe under Wine writes, byte for byte, the patch the Linux creator writes
for the same pair. Needs QV_WINDOWS_DIFF, QV_LINUX_DIFF and Wine; status 77 (skipped)
without Wine."""
import os
import random
import shutil
import subprocess
import sys
import tempfile

if not shutil.which("wine"):
    sys.exit(77)
rng = random.Random(5)
original = bytes(rng.randrange(256) for _ in range(70000))
new = original[:30000] + b"changed" + original[30100:] + original[:256]
with tempfile.TemporaryDirectory(prefix="qv-wine-diff-") as folder:
    for name, data in (("old.bin", original), ("new.bin", new)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    env = dict(os.environ, WINEDEBUG="-all")
    for program, patch in (([os.environ["QV_LINUX_DIFF"]], "linux.dat"),
                           (["wine", os.environ["QV_WINDOWS_DIFF"]], "windows.dat")):
        subprocess.run([*program, "old.bin", "new.bin", patch], cwd=folder, env=env, check=True,
                       stdin=subprocess.DEVNULL, timeout=300)
    with open(os.path.join(folder, "linux.dat"), "rb") as a, \
            open(os.path.join(folder, "windows.dat"), "rb") as b:
        sys.exit(0 if a.read() == b.read() else "the .exe's patch differs from the Linux one")
