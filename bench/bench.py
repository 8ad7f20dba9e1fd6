#!/usr/bin/env python3
"""bench.py apply|create [options]: the applier against dd, xdelta3 and bspatch, or the
creator against xdelta3, bsdiff and zstd, side by side in one run (bench/README.md), as
scripts/bench and scripts/bench-diff run it. Progress on standard error, tables on output."""
import argparse, filecmp, glob, json, os, pathlib, shlex, statistics, subprocess, sys, tarfile, tempfile, time

BUILD = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "bench")
MAKE, PROGRAM, QUORVALEX = f"{BUILD}/bench/qv-bench-make", f"{BUILD}/bench/qv-bench-program", f"{BUILD}/quorvalex"
MIB, GIB = 1 << 20, 1 << 30

# name: original and new size, copy lengths, insert lengths, chance of an insert after a
# copy (%), the delta tools that apply it too. bsdiff needs about 9 times the original in
# memory and minutes per 64 MiB; xdelta3 takes very long to encode 14 million pieces.
CASES = {
    "big-copy-64m": (64 * MIB, 64 * MIB, 64 << 10, 1 << 20, 1, 64, 100, ("xdelta3", "bspatch")),
    "small-op-64m": (64 * MIB, 64 * MIB, 8, 200, 1, 16, 43, ("xdelta3", "bspatch")),
    "big-copy-1g": (GIB, GIB, 64 << 10, 1 << 20, 1, 64, 100, ("xdelta3",)),
    "small-op-1g": (GIB, GIB, 8, 200, 1, 16, 43, ()),
}

# The tools that rebuild a case's new file, each into out.NAME (dd's are checked by their
# size only): label, what it needs, shell command run in the case's folder, exit status of
# a good run. The player's program runs in the folder of its patch; its two questions are
# answered on standard input (plain/answers, verified/answers), then the key press that
# ends it.
APPLY_TOOLS = [
    ("program", "", "cd plain && exec {program} < answers", 1),
    ("verified", "", "cd verified && exec {program} < answers", 1),
    ("program base", "baseline", "cd plain && exec {baseline}/qv-bench-program < answers", 1),
    ("apply plain", "", "exec {quorvalex} apply -f original.bin 'plain/Amber Reaches update.dat' out.apply-plain", 0),
    ("apply verified", "", "exec {quorvalex} apply -f original.bin 'verified/Amber Reaches update.dat' out.apply-verified",
     0),
    ("xdelta3 -d", "xdelta3", "exec xdelta3 -d -f -s original.bin patch.xd3 out.xdelta3", 0),
    ("bspatch", "bspatch", "exec bspatch original.bin out.bspatch patch.bsdiff", 0),
    ("dd", "", "exec dd if=original.bin of=out.dd bs=128K iflag=count_bytes count={size} status=none", 0),
    ("dd conv=fsync", "", "exec dd if=original.bin of=out.dd-fsync bs=128K iflag=count_bytes count={size} "
     "status=none conv=fsync", 0),
]

# The creator's peers: label, command words.
CREATE_PEERS = [
    ("xdelta3 -9 -N -S none -B size", "xdelta3 -e -f -9 -N -S none -B {size} -s {original} {new} {patch}"),
    ("xdelta3 (default)", "xdelta3 -e -f -s {original} {new} {patch}"),
    ("bsdiff", "bsdiff {original} {new} {patch}"),
    ("zstd -19 --long=27 --patch-from", "zstd -q -f -19 --long=27 --patch-from={original} {new} -o {patch}"),
]

# name, npm package, two releases, the file of the package compared
NPM_PAIRS = [
    ("esbuild-0.28", "@esbuild/linux-x64", "0.28.1", "0.28.2", "bin/esbuild"),
    ("swc-1.16", "@swc/core-linux-x64-gnu", "1.16.21", "1.16.22", "swc.linux-x64-gnu.node"),
    ("next-swc-16.4", "@next/swc-linux-x64-gnu", "16.4.5", "16.4.6", "next-swc.linux-x64-gnu.node"),
]


def say(text):
    print(text, file=sys.stderr, flush=True)


def run(argv, **options):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, text=True, **options).stdout


def ratio(a, b, digits=2):
    return f"{a / b:.{digits}f}" if a and b else "-"


def table(header, rows):
    lines = [header, ["---"] * len(header)] + rows
    return "\n".join("| " + " | ".join(map(str, line)) + " |" for line in lines)


def load_average():
    return " ".join(open("/proc/loadavg").read().split()[:3])


def machine():
    cpu = next((l.split(":")[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    return f"{cpu}, {os.cpu_count()} cores, load average {load_average()}"


def child_of(pid):
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    return int(entry)
        except (OSError, IndexError):
            pass


def rss_anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return next((int(l.split()[1]) for l in status if l.startswith("RssAnon:")), 0)
    except OSError:
        return 0


def timed(argv, cwd=None, sample=False):
    """Exit status, wall and CPU (user + system) time, peak RSS (KiB) of one run by /usr/bin/time,
    and with `sample` peak RssAnon (KiB), read every millisecond: Linux keeps no maximum of it."""
    with tempfile.NamedTemporaryFile("r") as report:
        process = subprocess.Popen(["/usr/bin/time", "-f", "%e %U %S %M", "-o", report.name] + argv, cwd=cwd,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tool, anon = None, 0
        while sample and process.poll() is None:
            tool = tool or child_of(process.pid)
            anon = max(anon, rss_anon_kib(tool) if tool else 0)
            time.sleep(0.001)
        process.wait()
        wall, user, system, rss = report.read().split()[-4:]
    return process.returncode, float(wall), float(user) + float(system), int(rss), anon


# ---- applying ----

def check_outputs(folder):
    """Compares every output in the case's folder with the expected new file (dd's by its
    size) and removes it; false, leaving it there, when one differs."""
    expected = f"{folder}/new.bin"
    for output in sorted(glob.glob(f"{folder}/out.*")):
        dd = os.path.basename(output).startswith("out.dd")
        if not (os.path.getsize(output) == os.path.getsize(expected) if dd else filecmp.cmp(output, expected, False)):
            say(f"{output} differs from the expected new file")
            return False
        os.remove(output)
    return True


def prepare_case(folder, name):
    """Makes the case's files once and keeps them; returns its operation count."""
    shape, stamp = CASES[name], f"{folder}/stamp"
    wanted = f"v2 {shape}"
    if os.path.exists(stamp) and open(stamp).readline().strip() == wanted:
        return int(open(stamp).read().split()[-1])
    say(f"generating {name} in {folder} (once; kept for later runs)")
    os.makedirs(folder, exist_ok=True)
    operations = int(run([MAKE, "case", folder, name] + [str(value) for value in shape[:7]]))
    if "xdelta3" in shape[7]:  # with a source window over the whole original
        run(["xdelta3", "-e", "-f", "-B", str(shape[0]), "-s", "original.bin", "new.bin", "patch.xd3"], cwd=folder)
    if "bspatch" in shape[7]:
        run(["bsdiff", "original.bin", "new.bin", "patch.bsdiff"], cwd=folder)
    pathlib.Path(stamp).write_text(f"{wanted}\n{operations}\n")
    return operations


def bench_case(args, name):
    folder, size, peers = f"{args.dir}/{name}", CASES[name][1], CASES[name][7]
    operations = prepare_case(folder, name)
    for kind in ("plain", "verified"):  # the program's questions: the original, the new file, the last key
        pathlib.Path(f"{folder}/{kind}/answers").write_text(f"../original.bin\n../out.{kind}\n\n")
    values = {"program": PROGRAM, "quorvalex": QUORVALEX, "baseline": args.baseline, "size": size}
    tools = [(label, command.format(**values), status) for label, needs, command, status in APPLY_TOOLS
             if needs in ("",) + peers or (needs == "baseline" and args.baseline)]
    prepare = f"{shlex.quote(sys.executable)} {shlex.quote(__file__)} check {shlex.quote(folder)} && sync"
    command = ["hyperfine", "--style", "none", "--warmup", "1", "--runs", str(args.runs),
               "--export-json", f"{folder}/hyperfine.json"]
    for label, shell, status in tools:
        command += ["--prepare", prepare, "-n", label, f"cd {shlex.quote(folder)} && ({shell}); test $? -eq {status}"]
    say(f"{name}: {len(tools)} tools, {args.runs} runs each after a warm-up run")
    if subprocess.run(command).returncode != 0 or not check_outputs(folder):
        sys.exit(f"{name}: a tool failed or wrote a wrong file")
    results = {r["command"]: r for r in json.load(open(f"{folder}/hyperfine.json"))["results"]}
    for label, shell, status in tools:
        subprocess.run(prepare, shell=True, check=True)
        got, _, _, rss, anon = timed(["sh", "-c", shell], folder, sample=True)
        if got != status or not check_outputs(folder):
            sys.exit(f"{name}: {label} failed in its memory run")
        results[label].update(anon=anon / 1024, rss=rss / 1024)
    print(f"\n{name}: {size / MIB:.0f} MiB new file, {operations} operations, {args.runs} runs\n")
    print(table(["tool", "fastest", "median", "CPU (user+sys)", "RssAnon", "peak RSS"],
                [[label, f"{r['min']:.3f} s", f"{r['median']:.3f} s", f"{r['user'] + r['system']:.3f} s",
                  f"{r['anon']:.1f} MiB", f"{r['rss']:.1f} MiB"] for label, r in results.items()]))
    fastest = lambda label: results[label]["min"] if label in results else 0
    cpu = lambda label: results[label]["user"] + results[label]["system"]
    return [name, operations, f"{fastest('program'):.3f} s", f"{fastest('dd conv=fsync'):.3f} s",
            ratio(fastest("program"), fastest("dd conv=fsync")), ratio(fastest("program"), fastest("xdelta3 -d")),
            ratio(fastest("verified"), fastest("program")), ratio(cpu("verified"), cpu("program")),
            ratio(fastest("apply verified"), fastest("apply plain")), ratio(fastest("program"), fastest("program base")),
            f"{max(results['program']['anon'], results['verified']['anon']):.1f} MiB"]


def bench_apply(args):
    names = args.case or [name for name in CASES if not args.quick or CASES[name][0] < GIB]
    print(f"machine: {machine()}; cases in {args.dir}")
    summary = [bench_case(args, name) for name in names]
    print("\nRatios of the fastest wall times; CPU: mean user + system time.\n")
    print(table(["case", "operations", "program", "dd conv=fsync", "program/(dd conv=fsync)",
                 "program/(xdelta3 -d)", "verified/program", "CPU verified/program",
                 "apply verified/plain", "program/(program base)", "RssAnon"], summary))


# ---- the creator ----

def fetch_pairs(folder):
    pairs = []
    for name, package, *versions, file in NPM_PAIRS:
        for version in versions:
            target = f"{folder}/{name}-{version}"
            if not os.path.exists(f"{target}/package/{file}"):
                say(f"fetching {package}@{version}")
                os.makedirs(target, exist_ok=True)
                packed = run(["npm", "pack", "--silent", f"{package}@{version}"], cwd=target).strip()
                with tarfile.open(f"{target}/{packed}") as archive:
                    archive.extractall(target)
        pairs.append([name] + [f"{folder}/{name}-{version}/package/{file}" for version in versions])
    wads = f"{folder}/freedoom/usr/share/games/doom"
    if not os.path.exists(f"{wads}/freedoom2.wad"):
        run(["apt-get", "download", "freedoom"], cwd=folder)
        run(["dpkg-deb", "-x", glob.glob(f"{folder}/freedoom_*.deb")[0], f"{folder}/freedoom"])
    pairs.append(["freedoom-1-to-2", f"{wads}/freedoom1.wad", f"{wads}/freedoom2.wad"])
    if not os.path.exists(f"{folder}/generated-100m.new"):
        say("generating generated-100m")
        run([MAKE, "pair", folder])
    return pairs + [["generated-100m", f"{folder}/generated-100m.old", f"{folder}/generated-100m.new"]]


def check_rebuilds(original, patch, new):
    out = patch + ".rebuilt"
    applied = subprocess.run([QUORVALEX, "apply", "-f", original, patch, out], stderr=subprocess.DEVNULL)
    if applied.returncode != 0 or not filecmp.cmp(out, new, shallow=False):
        sys.exit(f"{patch} does not rebuild {new}")
    os.remove(out)


def xz_size(path):
    return len(subprocess.run(["xz", "-9", "-T1", "-c", path], check=True, stdout=subprocess.PIPE).stdout)


def bench_pair(args, name, original, new):
    load, size, both = load_average(), os.path.getsize(original), os.path.getsize(original) + os.path.getsize(new)
    plain = f"{args.dir}/{name}.plain.qvx"  # the same for every build: made once
    if not os.path.exists(plain):
        say(f"{name}: the plain longest-match parse")
        run([MAKE, "plain", original, new, plain])
    check_rebuilds(original, plain, new)
    tools = [("quorvalex create", f"{QUORVALEX} create -f {{original}} {{new}} {{patch}}", args.runs)]
    if args.baseline:
        tools.append(("baseline", args.baseline + " {original} {new} {patch}", args.runs))
    tools += [] if args.only_ours else [(label, command, 1) for label, command in CREATE_PEERS]
    runs = {label: [] for label, _, _ in tools}
    patches = {label: f"{args.dir}/{name}.{i}.patch" for i, label in enumerate(runs)}
    for round in range(args.runs):  # ours and the baseline take turns, under the same load
        for label, command, _ in [tool for tool in tools if round < tool[2]]:
            say(f"{name}: {label}, run {round + 1}")
            if os.path.exists(patches[label]):
                os.remove(patches[label])
            argv = [word.format(original=original, new=new, patch=patches[label], size=size) for word in command.split()]
            status, *measures = timed(argv)
            runs[label].append(None if status or not os.path.exists(patches[label]) else measures)
            if label == "quorvalex create" and runs[label][-1]:
                check_rebuilds(original, patches[label], new)
    rows, ours = [], (0, 0)
    for label, results in runs.items():
        if None in results:
            rows.append([name, label, "failed"])
            continue
        raw, xz = os.path.getsize(patches[label]), xz_size(patches[label])
        os.remove(patches[label])
        ours = (raw, xz) if label == "quorvalex create" else ours
        peak = max(r[2] for r in results) * 1024
        rows.append([name, label, raw, xz, ratio(raw, ours[0]), ratio(xz, ours[1]), ratio(raw, os.path.getsize(plain), 3),
                     f"{statistics.median(r[0] for r in results):.2f} s", f"{statistics.median(r[1] for r in results):.2f} s",
                     f"{peak / MIB:.0f} MiB", ratio(peak, both), load])
    return rows


def bench_create(args):
    os.makedirs(args.dir, exist_ok=True)
    print(f"machine: {machine()}\nquorvalex create (and the baseline): medians of {args.runs} runs; "
          "the other tools: one run; every patch of ours rebuilds its new file.\n")
    rows = [row for pair in args.pair or fetch_pairs(args.dir) for row in bench_pair(args, *pair)]
    print(table(["pair", "tool", "raw", "xz -9", "raw/ours", "xz/ours xz", "raw/plain parse", "wall",
                 "CPU (user+sys)", "peak RSS", "RSS/both files", "load"], rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    apply = commands.add_parser("apply", help="the applier (scripts/bench)")
    apply.add_argument("--quick", action="store_true", help="the 64 MiB cases only")
    apply.add_argument("--case", action="append", choices=list(CASES), help="only this case (repeatable)")
    apply.add_argument("--runs", type=int, default=5)
    apply.add_argument("--dir", default="/tmp/qv-bench", help="where the cases are made and kept")
    apply.add_argument("--baseline", metavar="FOLDER", help="another build's build/bench/bench, as 'program base'")
    create = commands.add_parser("create", help="the creator (scripts/bench-diff)")
    create.add_argument("--runs", type=int, default=3)
    create.add_argument("--dir", default="/tmp/qv-bench-diff", help="where the pairs are fetched and kept")
    create.add_argument("--pair", nargs=3, action="append", metavar=("NAME", "ORIGINAL", "NEW"),
                        help="measure this pair instead of the fetched ones (repeatable)")
    create.add_argument("--only-ours", action="store_true", help="leave out the other tools")
    create.add_argument("--baseline", metavar="COMMAND", help="another creator, as 'OTHER/quorvalex create'")
    commands.add_parser("check", help="check and remove a case's outputs (for --prepare)").add_argument("folder")
    args = parser.parse_args()
    if args.command == "check":
        sys.exit(0 if check_outputs(args.folder) else 1)
    bench_apply(args) if args.command == "apply" else bench_create(args)


if __name__ == "__main__":
    main()
