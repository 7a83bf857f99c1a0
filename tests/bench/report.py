#!/usr/bin/env python3
"""Runs the launcher's benchmarks and prints one Markdown table.

Usage: report.py [--quick] BUILD_DIR [WINDOWS_BUILD_DIR]
  --quick            a few rounds of one interface count: every figure is taken, none means
                     much (the test suite's check that the benchmarks still run)
  BUILD_DIR          native build holding bin/bench_classify, bin/bench_scan, bin/trivial_run
                     and bin/tamsu-launcher
  WINDOWS_BUILD_DIR  cross build holding bin/TamsuLauncher.exe and bin/trivial_run.exe (size,
                     and the whole run under Wine)
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import kit_description as kd  # noqa: E402

QUICK = "--quick" in sys.argv[1:2]
if QUICK:
    del sys.argv[1]
ROUNDS = 2 if QUICK else 9
SCAN_COUNTS = (64,) if QUICK else (1, 16, 64, 256)
rows = []


def row(measure, figure, goal="", note=""):
    rows.append((measure, figure, goal, note))


def load():
    """The machine's load while the figures were taken, for whoever compares them."""
    with open("/proc/loadavg") as averages:
        one, five = averages.read().split()[:2]
    return f"load average {one} (1 min), {five} (5 min) on {os.cpu_count()} CPUs"


def testbed(directory, count):
    path = os.path.join(directory, f"testbed{count}.umockdev")
    with open(path, "w") as out:
        subprocess.run([sys.executable, os.path.join(HERE, "make_testbed.py"), str(count)],
                       stdout=out, check=True)
    return path


def classify_throughput(build):
    result = subprocess.run([os.path.join(build, "bin", "bench_classify"),
                             "--benchmark_format=json",
                             "--benchmark_min_time=%s" % ("0.01" if QUICK else "0.3")],
                            capture_output=True, text=True, check=True)
    for bench in json.loads(result.stdout)["benchmarks"]:
        name = bench["name"].split("/")[1].split(":")[0].replace("_", " ")
        row(f"(a) ClassifyDevicePath, {name}", f"{bench['cpu_time']:.0f} ns/path "
            f"({bench['items_per_second'] / 1e6:.2f} M paths/s)")


def scan_against_hidapi(build, directory):
    for count in SCAN_COUNTS:
        bed = testbed(directory, count)
        out = subprocess.run(["umockdev-run", "-d", bed, "--",
                              os.path.join(build, "bin", "bench_scan"), "5" if QUICK else "50"],
                             capture_output=True, text=True, check=True).stdout.split()
        ours, theirs = float(out[2]), float(out[3])
        goal = "ours <= 0.05 x hidapi" if count == 64 else ""
        verdict = ("met" if ours <= theirs * 0.05 else "missed") if count == 64 else ""
        row(f"(b) one detection pass, {count} interfaces (ours / hidapi hid_enumerate)",
            f"{ours:.0f} us / {theirs:.0f} us = {ours / theirs:.3f}", goal, verdict)


# What umockdev's preloaded library calls for its own bookkeeping around each intercepted call;
# its failed readlink and access calls (probing whether a path is faked) are left out too.
UMOCKDEV_OWN = ("rt_sigprocmask", "getcwd")
UMOCKDEV_FAILED = ("readlink", "access")
SYSCALL_INTERFACES = 64


def strace_counts(command):
    """{syscall: (calls, errors)} from strace -c -f over command (the last element is the program
    and its arguments follow the wrappers)."""
    with tempfile.NamedTemporaryFile("r") as table:
        wrappers, program = command
        subprocess.run(wrappers + ["strace", "-c", "-f", "-o", table.name] + program,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        counts = {}
        for line in table.read().splitlines():
            fields = line.split()
            if len(fields) < 5 or not fields[3].isdigit() or fields[-1] == "total":
                continue
            errors = int(fields[4]) if len(fields) == 6 else 0
            counts[fields[-1]] = (int(fields[3]), errors)
        return counts


def pass_syscalls(wrappers, build, side, umockdev):
    """System calls of one pass of side ("ours" or "hidapi"): one pass minus none, per interface,
    as (total, {syscall: calls}) with umockdev's own calls left out when it intercepts."""
    program = [os.path.join(build, "bin", "bench_scan"), "--only", side]
    one = strace_counts((wrappers, program + ["1"]))
    none = strace_counts((wrappers, program + ["0"]))
    per = {}
    for name, (calls, errors) in one.items():
        base_calls, base_errors = none.get(name, (0, 0))
        calls -= base_calls
        if umockdev and name in UMOCKDEV_OWN:
            continue
        if umockdev and name in UMOCKDEV_FAILED:
            calls -= errors - base_errors
        if calls > 0:
            per[name] = calls / SYSCALL_INTERFACES
    return sum(per.values()), per


def breakdown(per):
    return ", ".join(f"{name} {calls:.2g}" for name, calls in
                     sorted(per.items(), key=lambda item: -item[1]) if calls >= 0.05)


def syscalls_per_interface(build, directory):
    if shutil.which("strace") is None:
        row("(f) system calls per interface", "failed", "", "strace is missing")
        return
    bed = testbed(directory, SYSCALL_INTERFACES)
    umockdev = ["umockdev-run", "-d", bed, "--"]
    ours, ours_per = pass_syscalls(umockdev, build, "ours", True)
    theirs, theirs_per = pass_syscalls(umockdev, build, "hidapi", True)
    row(f"(f) system calls per interface, one pass at {SYSCALL_INTERFACES} interfaces under "
        "umockdev, its own calls left out (ours / hidapi)", f"{ours:.1f} / {theirs:.0f}", "", "")
    row("(f) ours, by call", breakdown(ours_per))
    row("(f) hidapi, by call", breakdown(theirs_per))
    if os.geteuid() != 0:
        row("(f) system calls per interface, plain files over /sys", "skipped", "",
            "needs root for the mount namespace")
        return
    total, per = pass_syscalls(bind_sysfs(plain_tree(directory)), build, "ours", False)
    row("(f) system calls per interface, ours, plain files over /sys (nothing intercepted)",
        f"{total:.1f} ({breakdown(per)})", "<= 12", "met" if total <= 12 else "missed")


def plain_tree(directory):
    """The 64 interfaces as plain files (made once), for binding over /sys."""
    tree = os.path.join(directory, "sys64")
    if not os.path.isdir(tree):
        subprocess.run([sys.executable, os.path.join(HERE, "make_testbed.py"), "64", "--tree",
                        tree], check=True)
    return tree


def bind_sysfs(tree):
    """Wrappers that run a program in a private mount namespace with tree over /sys."""
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
            'mount --bind "$0" /sys && exec "$@"', tree]


def timed_runs(wrappers, programs):
    """For each program: median wall time in ms and the largest peak RSS in KiB over ROUNDS
    runs, the programs taking turns (one, two, one, two ...) so that a change in the machine's
    load falls on all of them alike.

    wrappers run before each program (umockdev-run, a mount namespace). GNU time reports the
    peak: a program started straight from Python would report Python's own size, which the
    kernel carries over exec as the high-water mark.
    """
    probe = ("import subprocess, sys, time\n"
             "start = time.perf_counter()\n"
             "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
             "print((time.perf_counter() - start) * 1000)\n")
    times = [[] for _ in programs]
    peaks = [[] for _ in programs]
    with tempfile.NamedTemporaryFile("r") as peak:
        for _ in range(ROUNDS):
            for index, program in enumerate(programs):
                out = subprocess.run(wrappers + [sys.executable, "-c", probe, "/usr/bin/time",
                                                 "-f", "%M", "-o", peak.name, program],
                                     capture_output=True, text=True, check=True).stdout
                times[index].append(float(out))
                peak.seek(0)
                peaks[index].append(int(peak.read().split()[-1]))
    return [(statistics.median(t), max(p)) for t, p in zip(times, peaks)]


def whole_run(build, directory):
    if os.geteuid() != 0:
        row("(c)/(d) whole native run", "skipped", "", "needs root: the launcher asks for it")
        return
    kit = os.path.join(directory, "kit")
    os.makedirs(os.path.join(kit, kd.FOLDER_OF["SOC"]))
    shutil.copy(os.path.join(build, "bin", kd.LINUX_LAUNCHER), kit)
    tool = os.path.join(kit, kd.FOLDER_OF["SOC"], kd.TOOL_FILE)
    with open(tool, "w") as script:
        script.write("#!/bin/sh\nexit 0\n")
    os.chmod(tool, 0o755)
    launcher = os.path.join(kit, kd.LINUX_LAUNCHER)
    trivial = os.path.join(build, "bin", "trivial_run")

    # Plain files bind-mounted over /sys in a private mount namespace: the launcher reads them
    # as it reads the kernel's, with nothing intercepting its calls.
    tree = plain_tree(directory)
    (launcher_ms, launcher_kib), (trivial_ms, trivial_kib) = timed_runs(
        bind_sysfs(tree), [launcher, trivial])
    cost = launcher_ms - trivial_ms
    row("(c) whole native run beyond its 500 ms wait, 64 interfaces (launcher - trivial, "
        "taking turns)", f"{launcher_ms:.1f} ms - {trivial_ms:.1f} ms = {cost:.1f} ms",
        "<= 2 ms on a quiet core", "met" if cost <= 2 else "missed")
    row("(d) peak memory, native run with 64 interfaces (launcher / trivial)",
        f"{launcher_kib / 1024:.2f} MiB / {trivial_kib / 1024:.2f} MiB", "< 4 MB",
        "met" if launcher_kib * 1024 < 4e6 else "missed")

    # The same under umockdev, whose interception of every file call is part of the figure.
    bed = testbed(directory, 64)
    (launcher_ms, _), (trivial_ms, _) = timed_runs(["umockdev-run", "-d", bed, "--"],
                                                   [launcher, trivial])
    row("(c) the same under umockdev (launcher - trivial)",
        f"{launcher_ms:.1f} ms - {trivial_ms:.1f} ms = {launcher_ms - trivial_ms:.1f} ms", "",
        "umockdev intercepts each file call")


def wine_start_cost(build, directory):
    """The launcher's own time from the end of its settle to Wine's start, a Windows tool and a
    warm prefix, beside a warm start of the same tool by Wine alone (median wall time of `wine
    tool`)."""
    stand_in = os.path.join(build, "tests", "linux", "wine-stand-in", kd.TOOL_FILE)
    if (QUICK or os.geteuid() != 0 or not shutil.which("wine") or not os.path.exists(stand_in)
            or not kd.wine_32_bit_loader_runs()):
        row("(g) launcher's own time before Wine starts", "skipped", "",
            "--quick, or no root, Wine, Windows stand-in or 32-bit loader that runs")
        return
    kit = os.path.join(directory, "wine-kit")
    os.makedirs(os.path.join(kit, kd.FOLDER_OF["SOC"]))
    shutil.copy(os.path.join(build, "bin", kd.LINUX_LAUNCHER), kit)
    tool = shutil.copy(stand_in, os.path.join(kit, kd.FOLDER_OF["SOC"], kd.TOOL_FILE))
    # Root's prefix lies in root's home: a scratch one over it, and the simulated sysfs.
    home = os.path.join(directory, "root-home")
    os.makedirs(home)
    wrappers = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                'mount --bind "$0" /sys && mount --bind "$1" /root && shift && exec "$@"',
                plain_tree(directory), home]
    prefix = os.path.join("/root", ".local", "share", "tamsu-pair-kit", "wine")
    launcher = [os.path.join(kit, kd.LINUX_LAUNCHER)]
    # Wine's processes hold on to whatever output they are given: none is.
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(wrappers + launcher, **quiet)  # makes the prefix
    # Warm: the prefix's wineserver kept running throughout, as it lingers between quick starts.
    server = ["env", "WINEPREFIX=" + prefix, "wineserver"]
    subprocess.run(wrappers + server + ["-w"], **quiet)  # the first start's own ends first
    subprocess.run(wrappers + server + ["-p"], **quiet)
    # The launcher's run beyond its fixed 500 ms wait, against the trivial program (which only
    # waits), taking turns: from its settle to Wine's start, with process start and exit. (Under
    # strace -f the tool's Wine is followed as well, and its services keep strace waiting.)
    (launcher_ms, _), (trivial_ms, _) = timed_runs(
        wrappers, [launcher[0], os.path.join(build, "bin", "trivial_run")])
    own = [launcher_ms - trivial_ms]
    alone = []
    for _ in range(ROUNDS):
        out = subprocess.run(wrappers + [sys.executable, "-c", "import subprocess, sys, time\n"
                                         "start = time.perf_counter()\n"
                                         "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL,"
                                         " stderr=subprocess.DEVNULL)\n"
                                         "print((time.perf_counter() - start) * 1000)",
                                         "env", "WINEPREFIX=" + prefix, "WINEDEBUG=-all",
                                         "wine", tool], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, check=True)
        alone.append(float(out.stdout))
    subprocess.run(wrappers + server + ["-k"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    own_ms, alone_ms = statistics.median(own), statistics.median(alone)
    row("(g) launcher's own time from its settle to Wine's start, warm prefix / a warm start of "
        "the tool by Wine alone", f"{own_ms:.2f} ms / {alone_ms:.0f} ms = "
        f"{100 * own_ms / alone_ms:.1f} %", "<= 5 %", "met" if own_ms <= 0.05 * alone_ms
        else "missed")


def windows(windows_build):
    exe = os.path.join(windows_build, "bin", "TamsuLauncher.exe")
    if not os.path.exists(exe):
        row("(e) TamsuLauncher.exe size", "not built")
        return
    size = os.path.getsize(exe)
    row("(e) TamsuLauncher.exe size, icons included", f"{size / 1024:.1f} KiB ({size} bytes)",
        "< 200 KB", "met" if size < 200e3 else "missed")
    if not kd.wine_32_bit_loader_runs():
        row("(c) whole run under Wine", "skipped", "", "this kernel runs no 32-bit x86 program")
        return
    out = subprocess.run([sys.executable, os.path.join(HERE, "wine_run_cost.py"), windows_build,
                          str(ROUNDS)], capture_output=True, text=True)
    if out.returncode == 0 and out.stdout.strip():
        launcher_ms, trivial_ms = map(float, out.stdout.split()[:2])
        row("(c) whole run under Wine beyond its 500 ms wait, 64 interfaces (launcher - trivial)",
            f"{launcher_ms:.0f} ms - {trivial_ms:.0f} ms = {launcher_ms - trivial_ms:.0f} ms")
    else:
        row("(c) whole run under Wine", "failed", "", out.stderr.strip()[-200:])


def main():
    build = os.path.abspath(sys.argv[1])
    windows_build = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
    with tempfile.TemporaryDirectory() as directory:
        classify_throughput(build)
        scan_against_hidapi(build, directory)
        syscalls_per_interface(build, directory)
        whole_run(build, directory)
        wine_start_cost(build, directory)
    if windows_build:
        windows(windows_build)
    row("machine", load())
    print("| Measure | Figure | Goal | |")
    print("|---|---|---|---|")
    for measure, figure, goal, note in rows:
        print(f"| {measure} | {figure} | {goal} | {note} |")
    # A figure that could not be taken is a broken benchmark, not a slow launcher.
    if any(figure in ("failed", "not built") for _, figure, _, _ in rows):
        sys.exit("report.py: a benchmark could not run")


if __name__ == "__main__":
    main()
