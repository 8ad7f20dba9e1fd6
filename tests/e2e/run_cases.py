#!/usr/bin/env python3
# Runs the built program on the rows of cases.json whose group is named on the command
# line (console, terminal, desktop), and the bad-input catalogue with the console group.
#
# A row builds a patch (make-patch arguments, or the raw bytes), fills a scratch folder,
# runs the program with the given standard input and checks its standard output and error
# byte for byte, its pauses, exit status 1 and every file of the folder afterwards. Texts
# such as "{ChooseNew:b.dat}" are the program's messages from frontend/messages.h, filled
# in (several texts separated by "|"), or the macros of cases.json; "$DIR" is the scratch
# folder.
import ast, concurrent.futures, json, os, pty, re, resource, select, shutil, signal, subprocess, sys, tempfile, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data", "bad")
APPLY, MAKE_PATCH = os.environ.get("QV_APPLY", ""), os.environ.get("QV_MAKE_PATCH", "")
with open(os.path.join(HERE, "..", "..", "frontend", "messages.h")) as f:
    MESSAGES = {name: "".join(ast.literal_eval(s) for s in re.findall(r'"(?:[^"\\]|\\.)*"', body))
                for name, body in re.findall(r"k(\w+)\[\] =\s*([^;]*);", f.read())}
with open(os.path.join(HERE, "cases.json")) as f:
    CASES = json.load(f)
PATCH = MESSAGES["PatchFileName"]
ORIGINAL = bytes(range(256)) * 8  # every byte value, so that text-mode reads would show
# The stand-in dialog: records its arguments and answers, one line per showing, as told:
# cancel, segv, exitN (printing a folder first), or the path to print, in two writes.
STAND_IN = r"""#!/bin/sh
PATH=/usr/bin:/bin
cd "$(dirname "$0")"
n=$(ls | grep -c '^call-')
printf '%s\n' "$@" > "call-$n"
answer=$(sed -n "$((n + 1))p" answers)
case $answer in
  cancel) exit "$ZENITY_CANCEL" ;;
  segv) kill -SEGV $$ ;;
  exit*) pwd; exit "${answer#exit}" ;;
  *) printf '%s\n' "$answer" | head -c 1; sleep 0.1; printf '%s\n' "$answer" | tail -c +2 ;;
esac
"""


def text(template, folder=""):
    # A row's text as bytes: macros and messages filled in, $DIR replaced.
    while isinstance(template, str) and "{" in template:
        template = re.sub(r"\{(\w+)(?::([^{}]*))?\}", lambda m: CASES["macros"].get(m[1]) or
                          MESSAGES[m[1]] % tuple((m[2] or "").split("|")[:MESSAGES[m[1]].count("%s")]),
                          template)
    return template.replace("$DIR", folder).encode("latin-1") if isinstance(template, str) else template


def pieces(content, folder):
    # File content: a text, or a list of texts and [start, end] slices of ORIGINAL.
    return b"".join(ORIGINAL[p[0]:p[1]] if isinstance(p, list) else text(p, folder)
                    for p in (content if isinstance(content, list) else [content]))


def fill(folder, row):
    for name, content in row.get("files", {}).items():
        path = os.path.join(folder, name)
        if content == "<dir>":
            os.mkdir(path)
        elif str(content).startswith("<link "):
            os.link(os.path.join(folder, content[6:-1]), path)
        elif str(content).startswith("<sparse "):  # a size, but nothing to read from disk
            open(path, "wb").truncate(int(content[8:-1]))
        else:
            open(path, "wb").write(pieces(content, folder))
    if "patch" in row:
        subprocess.run([MAKE_PATCH, os.path.join(folder, PATCH), *map(text, row["patch"])], check=True)
    elif "patch_bytes" in row:
        open(os.path.join(folder, PATCH), "wb").write(text(row["patch_bytes"]))


def listing(folder):
    # Every file below `folder` with its content (its size when large); None for a folder.
    def content(path):
        size = os.path.getsize(path)
        return "%d bytes" % size if size > 1 << 24 else open(path, "rb").read()
    return {os.path.relpath(os.path.join(top, name), folder):
            None if name in folders else content(os.path.join(top, name))
            for top, folders, files in os.walk(folder) for name in folders + files}


class Check:
    # Collects the differences from what a row expects.
    def __init__(self, label=""):
        self.failures, self.label = [], label

    def __call__(self, actual, expected, what):
        if actual != expected:
            self.failures.append("%s: %s\n  got      %r\n  expected %r" %
                                 (self.label, what, actual, expected))

    def files(self, folder, before, row):
        # The files as they were, but for the row's "after" (null: any content).
        now = listing(folder)
        after = dict(before, **{k: v and pieces(v, folder) for k, v in row.get("after", {}).items()})
        self(now, {k: now.get(k, "missing") if v is None else v for k, v in after.items()}, "files")

    def report(self, rows):
        print("\n".join(self.failures) or "%d rows passed" % rows)
        return 1 if self.failures else 0


def run_row(row, check):
    with tempfile.TemporaryDirectory(prefix="qv-e2e-") as scratch, \
            tempfile.TemporaryDirectory(prefix="qv-bin-") as bin_dir:
        folder = os.path.realpath(scratch)
        fill(folder, row)
        before = listing(folder)
        log = os.path.join(bin_dir, "pauses")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(QV_PAUSE_LOG=log, **{k: text(v, folder).decode() for k, v in row.get("env", {}).items()})
        program = os.environ["QV_APPLY_REAL"] if row.get("real") else APPLY
        if "dialogs" in row:  # the stand-in as zenity, as kdialog alone, or nothing
            if row.get("dialog_program", "zenity"):
                open(os.path.join(bin_dir, row.get("dialog_program", "zenity")), "w").write(STAND_IN)
                os.chmod(os.path.join(bin_dir, row.get("dialog_program", "zenity")), 0o755)
            open(os.path.join(bin_dir, "answers"), "wb").write(
                b"".join(text(a, folder) + b"\n" for a in row["dialogs"]))
            env["PATH"] = bin_dir
        if "accept" in row:  # the real dialogs on this session's display
            env.update(DISPLAY=os.environ["DISPLAY"], HOME=bin_dir, GSETTINGS_BACKEND="memory")
            threading.Thread(target=accept, args=(row["accept"],), daemon=True).start()
        if "steps" in row:
            stdout, stderr, status = on_terminal(program, folder, env, row, check)
        elif "interrupt" in row:
            stdout, stderr, status = interrupted(program, folder, env, row, check)
        else:
            reader, writer = os.pipe() if row.get("closed_stdout") else (None, subprocess.PIPE)
            if reader:  # standard output a pipe whose reader has gone, as after `| head -c 1`
                os.close(reader)
            started = time.monotonic()
            done = subprocess.run([program, *row.get("args", [])], cwd=folder, env=env, timeout=120,
                                  input=text(row.get("stdin", ""), folder), stdout=writer,
                                  stderr=subprocess.PIPE, preexec_fn=limit(row.get("file_size_limit")),
                                  restore_signals="file_size_limit" not in row)
            stdout, stderr, status = done.stdout or b"", done.stderr, done.returncode
            if "min_seconds" in row:  # the real pauses
                check(time.monotonic() - started >= row["min_seconds"], True, "paused")
            if reader:
                os.close(writer)
        check(status, 1, "exit status")
        for name, actual in (("stdout", stdout), ("stderr", stderr)):
            if name in row:
                check(actual, text(row[name], folder), name)
        if "stdout_ends" in row:
            ending = text(row["stdout_ends"])
            check(stdout[-len(ending):], ending, "end of stdout")
            check(re.findall(rb"[\x00-\x09\x0b-\x1f\x7f]", stdout + stderr), [], "control bytes")
        if "pauses" in row:
            pauses = open(log).read().split() if os.path.exists(log) else []
            check(pauses, [str(p) for p in row["pauses"]], "pauses")
        if "calls" in row:
            calls = [open(os.path.join(bin_dir, "call-%d" % i)).read().splitlines()
                     for i in range(len([n for n in os.listdir(bin_dir) if n.startswith("call-")]))]
            check(calls, [[text(a, folder).decode() for a in call] for call in row["calls"]], "dialogs")
        check.files(folder, before, row)


def limit(size):
    # A child setup under which files stop growing at `size` bytes (EFBIG, no signal).
    return size and (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size)))


def interrupted(program, folder, env, row, check):
    # Sends the row's signals in turn once the new file has begun to grow; those that the
    # row's "ignored" names are ignored from the start and must not end the program.
    ignored = [getattr(signal, name) for name in row.get("ignored", [])]
    child = subprocess.Popen([program], cwd=folder, env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: [signal.signal(s, signal.SIG_IGN) for s in ignored])
    child.stdin.write(text(row.get("stdin", ""), folder))
    child.stdin.close()
    deadline = time.time() + 30
    while time.time() < deadline and not any(
            name.startswith(".quorvalex-") and os.path.getsize(os.path.join(folder, name))
            for name in os.listdir(folder)):
        time.sleep(0.01)
    for name in row["interrupt"].split():
        check(child.poll(), None, "ended before " + name)
        child.send_signal(getattr(signal, name))
        time.sleep(0.5 if name in row.get("ignored", []) else 0)
    return child.stdout.read(), child.stderr.read(), child.wait(timeout=30)


def accept(titles):
    # Presses Return in each real dialog in turn, once it is shown, until it is gone.
    for title in (text(title).decode() for title in titles):
        def xdotool(*args, timeout=10):
            return subprocess.run(["xdotool", *args], capture_output=True, timeout=timeout)
        window = xdotool("search", "--sync", "--onlyvisible", "--name", title, timeout=60).stdout.split()
        for _ in range(40):
            if not window or xdotool("search", "--onlyvisible", "--name", title).returncode:
                break
            xdotool("windowfocus", "--sync", window[0])
            xdotool("key", "Return")
            time.sleep(0.5)


def on_terminal(program, folder, env, row, check):
    # Runs the program on a pseudo-terminal (in the background of it when the row says so;
    # on pipes when it says "pipe") and plays the row's steps: what appears, how often by
    # then, what is typed. With "waits" the program must still run that many seconds after
    # each prompt, before the answer.
    if row.get("pipe"):
        child = subprocess.Popen([program], cwd=folder, env=env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        pid, reader, writer = child.pid, child.stdout.fileno(), child.stdin.fileno()
    else:
        pid, reader = pty.fork()
        writer = reader
    if pid == 0:
        try:
            os.chdir(folder)
            if row.get("background"):  # a background job cannot read its terminal
                signal.signal(signal.SIGTTIN, signal.SIG_IGN)
                if os.fork():
                    os._exit(os.waitstatus_to_exitcode(os.wait()[1]))
                os.setpgid(0, 0)
            os.execve(program, [program], env)
        finally:
            os._exit(127)
    seen, status, end = b"", None, time.time() + 30
    steps = [(text(shown), count, text(typed)) for shown, count, typed in row["steps"]]
    while status is None and time.time() < end:
        while status is None and steps and seen.count(steps[0][0]) >= steps[0][1]:
            if row.get("waits"):
                time.sleep(row["waits"])
                done, wait_status = os.waitpid(pid, os.WNOHANG)
                status = os.waitstatus_to_exitcode(wait_status) if done else None
                check(status, None, "ended instead of waiting for %r" % steps[0][2])
            os.write(writer, steps.pop(0)[2])
        while select.select([reader], [], [], 0.1)[0]:
            try:
                data = os.read(reader, 65536)
            except OSError:
                break
            seen += data
            if not data:
                break
        done, wait_status = os.waitpid(pid, os.WNOHANG) if status is None else (0, 0)
        status = os.waitstatus_to_exitcode(wait_status) if done else status
    if status is None:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    for fd in {reader, writer}:
        os.close(fd)
    check([step for step in steps if seen.count(step[0]) < step[1]], [], "steps not reached")
    for shown, count in row.get("counts", {}).items():
        check(seen.count(text(shown)), count, "times shown: " + shown)
    return seen, b"", status


def catalogue():
    # Each bad input through the whole program: it ends with the message for its outcome,
    # and nothing but a complete new file changes anything.
    endings = {"complete": "{Complete}", "not_valid": "{NotValid}", "damaged_patch": "{NotValid}",
               "no_new_name": "{NotValidAfterName}", "wrong_original": "{WrongOriginal}"}
    for name, outcome in (line.split() for line in open(os.path.join(DATA, "outcomes.txt"))):
        data = open(os.path.join(DATA, name), "rb").read()
        length, literal = int.from_bytes(data[:3], "little"), int.from_bytes(data[3:5], "little")
        yield {"label": name, "files": {"orig.bin": data[5:5 + length], "out.bin": b"old"},
               "patch_bytes": data[5 + literal:], "stdin": "orig.bin\nout.bin\n\n\n",
               "stdout_ends": text(endings[outcome].replace("}", ":" + PATCH + "}")),
               "after": {"out.bin": None if outcome == "complete" else b"old"}}


def run_checked(row):
    check = Check(row["label"])
    if "accept" in row and not (shutil.which("zenity") and shutil.which("xdotool") and
                                "DISPLAY" in os.environ):
        print("SKIPPED (needs zenity, xdotool and xvfb-run): " + row["label"])
    else:
        run_row(row, check)
    return check.failures


def main(groups):
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # inherited: the limit gives EFBIG
    rows = [row for row in CASES["cases"] if row["group"] in groups]
    rows += list(catalogue()) if "console" in groups else []
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        check = Check()
        check.failures = sum(pool.map(run_checked, rows), [])
    return check.report(len(rows))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
