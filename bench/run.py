#!/usr/bin/env python3
"""Times prepqdm against llvm-nm-14 and GNU nm on the generated sets and
prints one table of ratios.

Every comparison is a group of whole-process runs made in one session: one
warm-up run of each member (which also fills the page cache), then rounds in
which every member runs once, the starting member rotating from round to
round. A ratio is computed within each round (the two runs sat next to each
other in time) and the table shows the median of those ratios, so slow drift
in background load cancels out. Peak memory is the child's ru_maxrss.

Beside the readers runs the floor (bench/floor.c, built by run.sh into the
build directory as bench-floor): it only collects the distinct defined global
names, the least work any selector must do, so prepqdm / floor shows how much
of prepqdm's time goes beyond that.

With --wine BUILD_WIN_DIR it times the Windows build instead, on sets 1
and 2: `wine prepqdm.exe -xall -o OUT @set.rsp` against the Linux build's
`prepqdm -xall -o OUT @set.rsp` plus the Win32 floor (bench/floor_win32.c,
built by run.sh into BUILD_WIN_DIR as bench-floor.exe) under the same Wine,
which opens, maps and touches every input and nothing more. The ratio of a
round is wine prepqdm.exe / (Linux prepqdm + wine floor): Wine's start-up is
in both sides, through the floor, and is also timed alone (the floor with
no inputs, and prepqdm.exe --version) and printed below the table. A
persistent wineserver runs in the build's prefix (WINEPREFIX, default
BUILD_WIN_DIR/wine-prefix) for the whole measurement.

Usage: run.py BUILD_DIR [--runs N] [--groups g1,g2,...] [--floor PATH]
       run.py BUILD_DIR --wine BUILD_WIN_DIR [--runs N] [--groups 1,2] [--floor PATH]
Environment: BENCH_DIR (default /tmp/prepqdm-bench).
"""
import argparse
import filecmp
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LLVM_NM = "llvm-nm-14"
GNU_NM = "nm"
NM_ARGS = ["-g", "--defined-only"]


class Member:
    def __init__(self, key, argv, cwd, env=None):
        self.key, self.argv, self.cwd, self.env = key, argv, cwd, env
        self.wall, self.rss = [], []


def run_once(member):
    env = dict(os.environ)
    if member.env:
        env.update(member.env)
    start = time.perf_counter()
    process = subprocess.Popen(member.argv, cwd=member.cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss, process.returncode


def measure(members, rounds):
    for m in members:  # warm-up
        _, _, code = run_once(m)
        if code != 0:
            sys.exit(f"run.py: {m.key} failed with exit code {code}: {' '.join(m.argv[:8])} ...")
    for r in range(rounds):
        for k in range(len(members)):
            m = members[(r + k) % len(members)]
            wall, rss, _ = run_once(m)
            m.wall.append(wall)
            m.rss.append(rss)
    return {m.key: m for m in members}


def ratio(a, b, field="wall"):
    xs, ys = getattr(a, field), getattr(b, field)
    return statistics.median(x / y for x, y in zip(xs, ys))


def load_average():
    return "%.2f %.2f %.2f" % os.getloadavg()


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            memory = "%.0f GiB RAM" % (int(f.readline().split()[1]) / 1048576)
    except (OSError, ValueError, IndexError):
        pass
    return f"{model}, {os.cpu_count()} cores, {memory}, Linux {platform.release()}"


def wine_version():
    try:
        return subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "unknown"


def listing(directory, names=None):
    if names is None:
        names = sorted(n for n in os.listdir(directory) if n.endswith(".o"))
    return names


def windows_path(path):
    """A Linux path as Wine's drive Z: (the root in a default prefix) shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def measure_wine(args, prepqdm, root, out, rows, notes):
    build_win = os.path.abspath(args.wine)
    exe = os.path.join(build_win, "prepqdm.exe")
    floor = os.path.abspath(args.floor) if args.floor else os.path.join(build_win, "bench-floor.exe")
    wine, server, boot = shutil.which("wine"), shutil.which("wineserver"), shutil.which("wineboot")
    if not (wine and server and boot):
        sys.exit("run.py: --wine needs wine, wineserver and wineboot")
    for path in (exe, floor):
        if not os.path.isfile(path):
            sys.exit(f"run.py: no {path} (build prepqdm.exe; bench/run.sh builds bench-floor.exe)")
    groups = args.groups.split(",")
    if set(groups) - {"1", "2"}:
        sys.exit("run.py: --wine measures sets 1 and 2")
    # Quiet, and the locale the build's tests give the same prefix, so that
    # Wine never rewrites the prefix's locale settings between runs.
    env = {"WINEPREFIX": os.environ.get("WINEPREFIX", os.path.join(build_win, "wine-prefix")),
           "WINEDEBUG": "-all", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 env=dict(os.environ, **env))
    if not os.path.isfile(os.path.join(env["WINEPREFIX"], "system.reg")):
        print(f"creating the Wine prefix {env['WINEPREFIX']} ...", file=sys.stderr, flush=True)
        subprocess.run([boot, "-i"], check=True, **quiet)
    # One server for every run, so that no run starts one or waits for the
    # last one to stop; the warm-up runs start Wine's services under it. A
    # server left from an earlier command (wineboot's) is let stop first.
    try:
        subprocess.run([server, "-w"], timeout=15, **quiet)
    except subprocess.TimeoutExpired:
        pass
    started = subprocess.run([server, "-p"], **quiet).returncode == 0
    if not started:
        print(f"run.py: a Wine server already runs in {env['WINEPREFIX']}: timing with it, and it may stop "
              "and start again between runs", file=sys.stderr)
    try:
        for group in groups:
            if group == "1":
                label, directory, inputs = "1: 2,000 objects", os.path.join(root, "set1"), None
            else:
                label, directory, inputs = "2: one archive", os.path.join(root, "set2"), ["libbig.a"]
            if inputs is None:
                with open(os.path.join(directory, "inputs.txt")) as f:
                    inputs = f.read().split()
            tag = f"set{group}"
            # A Windows command line holds 32,767 characters: set 1 needs a
            # response file, and both hosts read the same one.
            rsp = os.path.join(out, f"wine-{tag}.rsp")
            with open(rsp, "w") as f:
                f.write("".join(name + "\n" for name in inputs))
            wine_out, linux_out = os.path.join(out, f"wine-{tag}.o"), os.path.join(out, f"linux-{tag}.o")
            members = [Member("wine", [wine, exe, "-xall", "-o", windows_path(wine_out), "@" + windows_path(rsp)],
                              directory, env),
                       Member("linux", [prepqdm, "-xall", "-o", linux_out, "@" + rsp], directory),
                       Member("floor", [wine, floor, "@" + windows_path(rsp)], directory, env),
                       Member("start", [wine, floor], directory, env),
                       Member("version", [wine, exe, "--version"], directory, env)]
            print(f"measuring {label} under Wine ...", file=sys.stderr, flush=True)
            r = measure(members, args.runs)
            print("  median wall seconds: " + ", ".join(f"{m.key} {statistics.median(m.wall):.3f}" for m in members),
                  file=sys.stderr)
            print("  median peak MiB: " + ", ".join(f"{m.key} {statistics.median(m.rss) / 1024:.1f}" for m in members),
                  file=sys.stderr)
            if not filecmp.cmp(wine_out, linux_out, shallow=False):
                sys.exit(f"run.py: {label}: prepqdm.exe and prepqdm wrote different export objects")
            rounds = [w / (l + f) for w, l, f in zip(r["wine"].wall, r["linux"].wall, r["floor"].wall)]
            print("  per round, wine / (linux + floor): " + ", ".join(f"{x:.2f}" for x in rounds), file=sys.stderr)
            value = statistics.median(rounds)
            rows.append((label, "prepqdm.exe -xall -o under Wine: wall / (Linux prepqdm + Wine floor)", value,
                         "≤ 1.5", value <= 1.5))
            rows.append((label, "prepqdm.exe -xall -o under Wine: peak memory / Linux prepqdm",
                         ratio(r["wine"], r["linux"], "rss"), "", None))
            rows.append((label, "Wine floor: wall / Linux prepqdm", ratio(r["floor"], r["linux"]), "", None))
            rows.append((label, "Wine start-up (floor, no inputs): wall / prepqdm.exe under Wine",
                         ratio(r["start"], r["wine"]), "", None))
            notes.append(f"{label}: Wine start-up {statistics.median(r['start'].wall):.3f} s (floor, no inputs), "
                         f"{statistics.median(r['version'].wall):.3f} s (prepqdm.exe --version); "
                         f"prepqdm.exe {statistics.median(r['wine'].wall):.3f} s, "
                         f"Linux prepqdm {statistics.median(r['linux'].wall):.3f} s, "
                         f"Wine floor {statistics.median(r['floor'].wall):.3f} s (medians).")
    finally:
        if started:
            subprocess.run([server, "-k"], **quiet)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "7")))
    parser.add_argument("--groups", default="1,2,3,4,5,6,7,1r")
    parser.add_argument("--floor", help="the floor program (default: BUILD_DIR/bench-floor, "
                        "with --wine BUILD_WIN_DIR/bench-floor.exe)")
    parser.add_argument("--wine", metavar="BUILD_WIN_DIR", help="time the Windows build under Wine instead")
    args = parser.parse_args()
    if args.wine and args.groups == parser.get_default("groups"):
        args.groups = "1,2"
    # A Wine round costs several runs of the Linux build's; three rounds
    # still give a median of ratios taken side by side.
    if args.runs < (3 if args.wine else 5):
        sys.exit(f"run.py: at least {3 if args.wine else 5} runs")
    build = os.path.abspath(args.build)
    prepqdm = os.path.join(build, "prepqdm")
    floor = os.path.abspath(args.floor) if args.floor else os.path.join(build, "bench-floor")
    root = os.environ.get("BENCH_DIR", "/tmp/prepqdm-bench")
    out = os.path.join(root, "out")
    os.makedirs(out, exist_ok=True)
    env_lib = {"TOOLCHAIN_ROOT": build, "SOURCE_DATE_EPOCH": "0"}
    groups = args.groups.split(",")
    if not args.wine and set(groups) & {"1", "2", "6", "7"} and not os.access(floor, os.X_OK):
        sys.exit(f"run.py: no floor program at {floor} (bench/run.sh builds it)")

    set1 = os.path.join(root, "set1")
    with open(os.path.join(set1, "inputs.txt")) as f:
        set1_inputs = f.read().split()

    rows = []  # (set, measurement, value, goal, met)
    print(f"machine: {machine()}", file=sys.stderr)
    print(f"load average before: {load_average()}", file=sys.stderr)
    load_before = load_average()
    notes = []
    if args.wine:
        measure_wine(args, prepqdm, root, out, rows, notes)
        groups = []

    def readers(cwd, inputs, tag):
        return [Member(f"llvm{tag}", [LLVM_NM] + NM_ARGS + inputs, cwd),
                Member(f"nm{tag}", [GNU_NM] + NM_ARGS + inputs, cwd)]

    def versus_readers(label, cwd, inputs, tag, defs, wall_goal, floor_goal=None, def_goal=None, lib_goal=None):
        deffile = os.path.join(root, defs, "exports.def")
        members = [Member("xall", [prepqdm, "-xall", "-o", f"{out}/{tag}-xall.o"] + inputs, cwd),
                   Member("def", [prepqdm, "-x", deffile, "-o", f"{out}/{tag}-def.o"] + inputs, cwd),
                   Member("lib", [prepqdm, "-xall", "-o", f"{out}/{tag}-lib.o", "-l", f"{out}/{tag}-imp.a",
                                  "-r", "Bench.qdm"] + inputs, cwd, env_lib)]
        members += readers(cwd, inputs, "")
        members.append(Member("floor", [floor] + inputs, cwd))
        print(f"measuring {label} ...", file=sys.stderr, flush=True)
        r = measure(members, args.runs)
        print("  median wall seconds: " + ", ".join(f"{m.key} {statistics.median(m.wall):.3f}" for m in members),
              file=sys.stderr)
        llvm = r["llvm"]
        for key, run in (("xall", "-xall -o"), ("def", "-x (100,000 names) -o"), ("lib", "-xall -o -l -r")):
            wall = ratio(r[key], llvm)
            rss = ratio(r[key], llvm, "rss")
            goal = {"xall": wall_goal, "def": def_goal, "lib": lib_goal}.get(key)
            rows.append((label, f"prepqdm {run}: wall / llvm-nm", wall, f"≤ {goal}" if goal else "",
                         (wall <= goal) if goal else None))
            rows.append((label, f"prepqdm {run}: peak memory / llvm-nm", rss, "≤ 1", rss <= 1.0))
        rows.append((label, "GNU nm: wall / llvm-nm", ratio(r["nm"], llvm), "", None))
        rows.append((label, "GNU nm: peak memory / llvm-nm", ratio(r["nm"], llvm, "rss"), "", None))
        rows.append((label, "floor: wall / llvm-nm", ratio(r["floor"], llvm), "", None))
        above = ratio(r["xall"], r["floor"])
        rows.append((label, "prepqdm -xall -o: wall / floor", above, f"≤ {floor_goal}" if floor_goal else "",
                     (above <= floor_goal) if floor_goal else None))

    def pair(label, what, cwd_a, inputs_a, cwd_b, inputs_b, goal, rounds):
        members = [Member("a", [prepqdm, "-xall", "-o", f"{out}/pair-a.o"] + inputs_a, cwd_a),
                   Member("b", [prepqdm, "-xall", "-o", f"{out}/pair-b.o"] + inputs_b, cwd_b),
                   Member("la", [LLVM_NM] + NM_ARGS + inputs_a, cwd_a),
                   Member("lb", [LLVM_NM] + NM_ARGS + inputs_b, cwd_b)]
        print(f"measuring {label} ...", file=sys.stderr, flush=True)
        r = measure(members, rounds)
        value = ratio(r["a"], r["b"])
        rows.append((label, f"prepqdm -xall: {what}", value, f"≤ {goal}", value <= goal))
        rows.append((label, f"llvm-nm, for reference: {what}", ratio(r["la"], r["lb"]), "", None))

    if "1" in groups:
        versus_readers("1: 2,000 objects", set1, set1_inputs, "set1", "defs", 0.4, 1.5, def_goal=0.4,
                       lib_goal=0.55)
    if "2" in groups:
        versus_readers("2: one archive", os.path.join(root, "set2"), ["libbig.a"], "set2", "defs", 0.4, 1.5)
    if "3" in groups:
        d = os.path.join(root, "set3")
        pair("3: 10,000 functions", "20,000 sections / under 20 sections", d, ["sections.o"], d, ["plain.o"], 2,
             args.runs * 3)
    if "4" in groups:
        d4, d4d = os.path.join(root, "set4"), os.path.join(root, "set4d")
        inputs4 = listing(d4, [f"v{i:03d}.o" for i in range(500)] + [f"copy{i:02d}.o" for i in range(20)])
        pair("4: 520 equal-sized objects", "equal sizes / distinct sizes", d4, inputs4, d4d, listing(d4d), 1.5,
             args.runs)
    if "5" in groups:
        d5 = os.path.join(root, "set5")
        if os.path.isdir(d5):
            pair("5: 500 objects", "big-endian / little-endian", d5, set1_inputs[:500], set1, set1_inputs[:500],
                 1.5, args.runs)
    # Set 1's objects with names that share nothing with their neighbours.
    if "6" in groups:
        versus_readers("6: 2,000 objects, no name locality", os.path.join(root, "set6"), set1_inputs, "set6",
                       "defs6", 0.4, 1.5, def_goal=0.4, lib_goal=0.55)
    if "7" in groups:
        versus_readers("7: one archive, no name locality", os.path.join(root, "set7"), ["libbig.a"], "set7",
                       "defs6", 0.4, 1.5, lib_goal=0.55)

    if "1r" in groups:
        d = os.path.join(root, "set1r")
        label = "1r: set 1 after ld -r"
        members = [Member("xall", [prepqdm, "-xall", "-o", f"{out}/set1r-xall.o", "module.o"], d),
                   Member("llvm", [LLVM_NM] + NM_ARGS + ["module.o"], d)]
        print(f"measuring {label} ...", file=sys.stderr, flush=True)
        r = measure(members, args.runs)
        wall, rss = ratio(r["xall"], r["llvm"]), ratio(r["xall"], r["llvm"], "rss")
        rows.append((label, "prepqdm -xall -o: wall / llvm-nm", wall, "≤ 1", wall <= 1.0))
        rows.append((label, "prepqdm -xall -o: peak memory / llvm-nm", rss, "≤ 1", rss <= 1.0))

    load_after = load_average()
    print(f"load average after: {load_after}", file=sys.stderr)
    rounds = f"; {wine_version()}" if args.wine else f" (set 3: {args.runs * 3})"
    print(f"Machine: {machine()}; load average {load_before} before, {load_after} after; "
          f"median of {args.runs} alternating rounds{rounds}.\n")
    print("| set | measurement (ratio of medians per round) | ratio | goal | met |")
    print("|---|---|---|---|---|")
    for label, what, value, goal, met in rows:
        flag = "" if met is None else ("yes" if met else "**no**")
        print(f"| {label} | {what} | {value:.2f} | {goal} | {flag} |")
    if notes:
        print()
        for note in notes:
            print(note)


if __name__ == "__main__":
    main()
