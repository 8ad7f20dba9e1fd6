#!/usr/bin/env python3
# The Windows build under Wine on a display of its own (run under xvfb-run): the rows of
# group "wine" in tests/e2e/cases.json, run by the end-to-end runner, whose steps answer
# the program's real open and save dialogs with keystrokes as a player would; the actions
# below are the ones only Wine needs; a row of the tool runs quorvalex.exe. Needs
# QV_WINDOWS_EXE, QV_HOLD_FILE (hold-file.exe), QV_WINDOWS_TOOL when the tool is built,
# and Wine and xdotool; exits with status 77 (skipped) without them. QV_WINEPREFIX=DIR
# keeps the Wine prefix.
import os, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_cases as rc  # noqa: E402


def gap(run, title, seconds):  # the dialog `title`, just answered, is shown again `seconds` later or more
    closed = time.monotonic()
    rc.wait_until(lambda: rc.visible(title), "the dialog " + title)
    assert time.monotonic() - closed >= seconds, title + " shown again too soon"


def absent(run, title, seconds):  # or not shown again within `seconds`
    time.sleep(seconds)
    assert not rc.visible(title), title + " shown again too soon"


def hold(run, name):  # held open by another program, as a running game does
    run["holder"] = subprocess.Popen(["wine", os.environ["QV_HOLD_FILE"], name], cwd=run["folder"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    assert run["holder"].stdout.readline() == b"holding\r\n", "hold-file"


def release(run):
    run["holder"].stdin.close()
    assert run["holder"].wait(timeout=30) == 0, "hold-file"


def file(run, name, content):
    assert open(os.path.join(run["folder"], name), "rb").read() == content.encode(), name + " changed"


def hide(run, name):  # hidden as Wine keeps the attribute
    os.setxattr(os.path.join(run["folder"], name), "user.DOSATTRIB", b"0x2")


def hidden(run, name):
    assert int(os.getxattr(os.path.join(run["folder"], name), "user.DOSATTRIB"), 16) & 2, name + " shown"


def interrupt(run, prefix):
    # Ctrl-C (a CTRL_C_EVENT through Wine) once the new file `prefix`* has begun to grow. It
    # must go; Wine removes a file deleted while open only once the process has ended.
    def new_files():
        return [os.path.join(run["folder"], name) for name in os.listdir(run["folder"]) if name.startswith(prefix)]
    rc.wait_until(lambda: any(map(os.path.getsize, new_files())), "a rebuild")
    os.kill(run["pid"], signal.SIGINT)
    rc.wait_until(lambda: not new_files(), "the new file to go")


def main():
    missing = [t for t in ("wine", "wineboot", "wineserver", "xdotool") if not shutil.which(t)]
    if missing or "DISPLAY" not in os.environ:
        print("NOTICE: the Wine dialog tests were skipped: they need xvfb-run and " + ", ".join(missing or ["wine"]))
        return 77
    rc.ACTIONS.update({action.__name__: action for action in (gap, absent, hold, release, file, hide, hidden, interrupt)})
    rc.PROGRAMS.update(apply=["wine", os.environ["QV_WINDOWS_EXE"]], tool=["wine", os.environ.get("QV_WINDOWS_TOOL")])
    # The tool's .exe is built only where libdivsufsort could be built for Windows.
    rows = [row for row in rc.CASES["cases"] if row["group"] == "wine" and
            (row.get("program") != "tool" or os.environ.get("QV_WINDOWS_TOOL"))]
    with tempfile.TemporaryDirectory(prefix="qv-wine-", ignore_cleanup_errors=True) as scratch:
        os.environ.update(WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                          WINEPREFIX=os.environ.get("QV_WINEPREFIX") or os.path.join(scratch, "prefix"))
        # A new prefix needs the full first start; wineserver -w waits until all of it is
        # gone, so that no stray window meets the first row.
        fresh = not os.path.exists(os.path.join(os.environ["WINEPREFIX"], "system.reg"))
        subprocess.run(["wineboot"] + (["-u"] if fresh else []), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=240, check=True)
        subprocess.run(["wineserver", "-w"], timeout=240, check=True)
        try:
            return rc.run_all(rows, rc.run_row, 1)
        finally:
            for args in (["wineserver", "-k"], ["wineserver", "-w"]):
                subprocess.run(args, timeout=30, stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    sys.exit(main())
