#!/usr/bin/env python3
# The Windows build under Wine on a display of its own (run under xvfb-run): the rows of
# group "wine" in tests/e2e/cases.json, whose actions answer the program's real open and
# save dialogs with keystrokes as a player would. Needs QV_WINDOWS_EXE, QV_HOLD_FILE
# (hold-file.exe) and QV_MAKE_PATCH (the Linux patch writer), and Wine and xdotool; exits
# with status 77 (skipped) without them. QV_WINEPREFIX=DIR keeps the Wine prefix.
import os, select, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_cases as rc  # noqa: E402

EXE, HOLD_FILE = os.environ.get("QV_WINDOWS_EXE", ""), os.environ.get("QV_HOLD_FILE", "")
STEP = 30  # seconds for any one wait: a window, a file, the program's exit


class Run:
    # One row: the program under Wine in a scratch folder, its input a pipe of ours.

    def __init__(self, env, scratch, row):
        self.env, self.row, self.answered, self.window = env, row, set(), None
        self.folder = tempfile.mkdtemp(prefix="run-", dir=scratch)
        rc.fill(self.folder, row)
        self.before = rc.listing(self.folder)
        self.stdout = tempfile.TemporaryFile()
        self.program = self.spawn(EXE, stdout=self.stdout)
        self.holder = None

    def spawn(self, exe, *args, stdout):
        return subprocess.Popen(["wine", exe, *args], cwd=self.folder, env=self.env,
                                stdin=subprocess.PIPE, stdout=stdout, stderr=subprocess.DEVNULL)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=STEP).stdout

    def visible(self, title, answered_too=False):
        # The visible windows named exactly `title` (the search ignores case).
        found = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % "".join(
            "\\" + c if c in "[]\\.*^$+?(){}|" else c for c in title)).split()
        return [w for w in found if (answered_too or w not in self.answered) and
                self.xdotool("getwindowname", w) == title + "\n"]

    def wait_for(self, condition, what):
        deadline = time.monotonic() + STEP
        while not condition():
            assert time.monotonic() < deadline, "timed out waiting for " + what
            assert self.program.poll() is None, "the program ended waiting for " + what
            time.sleep(0.05)

    def act(self, action, title=None, *args):
        title = title and rc.text(title).decode()
        if action == "answer":  # [title, key, name typed over the pre-filled one]
            self.wait_for(lambda: self.visible(title), "the dialog " + title)
            self.window = self.visible(title)[0]
            # Without a window manager keys go nowhere until the dialog has the focus.
            self.xdotool("windowfocus", "--sync", self.window)
            if len(args) > 1:
                self.xdotool("key", "ctrl+a")
                self.xdotool("type", "--delay", "20", args[1])
            self.xdotool("key", *args[0].split())
            self.answered.add(self.window)
        elif action == "gap":  # the next dialog `title` comes at least args[0] s later
            self.wait_for(lambda: self.window not in self.visible(title, True), "a close")
            closed = time.monotonic()
            self.wait_for(lambda: self.visible(title), "the dialog " + title)
            assert time.monotonic() - closed >= args[0], "shown again too soon"
        elif action == "absent":  # not shown again within args[0] s
            time.sleep(args[0])
            assert not self.visible(title), title + " shown again too soon"
        elif action == "type":
            self.program.stdin.write(rc.text(title).replace(b"\n", b"\r\n"))
            self.program.stdin.flush()
        elif action == "hold":  # held open by another program, as a running game does
            self.holder = self.spawn(HOLD_FILE, title, stdout=subprocess.PIPE)
            ready = select.select([self.holder.stdout], [], [], STEP)[0]
            assert ready and self.holder.stdout.readline() == b"holding\r\n"
        elif action == "release":
            self.holder.stdin.close()
            assert self.holder.wait(timeout=STEP) == 0
        elif action == "file":
            assert open(os.path.join(self.folder, title), "rb").read() == rc.text(args[0])
        elif action == "hidden":  # how Wine keeps the attribute: set, then see it kept
            os.setxattr(os.path.join(self.folder, title), "user.DOSATTRIB", b"0x2")
        elif action == "interrupt":  # Ctrl-C once the new file `title`* has begun to grow
            self.wait_for(lambda: any(name.startswith(title) and os.path.getsize(
                os.path.join(self.folder, name)) for name in os.listdir(self.folder)), "a rebuild")
            self.program.send_signal(signal.SIGINT)  # Wine hands it on as a CTRL_C_EVENT

    def finish(self, check):
        # Sees the new file complete and the program waiting for a key, presses Enter.
        name, new = next(iter(self.row.get("after", {"": None}).items()))
        interrupted = any(action[0] == "interrupt" for action in self.row["actions"])
        if new and not interrupted:
            path = os.path.join(self.folder, name)
            self.wait_for(lambda: os.path.exists(path) and
                          open(path, "rb").read() == rc.pieces(new, self.folder), "the new file")
            time.sleep(0.3)
            check(self.program.poll(), None, "ended without waiting for the last key")
        if not interrupted:
            self.act("type", "\n")
        check(self.program.wait(timeout=STEP), 1, "exit status")
        self.stdout.seek(0)
        where = "Z:" + self.folder.replace("/", "\\")
        if "stdout" in self.row:
            expected = rc.text(self.row["stdout"].replace("$DIR", where)).replace(b"\n", b"\r\n")
            check(self.stdout.read(), expected, "standard output")
        check.files(self.folder, self.before, self.row)
        for name in (a[1] for a in self.row["actions"] if a[0] == "hidden"):
            attributes = os.getxattr(os.path.join(self.folder, name), "user.DOSATTRIB")
            check(int(attributes, 16) & 2, 2, "hidden kept")

    def stop(self):
        for process in (self.program, self.holder):
            if process and process.poll() is None:
                process.kill()
                process.wait(timeout=STEP)
        self.stdout.close()


def main():
    missing = [t for t in ("wine", "wineboot", "wineserver", "xdotool") if not shutil.which(t)]
    if missing or "DISPLAY" not in os.environ:
        print("NOTICE: the Wine dialog tests were skipped: they need xvfb-run and " +
              ", ".join(missing or ["wine"]))
        return 77
    scratch = tempfile.mkdtemp(prefix="qv-wine-")
    prefix = os.environ.get("QV_WINEPREFIX") or os.path.join(scratch, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", HOME=os.environ.get("HOME", scratch))
    # A new prefix needs the full first start; wineserver -w waits until all of it is gone,
    # so that no stray window meets the first row.
    fresh = not os.path.exists(os.path.join(prefix, "system.reg"))
    subprocess.run(["wineboot"] + (["-u"] if fresh else []), env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=240, check=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=240, check=True)
    check, rows = rc.Check(), [r for r in rc.CASES["cases"] if r["group"] == "wine"]
    try:
        for row in rows:
            check.label, started, run = row["label"], time.monotonic(), Run(env, scratch, row)
            try:
                for action in row["actions"]:
                    run.act(*action)
                run.finish(check)
            except AssertionError as error:
                check(str(error), "", "actions")
            finally:
                run.stop()
            print("%s: %.1f s" % (row["label"], time.monotonic() - started))
    finally:
        for args in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(args, env=env, timeout=STEP, stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)
    return check.report(len(rows))


if __name__ == "__main__":
    sys.exit(main())
