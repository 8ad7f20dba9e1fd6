# quorvalex-diff.exe under Wine writes, byte for byte, the patch the Linux creator writes
# for the same pair. Needs QV_WINDOWS_DIFF, QV_LINUX_DIFF and Wine; status 77 (skipped)
# without Wine.
import os, random, shutil, subprocess, sys, tempfile

if not shutil.which("wine"):
    sys.exit(77)
old = random.Random(5).randbytes(70000)
files = {"old.bin": old, "new.bin": old[:30000] + b"changed" + old[30100:] + old[:256]}
with tempfile.TemporaryDirectory(prefix="qv-wine-diff-") as folder:
    for name, data in files.items():
        open(os.path.join(folder, name), "wb").write(data)
    for patch, program in (("linux", [os.environ["QV_LINUX_DIFF"]]), ("windows", ["wine", os.environ["QV_WINDOWS_DIFF"]])):
        subprocess.run([*program, "old.bin", "new.bin", patch], cwd=folder, env=dict(os.environ, WINEDEBUG="-all"),
                       stdin=subprocess.DEVNULL, timeout=300, check=True)
        files[patch] = open(os.path.join(folder, patch), "rb").read()
sys.exit(0 if files["linux"] == files["windows"] else "the .exe's patch differs from the Linux one")
