#!/usr/bin/env python3
"""bench.py apply|create [options]: the applier against dd, xdelta3 and bspatch, and the
creator against xdelta3, bsdiff and zstd, each side by side in one run. scripts/bench and
scripts/bench-diff build the programs and run it; bench/README.md says what it measures.
Progress goes to standard error, the tables to standard output."""
import argparse, filecmp, glob, json, os, shlex, statistics, subprocess, sys, tarfile, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(os.path.dirname(HERE), "build", "bench")
MAKE, PROGRAM = f"{BUILD}/bench/qv-bench-make", f"{BUILD}/bench/qv-bench-program"
QUORVALEX = f"{BUILD}/quorvalex"
PATCH = "Amber Reaches update.dat"
MIB, GIB = 1 << 20, 1 << 30

# name: original and new size, copy lengths, insert lengths, chance of an insert after a
# copy (%), the delta tools that also apply it. bsdiff needs minutes and 9 times the
# original in memory per 64 MiB; xdelta3 takes long to encode 14 million pieces.
CASES = {
    "big-copy-64m": (64 * MIB, 64 * MIB, 64 << 10, 1 << 20, 1, 64, 100, ("xdelta3", "bspatch")),
    "small-op-64m": (64 * MIB, 64 * MIB, 8, 200, 1, 16, 43, ("xdelta3", "bspatch")),
    "big-copy-1g": (GIB, GIB, 64 << 10, 1 << 20, 1, 64, 100, ("xdelta3",)),
    "small-op-1g": (GIB, GIB, 8, 200, 1, 16, 43, ()),
}

# name, npm package, two releases, the file compared
NPM_PAIRS = [
    ("esbuild-0.28", "@esbuild/linux-x64", "0.28.1", "0.28.2", "bin/esbuild"),
    ("swc-1.16", "@swc/core-linux-x64-gnu", "1.16.21", "1.16.22", "swc.linux-x64-gnu.node"),
    # two consecutive releases of a 100 MB native executable
    ("next-swc-16.4", "@next/swc-linux-x64-gnu", "16.4.5", "16.4.6", "next-swc.linux-x64-gnu.node"),
]


def say(text):
    print(text, file=sys.stderr, flush=True)


def run(argv, **options):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, text=True, **options).stdout


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else "-"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(lines + ["| " + " | ".join(map(str, row)) + " |" for row in rows])


def machine():
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    return f"{cpu}, {os.cpu_count()} cores, load average {load}"


# ---- memory: /usr/bin/time for the peak resident set, a sampler for private memory ----

def child_of(pid):
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    return int(entry)
        except (OSError, IndexError):
            pass
    return None


def rss_anon_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return next((int(l.split()[1]) for l in status if l.startswith("RssAnon:")), 0)
    except OSError:
        return 0


def memory_run(argv, cwd=None, stdin=None):
    """Exit status, peak RssAnon (sampled every millisecond: Linux keeps no high-water mark
    of it) and peak RSS (/usr/bin/time) of one run, in KiB."""
    with tempfile.NamedTemporaryFile("r") as report, open(stdin or os.devnull) as given:
        timed = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, cwd=cwd,
                                 stdin=given, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tool, anon = None, 0
        while timed.poll() is None:
            tool = tool or child_of(timed.pid)
            anon = max(anon, rss_anon_kib(tool) if tool else 0)
            time.sleep(0.001)
        return timed.returncode, anon, int(report.read().split()[-1])


# ---- applying ----

def tool(label, argv, cwd=None, stdin=None, status=0):
    return {"label": label, "argv": argv, "cwd": cwd, "stdin": stdin, "status": status}


def apply_tools(folder, size, peers, baseline):
    """The tools that rebuild the case's new file, each into out.LABEL in the case's folder."""
    out = lambda label: f"{folder}/out.{label.replace(' ', '-')}"
    original = f"{folder}/original.bin"

    # The player's program in the folder of its patch: the two questions are answered on
    # standard input, then the key press that ends it; it always exits with 1.
    def program(label, binary, kind):
        answers = f"{folder}/{kind}/answers-{label.replace(' ', '-')}"
        with open(answers, "w") as f:
            f.write(f"../original.bin\n../{os.path.basename(out(label))}\n\n")
        return tool(label, [binary], f"{folder}/{kind}", answers, 1)

    tools = [program("program", PROGRAM, "plain"), program("verified", PROGRAM, "verified")]
    if baseline:
        tools.append(program("program base", f"{baseline}/qv-bench-program", "plain"))
    for kind in ("plain", "verified"):
        tools.append(tool(f"apply {kind}", [QUORVALEX, "apply", "-f", original, f"{folder}/{kind}/{PATCH}", out(f"apply {kind}")]))
    if "xdelta3" in peers:
        tools.append(tool("xdelta3 -d", ["xdelta3", "-d", "-f", "-s", original, f"{folder}/patch.xd3", out("xdelta3 -d")]))
    if "bspatch" in peers:
        tools.append(tool("bspatch", ["bspatch", original, out("bspatch"), f"{folder}/patch.bsdiff"]))
    dd = ["dd", f"if={original}", "bs=128K", "iflag=count_bytes", f"count={size}", "status=none"]
    tools.append(tool("dd", dd + [f"of={out('dd')}"]))
    tools.append(tool("dd conv=fsync", dd + [f"of={out('dd conv=fsync')}", "conv=fsync"]))
    return tools


def shell_command(t):
    command = shlex.join(t["argv"]) + (f" < {shlex.quote(t['stdin'])}" if t["stdin"] else "")
    command = f"cd {shlex.quote(t['cwd'])} && {command}" if t["cwd"] else command
    return f"{command}; test $? -eq {t['status']}" if t["status"] else command


def check_outputs(folder):
    """Compares every output in the case's folder with the expected new file (dd's by its
    size) and removes it; false, leaving it there, when one differs."""
    expected = f"{folder}/new.bin"
    for output in sorted(glob.glob(f"{folder}/out.*")):
        dd = os.path.basename(output).startswith("out.dd")
        right = os.path.getsize(output) == os.path.getsize(expected) if dd else filecmp.cmp(output, expected, False)
        if not right:
            say(f"{output} differs from the expected new file")
            return False
        os.remove(output)
    return True


def prepare_case(root, name):
    """Makes the case's files once and keeps them; returns its operation count."""
    shape, folder = CASES[name], f"{root}/{name}"
    stamp, wanted = f"{folder}/stamp", f"v2 {shape}"
    if os.path.exists(stamp) and open(stamp).readline().strip() == wanted:
        return int(open(stamp).read().split("\n")[1])
    say(f"generating {name} in {folder} (once; kept for later runs)")
    os.makedirs(folder, exist_ok=True)
    operations = int(run([MAKE, "case", folder, name] + [str(v) for v in shape[:7]]))
    original, new = f"{folder}/original.bin", f"{folder}/new.bin"
    if "xdelta3" in shape[7]:  # a source window over the whole original
        run(["xdelta3", "-e", "-f", "-B", str(max(shape[0], 64 * MIB)), "-s", original, new, f"{folder}/patch.xd3"])
    if "bspatch" in shape[7]:
        run(["bsdiff", original, new, f"{folder}/patch.bsdiff"])
    with open(stamp, "w") as f:
        f.write(f"{wanted}\n{operations}\n")
    return operations


def bench_case(args, name):
    folder, (size, peers) = f"{args.dir}/{name}", (CASES[name][1], CASES[name][7])
    operations = prepare_case(args.dir, name)
    tools = apply_tools(folder, size, peers, args.baseline)
    check_outputs(folder)
    prepare = f"{shlex.quote(sys.executable)} {shlex.quote(__file__)} check {shlex.quote(folder)} && sync"
    command = ["hyperfine", "--style", "none", "--warmup", "1", "--runs", str(args.runs),
               "--export-json", f"{folder}/hyperfine.json"]
    for t in tools:
        command += ["--prepare", prepare, "-n", t["label"], shell_command(t)]
    say(f"{name}: {len(tools)} tools, {args.runs} runs each after a warm-up run")
    if subprocess.run(command).returncode != 0 or not check_outputs(folder):
        sys.exit(f"{name}: a tool failed or wrote a wrong file")
    results = {r["command"]: r for r in json.load(open(f"{folder}/hyperfine.json"))["results"]}
    say(f"{name}: peak memory, one more run of each")
    for t in tools:
        subprocess.run(prepare, shell=True, check=True)
        status, anon, rss = memory_run(t["argv"], t["cwd"], t["stdin"])
        if status != t["status"] or not check_outputs(folder):
            sys.exit(f"{name}: {t['label']} failed in its memory run")
        results[t["label"]].update(anon=anon, rss=rss)
    rows = [[label, f"{r['min']:.3f} s", f"{r['median']:.3f} s", f"{r['user'] + r['system']:.3f} s",
             f"{r['anon'] / 1024:.1f} MiB", f"{r['rss'] / 1024:.1f} MiB"] for label, r in results.items()]
    print(f"\n{name}: {size / MIB:.0f} MiB new file, {operations} operations, {args.runs} runs\n")
    print(table(["tool", "fastest", "median", "CPU (user+sys)", "RssAnon", "peak RSS"], rows))
    fastest = lambda label: results[label]["min"] if label in results else 0
    cpu = lambda label: results[label]["user"] + results[label]["system"]
    return [name, operations, f"{fastest('program'):.3f} s", f"{fastest('verified'):.3f} s",
            f"{fastest('dd conv=fsync'):.3f} s", ratio(fastest("program"), fastest("dd conv=fsync")),
            ratio(fastest("verified"), fastest("program")), ratio(cpu("verified"), cpu("program")),
            ratio(fastest("apply verified"), fastest("apply plain")), ratio(fastest("program"), fastest("xdelta3 -d")),
            ratio(fastest("program"), fastest("program base")),
            f"{max(results['program']['anon'], results['verified']['anon']) / 1024:.1f} MiB"]


def bench_apply(args):
    names = args.case or [n for n in CASES if not args.quick or CASES[n][0] < GIB]
    print(f"machine: {machine()}; scratch folder {args.dir}")
    os.makedirs(args.dir, exist_ok=True)
    summary = [bench_case(args, name) for name in names]
    print("\nFastest wall times and ratios of fastest times; CPU = mean user + system time.\n")
    print(table(["case", "operations", "program", "verified", "dd conv=fsync", "program/(dd conv=fsync)",
                 "verified/program", "CPU verified/program", "apply verified/plain", "program/xdelta3 -d",
                 "program/program base", "RssAnon"], summary))


# ---- the creator ----

def fetch_pairs(folder):
    pairs = []
    for name, package, old, new, file in NPM_PAIRS:
        paths = []
        for version in (old, new):
            target = f"{folder}/{name}-{version}"
            if not os.path.exists(f"{target}/package/{file}"):
                say(f"fetching {package}@{version}")
                os.makedirs(target, exist_ok=True)
                packed = run(["npm", "pack", "--silent", f"{package}@{version}"], cwd=target).strip()
                with tarfile.open(f"{target}/{packed}") as archive:
                    archive.extractall(target)
            paths.append(f"{target}/package/{file}")
        pairs.append((name, *paths))
    wads = f"{folder}/freedoom/usr/share/games/doom"
    if not os.path.exists(f"{wads}/freedoom2.wad"):
        run(["apt-get", "download", "freedoom"], cwd=folder)
        run(["dpkg-deb", "-x", glob.glob(f"{folder}/freedoom_*.deb")[0], f"{folder}/freedoom"])
    pairs.append(("freedoom-1-to-2", f"{wads}/freedoom1.wad", f"{wads}/freedoom2.wad"))
    if not os.path.exists(f"{folder}/generated-100m.new"):
        say("generating generated-100m")
        run([MAKE, "pair", folder])
    pairs.append(("generated-100m", f"{folder}/generated-100m.old", f"{folder}/generated-100m.new"))
    return pairs


def timed_run(argv, patch):
    """Wall time, CPU time (user + system) and peak RSS in KiB of one run, or None."""
    if os.path.exists(patch):
        os.remove(patch)
    with tempfile.NamedTemporaryFile("r") as report:
        status = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", report.name] + argv,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        wall, user, system, kib = report.read().split()[-4:]
    return None if status or not os.path.exists(patch) else (float(wall), float(user) + float(system), int(kib))


def rebuilds(original, patch, new):
    out = patch + ".rebuilt"
    applied = subprocess.run([QUORVALEX, "apply", "-f", original, patch, out], stderr=subprocess.DEVNULL).returncode == 0
    right = applied and filecmp.cmp(out, new, False)
    if os.path.exists(out):
        os.remove(out)
    return right


def xz_size(path):
    return len(subprocess.run(["xz", "-9", "-T1", "-c", path], check=True, stdout=subprocess.PIPE).stdout)


def bench_pair(args, name, original, new):
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    size, new_size = os.path.getsize(original), os.path.getsize(new)
    tools = [("quorvalex create", [QUORVALEX, "create", "-f", original, new], args.runs)]
    if args.baseline:
        tools.append(("baseline", shlex.split(args.baseline) + [original, new], args.runs))
    if not args.only_ours:
        tools += [
            ("xdelta3 -9 -N -S none -B size", ["xdelta3", "-e", "-f", "-9", "-N", "-S", "none", "-B", str(size), "-s", original, new], 1),
            ("xdelta3 (default)", ["xdelta3", "-e", "-f", "-s", original, new], 1),
            ("bsdiff", ["bsdiff", original, new], 1),
            ("zstd -19 --long=27 --patch-from", ["zstd", "-q", "-f", "-19", "--long=27", f"--patch-from={original}", new, "-o"], 1),
        ]
    patches = {label: f"{args.dir}/{name}.patch{i}" for i, (label, _, _) in enumerate(tools)}
    runs = {label: [] for label, _, _ in tools}
    for round in range(args.runs):  # ours and the baseline take turns, under the same load
        for label, argv, count in tools:
            if round < count:
                say(f"{name}: {label}, run {round + 1}")
                runs[label].append(timed_run(argv + [patches[label]], patches[label]))
    plain = f"{args.dir}/{name}.plain.qvx"  # the same for every build: made once
    if not os.path.exists(plain):
        say(f"{name}: the plain longest-match parse")
        run([MAKE, "plain", original, new, plain])
    ours = patches["quorvalex create"]
    ours_size = (os.path.getsize(ours), xz_size(ours)) if None not in runs["quorvalex create"] else (0, 0)
    rows = []
    for label, results in runs.items():
        if None in results:
            rows.append([name, label, "failed"] + [""] * 6)
            continue
        raw, xz = os.path.getsize(patches[label]), xz_size(patches[label])
        rows.append([name, label, raw, xz, ratio(raw, ours_size[0]), ratio(xz, ours_size[1]),
                     f"{statistics.median(r[0] for r in results):.2f} s",
                     f"{statistics.median(r[1] for r in results):.2f} s", f"{max(r[2] for r in results) / 1024:.0f} MiB"])
    note = f"{name}: original {size / 1e6:.3f} MB, new {new_size / 1e6:.3f} MB, load average {load}; "
    if ours_size[0] and rebuilds(original, ours, new):
        peak = max(r[2] for r in runs["quorvalex create"]) * 1024
        plain_ok = "" if rebuilds(original, plain, new) else ", DOES NOT REBUILD"
        note += (f"our patch rebuilds the new file, is {ours_size[0] / new_size:.4f} of it and "
                 f"{ours_size[0] / os.path.getsize(plain):.3f}x the plain longest-match parse "
                 f"({os.path.getsize(plain)} bytes{plain_ok}); peak memory {ratio(peak, size + new_size)}x the two files")
    else:
        note += "OUR PATCH DOES NOT REBUILD THE NEW FILE"
    for patch in patches.values():
        if os.path.exists(patch):
            os.remove(patch)
    return rows, note


def bench_create(args):
    os.makedirs(args.dir, exist_ok=True)
    pairs = args.pair or fetch_pairs(args.dir)
    print(f"machine: {machine()}\nquorvalex create (and the baseline): medians of {args.runs} runs; "
          "the other tools: one run. Sizes in bytes; ratios over ours.\n")
    rows, notes = [], []
    for pair in pairs:
        pair_rows, note = bench_pair(args, *pair)
        rows += pair_rows
        notes.append(note)
    print(table(["pair", "tool", "raw", "xz -9", "raw/ours", "xz/ours xz", "wall", "CPU (user+sys)", "peak memory"], rows))
    print("\n" + "\n".join(notes))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    apply = commands.add_parser("apply", help="the applier (scripts/bench)")
    apply.add_argument("--quick", action="store_true", help="the 64 MiB cases only")
    apply.add_argument("--case", action="append", choices=list(CASES), help="only this case (repeatable)")
    apply.add_argument("--runs", type=int, default=5)
    apply.add_argument("--dir", default="/tmp/qv-bench", help="where the cases are made and kept")
    apply.add_argument("--baseline", metavar="FOLDER", help="another build's build/bench/bench, run as 'program base'")
    create = commands.add_parser("create", help="the creator (scripts/bench-diff)")
    create.add_argument("--runs", type=int, default=3)
    create.add_argument("--dir", default="/tmp/qv-bench-diff", help="where the pairs are fetched and kept")
    create.add_argument("--pair", nargs=3, action="append", metavar=("NAME", "ORIGINAL", "NEW"),
                        help="measure this pair instead of the fetched ones (repeatable)")
    create.add_argument("--only-ours", action="store_true", help="leave out the other tools")
    create.add_argument("--baseline", metavar="COMMAND", help="another creator, such as 'OTHER/quorvalex create'")
    check = commands.add_parser("check", help="compare and remove a case's outputs (hyperfine's --prepare)")
    check.add_argument("folder")
    args = parser.parse_args()
    if args.command == "check":
        sys.exit(0 if check_outputs(args.folder) else 1)
    bench_apply(args) if args.command == "apply" else bench_create(args)


if __name__ == "__main__":
    main()
