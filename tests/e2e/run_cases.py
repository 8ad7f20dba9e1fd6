#!/usr/bin/env python3
# Runs the built programs on the rows of cases.json whose group is named on the command
# line (console, terminal, desktop; tests/windows/test_dialogs.py runs group wine).
#
# A row fills a scratch folder (its "files", the patch among them, its bytes written out
# one operation to a text, or made by the tool from the arguments of "make"), runs the
# applier (or the "program" "real", with real pauses, or "tool", quorvalex) with the
# given arguments and standard input or "steps", and checks the exit status (1, or the
# row's "status"), standard output and error byte for byte, the pauses, the dialogs shown
# and every file of the folder afterwards. Texts such as "{ChooseNew:b.dat}" are the
# program's messages from frontend/messages.h, filled in (several texts separated by
# "|"), or the macros of cases.json; "{3000*o}" is 3000 o's and "{16*ab}" 16 times
# "ab" (any text without braces, such as an operation of a patch); "$DIR" is the scratch
# folder, "$WINDIR" the same as Wine names it; a text is one byte a character, but UTF-8
# when it has a character beyond that (a name such as "Ωmega.dat"), as are the arguments,
# which are filled in too. Standard input, output and error may be lists of texts, joined
# before they are filled in, so that a long one splits anywhere.
# A temporary file's random name, in the output and the folder, reads .quorvalex-XXXXXX.
# With "tmpfs" the scratch folder is a file system of that many bytes, and with
# "failing_call" the program runs under strace, every call of that name failing; rows
# that cannot (without root, or strace) are skipped with a notice.
import ast, contextlib, json, os, pty, random, re, resource, select, shutil, signal, subprocess, sys, tempfile, time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = {name: [os.environ.get("QV_" + variable, "")] for name, variable in
            {"apply": "APPLY", "real": "APPLY_REAL", "tool": "TOOL"}.items()}
STRINGS = r'"(?:[^"\\]|\\.)*"'
MESSAGES = {name: "".join(ast.literal_eval(s) for s in re.findall(STRINGS, body)) for name, body in re.findall(
    r"k(\w+)\[\] =\s*((?:%s\s*)+);" % STRINGS, open(os.path.join(HERE, "../../frontend/messages.h")).read())}
CASES = json.load(open(os.path.join(HERE, "cases.json")))
PATCH = MESSAGES["PatchFileName"]
ORIGINAL = bytes(range(256)) * 8  # every byte value, so that text-mode reads would show
# The stand-in dialog: records its arguments and answers, one line per showing, as told:
# cancel, segv, exitN (printing a folder first), wait (a minute, its number in dialog-pid),
# or the path to print, in two writes.
STAND_IN = r"""#!/bin/sh
PATH=/usr/bin:/bin && cd "$(dirname "$0")" && n=$(ls | grep -c '^call-')
printf '%s\n' "$@" > "call-$n" && answer=$(sed -n "$((n + 1))p" answers)
case $answer in cancel) exit "$ZENITY_CANCEL" ;; segv) kill -SEGV $$ ;; exit*) pwd; exit "${answer#exit}" ;; esac
[ "$answer" = wait ] && echo $$ > pid && mv pid dialog-pid && exec sleep 60
printf '%s\n' "$answer" | head -c 1; sleep 0.1; printf '%s\n' "$answer" | tail -c +2
"""


def filled(template, folder=""):
    # A row's text (or texts, joined): repeats made, macros and messages filled in, $DIR
    # replaced.
    template = re.sub(r"\{(\d+)\*([^{}]+)\}", lambda m: m[2] * int(m[1]), "".join(template))
    while "{" in template:
        template = re.sub(r"\{(\w+)(?::([^{}]*))?\}", lambda m: CASES["macros"].get(m[1]) or
                          MESSAGES[m[1]] % tuple((m[2] or "").split("|")[:MESSAGES[m[1]].count("%s")]),
                          template)
    return template.replace("$WINDIR", "Z:" + folder.replace("/", "\\")).replace("$DIR", folder)


def text(template, folder=""):
    # The text as bytes, one a character, or in UTF-8 when a character is beyond that.
    template = filled(template, folder)
    return template.encode("latin-1" if max(map(ord, template), default=0) < 256 else "utf-8")


def arguments(values, folder):
    # Command-line arguments, filled in, as the file system spells names.
    return [os.fsencode(filled(value, folder)) for value in values]


def expand(value, folder):
    # The texts of a row's value (a text, or lists of them) as bytes; numbers as they are.
    return text(value, folder) if isinstance(value, str) else [expand(v, folder) for v in value] \
        if isinstance(value, list) else value


def pieces(content, folder):
    # File content: a text, or a list of texts and [start, end] slices of ORIGINAL, or
    # "<repo PATH>", a file of the repository.
    return b"".join(ORIGINAL[p[0]:p[1]] if isinstance(p, list) else open(os.path.join(HERE, "../..", p[6:-1]), "rb").read()
                    if p.startswith("<repo ") else text(p, folder) for p in (content if isinstance(content, list) else [content]))


def fill(folder, row):
    # Makes the row's files: their content, or "<dir>", "<fifo>", "<link NAME>" (a hard
    # link), "<symlink TARGET>", "<sparse SIZE>" (a size, but nothing to read from disk),
    # "<random SIZE SEED>" (a shorter one with the same seed is the start of a longer one),
    # "<repo PATH>"; then the patch.
    kinds = {"dir": lambda _, path: os.mkdir(path), "fifo": lambda _, path: os.mkfifo(path),
             "link": lambda name, path: os.link(os.path.join(folder, name), path),
             "symlink": os.symlink, "sparse": lambda size, path: open(path, "wb").truncate(int(size)),
             "random": lambda size_seed, path: open(path, "wb").write(random.Random(int(size_seed.split()[1])).randbytes(int(size_seed.split()[0]))),
             "repo": lambda name, path: open(path, "wb").write(pieces("<repo %s>" % name, folder))}
    for name, content in row.get("files", {}).items():
        path, kind = os.path.join(folder, name), re.fullmatch(r"<(\w+) ?(.*)>", str(content))
        if kind:
            kinds[kind[1]](text(kind[2], folder).decode(), path)
        else:
            with open(path, "wb") as f:  # a number in the list is a hole of that many bytes
                for p in content if isinstance(content, list) else [content]:
                    f.seek(p, 1) if isinstance(p, int) else f.write(pieces([p], folder))
                f.truncate()
    if "make" in row:
        subprocess.run([*PROGRAMS["tool"], *arguments(row["make"], folder)], cwd=folder, check=True, stdout=subprocess.DEVNULL)


def temporary_named(name):
    return re.sub(rb"\.quorvalex-\w{6}", b".quorvalex-XXXXXX", name)


def listing(folder):
    # Every file below `folder`: its content (its size when large), or what it is; a
    # symbolic link is shown, not followed.
    def content(path):
        if os.path.islink(path) or not os.path.isfile(path):
            return b"<symlink %s>" % os.readlink(path).encode() if os.path.islink(path) else \
                b"<dir>" if os.path.isdir(path) else b"<fifo>"
        return b"%d bytes" % os.path.getsize(path) if os.path.getsize(path) > 1 << 24 else open(path, "rb").read()
    return {temporary_named(os.path.relpath(os.path.join(top, name), folder).encode()).decode(): content(os.path.join(top, name))
            for top, folders, files in os.walk(folder) for name in folders + files}


class Check:
    # Collects the differences from what a row expects.
    def __init__(self, label):
        self.failures, self.label = [], label

    def __call__(self, actual, expected, what):
        if actual != expected:
            self.failures.append("%s: %s\n  got      %r\n  expected %r" % (self.label, what, actual, expected))

    def files(self, folder, before, row):
        # The files as they were, but for the row's "after".
        after = {name: pieces(content, folder) for name, content in row.get("after", {}).items()}
        self(listing(folder), dict(before, **after), "files")


def run_all(rows, run, workers):
    # Runs each row, and prints every difference from what it expects; the exit status.
    def checked(row):
        check = Check(row["label"])
        try:
            run(row, check)
        except Exception as error:  # a step that failed, or a time-out
            check(repr(error), "", "run")
        return check.failures
    with ThreadPoolExecutor(workers) as pool:
        failures = sum(pool.map(checked, rows), [])
    print("\n".join(failures) or "%d rows passed" % len(rows))
    return 1 if failures else 0


def wait_until(condition, what, seconds=30):
    # Polls `condition` for so many seconds at the most.
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.02)


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30).stdout


def visible(title):
    # The visible windows named exactly `title` (the search takes a pattern, ignoring case).
    found = xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(title)).split()
    return [window for window in found if xdotool("getwindowname", window) == title + "\n"]


def answer(run, title, keys, typed=""):
    # Presses `keys` in the dialog `title` once it is shown, after typing a name over the one
    # given when the step says so, and waits until it is gone; presses the last key again
    # while it stays, since a toolkit can miss keys sent while it still sets itself up. A
    # dialog slow to close under load must not get the key again: once it is gone the key
    # would reach whatever window comes next, so the wait is long and the focus checked.
    wait_until(lambda: visible(title), "the dialog " + title)
    window = visible(title)[0]
    xdotool("windowfocus", "--sync", window)  # no window manager gives it the keys
    if typed:
        xdotool("key", "ctrl+a")
        xdotool("type", "--delay", "20", typed)
    xdotool("key", *keys.split())
    for _ in range(6):
        with contextlib.suppress(AssertionError):
            return wait_until(lambda: window not in visible(title), "a close", 5)
        focused = subprocess.run(["xdotool", "windowfocus", "--sync", window], capture_output=True, timeout=30)
        if focused.returncode != 0 or window not in visible(title):
            return None
        xdotool("key", keys.split()[-1])
    raise AssertionError("the dialog %s stayed open" % title)


# What a step can do besides typing, by name; the Wine runner adds its own.
ACTIONS = {"answer": answer}


@contextlib.contextmanager
def scratch_folder(row):
    # A new folder; with "tmpfs" a file system of that many bytes mounted on it, or None
    # where none can be mounted (mounting needs root).
    with tempfile.TemporaryDirectory(prefix="qv-e2e-") as scratch:
        if "tmpfs" in row and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % row["tmpfs"], "qv-e2e",
                                              scratch], stderr=subprocess.DEVNULL).returncode != 0:
            scratch = None
        try:
            yield scratch
        finally:
            if scratch and "tmpfs" in row:
                subprocess.run(["umount", scratch], check=True)


def under_strace(command, env, call):
    # The command with every call of that name failing with EIO; LeakSanitizer cannot run
    # in a traced program.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e", "inject=%s:error=EIO" % call, *command]


def run_row(row, check):
    with scratch_folder(row) as scratch, tempfile.TemporaryDirectory(prefix="qv-bin-") as bin_dir:
        if scratch is None or "failing_call" in row and not shutil.which("strace"):
            return print("SKIPPED: %s (it needs %s)" % (row["label"], "strace" if scratch else "root, to mount a tmpfs"))
        folder, log = os.path.realpath(scratch), os.path.join(bin_dir, "pauses")
        fill(folder, row)
        before, dialog = listing(folder), os.path.join(bin_dir, row.get("dialog_program", "zenity"))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(QV_PAUSE_LOG=log, **{k: text(v, folder).decode() for k, v in row.get("env", {}).items()})
        if "dialogs" in row:  # the stand-in as zenity, or as kdialog alone, or as nothing
            open(dialog, "w").write(STAND_IN)
            os.chmod(dialog, 0o755)
            open(os.path.join(bin_dir, "answers"), "wb").write(b"\n".join(expand(row["dialogs"], folder)) + b"\n")
            env["PATH"] = bin_dir
        if row.get("display"):  # real dialogs on this session's display
            env.update(DISPLAY=os.environ["DISPLAY"], HOME=bin_dir, GSETTINGS_BACKEND="memory")
        started, command = time.monotonic(), [*PROGRAMS[row.get("program", "apply")], *arguments(row.get("args", []), folder)]
        if "failing_call" in row:
            command = under_strace(command, env, row["failing_call"])
        stdout, stderr, status = (on_terminal if "steps" in row else on_pipes)(command, folder, env, row, check)
        stdout = temporary_named(stdout)
        check(time.monotonic() - started >= row.get("min_seconds", 0), True, "paused")  # the real pauses
        check(status, row.get("status", 1), "exit status")
        actual = {"stdout": stdout, "stderr": stderr, "pauses": [int(p) for p in open(log)] if os.path.exists(log)
                  else [], "calls": [open(os.path.join(bin_dir, "call-%d" % i), "rb").read().splitlines()
                                     for i in range(len([n for n in os.listdir(bin_dir) if n[:5] == "call-"]))]}
        for name in actual.keys() & row.keys():  # with "crlf", as written in text mode
            expected = (text if name[:3] == "std" else expand)(row[name], folder)
            check(actual[name], expected.replace(b"\n", b"\r\n") if row.get("crlf") else expected, name)
        check.files(folder, before, row)


def running(pid):
    # True while the process lives (a zombie has ended).
    with contextlib.suppress(FileNotFoundError):
        return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] != "Z"
    return False


def on_pipes(command, folder, env, row, check):
    # Runs the program with its standard input from a file, or with the descriptors of
    # "closed" closed (as with <&-). The signals of "ignored" are ignored from the start
    # (SIGHUP as under nohup). Those of "interrupt" are sent in turn once the new file has
    # begun to grow, or the stand-in dialog waits, and the ignored ones must not end the
    # program; a waiting dialog must end with it.
    def set_up():
        for fd in row.get("closed", []):
            os.close(fd)
        for name in row.get("ignored", []):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
        if "file_size_limit" in row:
            resource.setrlimit(resource.RLIMIT_FSIZE, (row["file_size_limit"],) * 2)
        for name, value in row.get("limits", {}).items():  # {"AS": bytes} limits the address space
            resource.setrlimit(getattr(resource, "RLIMIT_" + name), (value, value))
        if row.get("closed_stdout"):  # a pipe whose reader has gone, as after `| head -c 1`
            reader, writer = os.pipe()
            os.close(reader)
            os.dup2(writer, 1)
    stdin = tempfile.TemporaryFile()
    stdin.write(text(row.get("stdin", ""), folder))
    stdin.seek(0)
    child = subprocess.Popen(command, cwd=folder, env=env, stdin=stdin, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, preexec_fn=set_up)
    dialog = os.path.join(env["PATH"], "dialog-pid") if "dialogs" in row else ""  # a waiting stand-in's number
    try:
        if "interrupt" in row:
            wait_until(lambda: os.path.exists(dialog) if dialog else any(name.startswith(".quorvalex-")
                       and os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder)), "the run")
        for name in row.get("interrupt", "").split():
            check(child.poll(), None, "ended before " + name)
            child.send_signal(getattr(signal, name))
            time.sleep(0.5 if name in row.get("ignored", []) else 0)
        ended = (*child.communicate(timeout=120), child.returncode)
        if os.path.exists(dialog):
            wait_until(lambda: not running(int(open(dialog).read())), "the dialog to end", 5)
        return ended
    finally:
        child.kill()  # when a row failed; once the program has ended it does nothing


def on_terminal(command, folder, env, row, check):
    # Runs the program on a pseudo-terminal (in the background of it when the row says so;
    # on pipes when it says "pipe") and plays the row's steps: once a text has appeared so
    # many times, a text is typed or an action of ACTIONS taken. With "waits" the program
    # must still run that many seconds after each text awaited, before the step.
    if row.get("pipe"):
        child = subprocess.Popen(command, cwd=folder, env=env, stdin=subprocess.PIPE,
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
            os.execve(command[0], command, env)
        finally:
            os._exit(127)

    def ended():  # the exit status once the program has ended, else None
        done, wait_status = os.waitpid(pid, os.WNOHANG)
        return os.waitstatus_to_exitcode(wait_status) if done else None

    def play(typed):  # a text typed, or an action with its arguments
        if isinstance(typed, str):
            return os.write(writer, text(typed, folder))
        ACTIONS[typed[0]](run, *(text(a, folder).decode() if isinstance(a, str) else a for a in typed[1:]))
    run, seen, status, end, steps = {"folder": folder, "pid": pid}, b"", None, time.time() + 60, row["steps"]
    try:
        while time.time() < end:
            if status is None and steps and seen.count(text(steps[0][0])) >= steps[0][1]:
                time.sleep(row.get("waits", 0) if steps[0][0] else 0)
                status = ended()
                if status is None:
                    play(steps[0][2])
                    steps = steps[1:]
            data = b""
            with contextlib.suppress(OSError):  # EIO: the terminal is gone
                data = os.read(reader, 65536) if select.select([reader], [], [], 0.1)[0] else b""
            seen, status = seen + data, ended() if status is None else status
            if status is not None and not data:
                break
    finally:
        if status is None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        for fd in {reader, writer}:
            os.close(fd)
    check([shown for shown, _, _ in steps], [], "steps not played (ended or timed out)")
    for shown, count in row.get("counts", {}).items():
        check(seen.count(text(shown)), count, "times shown: " + shown)
    return seen, b"", status


if __name__ == "__main__":
    # The real dialogs need zenity, xdotool and a display (xvfb-run).
    real_dialogs = shutil.which("zenity") and shutil.which("xdotool") and "DISPLAY" in os.environ
    # A sanitizer's shadow memory does not fit a limited address space (QV_SANITIZED).
    rows = [row for row in CASES["cases"] if row["group"] in sys.argv[1:] and not
            ("QV_SANITIZED" in os.environ and "AS" in row.get("limits", {}))]
    print("" if real_dialogs or not any(row.get("display") for row in rows) else "SKIPPED: the real dialogs")
    sys.exit(run_all([row for row in rows if real_dialogs or not row.get("display")], run_row, 4))
