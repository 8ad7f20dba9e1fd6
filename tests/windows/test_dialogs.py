#!/usr/bin/env python3
# The Windows build under Wine on a display of its own (run under xvfb-run): the rows of
# group "wine" in tests/e2e/cases.json, whose actions answer the program's real open and
# save dialogs with keystrokes as a player would. Needs QV_WINDOWS_EXE, QV_HOLD_FILE
# (hold-file.exe) and QV_MAKE_PATCH (the Linux patch writer), and Wine and xdotool; exits
# with status 77 (skipped) without them. QV_WINEPREFIX=DIR keeps the Wine prefix.
import os, re, select, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_cases as rc  # noqa: E402

ENV = dict(os.environ, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def visible(title):
    # The visible windows named exactly `title` (the search takes a pattern, ignoring case).
    found = rc.xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(title)).stdout.split()
    return [w for w in found if rc.xdotool("getwindowname", w).stdout == title + "\n"]


class Run:
    # One row: the program under Wine in a scratch folder, its input a pipe of ours. Each
    # action of the row is the method of its name; texts come filled in.
    def __init__(self, folder):
        self.folder, self.answered, self.window, self.holder = folder, set(), None, None
        self.stdout = tempfile.TemporaryFile()
        self.program = self.wine(os.environ["QV_WINDOWS_EXE"], stdout=self.stdout)

    def wine(self, exe, *args, stdout):
        return subprocess.Popen(["wine", exe, *args], cwd=self.folder, env=ENV, stdin=subprocess.PIPE,
                                stdout=stdout, stderr=subprocess.DEVNULL)

    def shown(self, title):  # the dialogs `title` not answered yet, once there are some
        rc.wait_until(lambda: [w for w in visible(title) if w not in self.answered], title, self.program)
        return [w for w in visible(title) if w not in self.answered]

    def answer(self, title, keys, typed=""):  # keys pressed, after a name typed over the given one
        self.window = self.shown(title)[0]
        rc.xdotool("windowfocus", "--sync", self.window)  # no window manager gives it the keys
        if typed:
            rc.xdotool("key", "ctrl+a")
            rc.xdotool("type", "--delay", "20", typed)
        rc.xdotool("key", *keys.split())
        self.answered.add(self.window)

    def gap(self, title, seconds):  # the dialog `title` is shown again `seconds` or more later
        rc.wait_until(lambda: self.window not in visible(title), "a close", self.program)
        closed = time.monotonic()
        assert self.shown(title) and time.monotonic() - closed >= seconds, "shown again too soon"

    def absent(self, title, seconds):  # and not shown again within `seconds`
        time.sleep(seconds)
        assert not set(visible(title)) - self.answered, title + " shown again too soon"

    def type(self, typed):
        self.program.stdin.write(typed.replace("\n", "\r\n").encode("latin-1"))
        self.program.stdin.flush()

    def hold(self, name):  # held open by another program, as a running game does
        self.holder = self.wine(os.environ["QV_HOLD_FILE"], name, stdout=subprocess.PIPE)
        ready = select.select([self.holder.stdout], [], [], 30)[0]
        assert ready and self.holder.stdout.readline() == b"holding\r\n", "hold-file"

    def release(self):
        self.holder.stdin.close()
        assert self.holder.wait(timeout=30) == 0, "hold-file"

    def file(self, name, content):
        assert open(os.path.join(self.folder, name), "rb").read() == content.encode(), name

    def hidden(self, name):  # how Wine keeps the attribute: set, then seen kept at the end
        os.setxattr(os.path.join(self.folder, name), "user.DOSATTRIB", b"0x2")

    def interrupt(self, prefix):  # Ctrl-C, which Wine hands on as a CTRL_C_EVENT
        rc.wait_until(lambda: any(name.startswith(prefix) and os.path.getsize(os.path.join(
            self.folder, name)) for name in os.listdir(self.folder)), "a rebuild", self.program)
        self.program.send_signal(signal.SIGINT)


def run_row(row, check, scratch):
    folder = tempfile.mkdtemp(prefix="run-", dir=scratch)
    rc.fill(folder, row)
    before, run, interrupted = rc.listing(folder), Run(folder), "interrupt" in str(row["actions"])
    try:
        for action, *args in row["actions"]:
            getattr(run, action)(*(rc.text(a).decode() if isinstance(a, str) else a for a in args))
        # The new file complete, the program must still wait for a key.
        name, new = next(iter(row.get("after", {"": None}).items()))
        path = os.path.join(folder, name)
        if new and not interrupted:
            rc.wait_until(lambda: os.path.exists(path) and open(path, "rb").read() ==
                          rc.pieces(new, folder), "the new file", run.program)
            time.sleep(0.3)
        if not interrupted:
            check(run.program.poll(), None, "ended without waiting for the last key")
            run.type("\n")
        check(run.program.wait(timeout=30), 1, "exit status")
        run.stdout.seek(0)
        if "stdout" in row:
            expected = rc.text(row["stdout"].replace("$DIR", "Z:" + folder.replace("/", "\\")))
            check(run.stdout.read(), expected.replace(b"\n", b"\r\n"), "standard output")
        check.files(folder, before, row)
        for name in (args[0] for action, *args in row["actions"] if action == "hidden"):
            check(int(os.getxattr(os.path.join(folder, name), "user.DOSATTRIB"), 16) & 2, 2, "hidden kept")
    finally:
        for process in (run.program, run.holder):
            if process and process.poll() is None:
                process.kill()
                process.wait(timeout=30)


def main():
    missing = [t for t in ("wine", "wineboot", "wineserver", "xdotool") if not shutil.which(t)]
    if missing or "DISPLAY" not in os.environ:
        print("NOTICE: the Wine dialog tests were skipped: they need xvfb-run and " +
              ", ".join(missing or ["wine"]))
        return 77
    scratch = tempfile.mkdtemp(prefix="qv-wine-")
    ENV.update(WINEPREFIX=os.environ.get("QV_WINEPREFIX") or os.path.join(scratch, "prefix"),
               HOME=os.environ.get("HOME", scratch))
    # A new prefix needs the full first start; wineserver -w waits until all of it is gone,
    # so that no stray window meets the first row.
    fresh = not os.path.exists(os.path.join(ENV["WINEPREFIX"], "system.reg"))
    subprocess.run(["wineboot"] + (["-u"] if fresh else []), env=ENV, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=240, check=True)
    subprocess.run(["wineserver", "-w"], env=ENV, timeout=240, check=True)
    try:
        return rc.run_all([row for row in rc.CASES["cases"] if row["group"] == "wine"],
                          lambda row, check: run_row(row, check, scratch), 1)
    finally:
        for args in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(args, env=ENV, timeout=30, stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
