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
        goal = "ours <= 0.5 x hidapi" if count == 64 else ""
        verdict = ("met" if ours <= theirs / 2 else "missed") if count == 64 else ""
        row(f"(b) one detection pass, {count} interfaces (ours / hidapi hid_enumerate)",
            f"{ours:.0f} us / {theirs:.0f} us = {ours / theirs:.3f}", goal, verdict)


def timed_runs(command):
    """Median wall time in ms and the largest peak RSS in KiB over ROUNDS runs.

    The last element of command is the program; the ones before it wrap it (umockdev-run, a
    mount namespace). GNU time reports the peak: a program started straight from Python would
    report Python's own size, which the kernel carries over exec as the high-water mark.
    """
    probe = ("import subprocess, sys, time\n"
             "start = time.perf_counter()\n"
             "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
             "print((time.perf_counter() - start) * 1000)\n")
    times, peaks = [], []
    with tempfile.NamedTemporaryFile("r") as peak:
        for _ in range(ROUNDS):
            out = subprocess.run(command[:-1] + [sys.executable, "-c", probe, "/usr/bin/time",
                                                 "-f", "%M", "-o", peak.name, command[-1]],
                                 capture_output=True, text=True, check=True).stdout
            times.append(float(out))
            peak.seek(0)
            peaks.append(int(peak.read().split()[-1]))
    return statistics.median(times), max(peaks)


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
    tree = os.path.join(directory, "sys64")
    subprocess.run([sys.executable, os.path.join(HERE, "make_testbed.py"), "64", "--tree", tree],
                   check=True)
    wrap = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
            'mount --bind "$0" /sys && exec "$@"', tree]
    launcher_ms, launcher_kib = timed_runs(wrap + [launcher])
    trivial_ms, trivial_kib = timed_runs(wrap + [trivial])
    cost = launcher_ms - trivial_ms
    row("(c) whole native run beyond its 500 ms wait, 64 interfaces (launcher - trivial)",
        f"{launcher_ms:.1f} ms - {trivial_ms:.1f} ms = {cost:.1f} ms", "< 5 ms",
        "met" if cost < 5 else "missed")
    row("(d) peak memory, native run with 64 interfaces (launcher / trivial)",
        f"{launcher_kib / 1024:.2f} MiB / {trivial_kib / 1024:.2f} MiB", "< 4 MB",
        "met" if launcher_kib * 1024 < 4e6 else "missed")

    # The same under umockdev, whose interception of every file call is part of the figure.
    bed = testbed(directory, 64)
    wrap = ["umockdev-run", "-d", bed, "--"]
    launcher_ms, _ = timed_runs(wrap + [launcher])
    trivial_ms, _ = timed_runs(wrap + [trivial])
    row("(c) the same under umockdev (launcher - trivial)",
        f"{launcher_ms:.1f} ms - {trivial_ms:.1f} ms = {launcher_ms - trivial_ms:.1f} ms", "",
        "umockdev intercepts each file call")


def windows(windows_build):
    exe = os.path.join(windows_build, "bin", "TamsuLauncher.exe")
    if not os.path.exists(exe):
        row("(e) TamsuLauncher.exe size", "not built")
        return
    size = os.path.getsize(exe)
    row("(e) TamsuLauncher.exe size, icons included", f"{size / 1024:.1f} KiB ({size} bytes)",
        "< 200 KB", "met" if size < 200e3 else "missed")
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
        whole_run(build, directory)
    if windows_build:
        windows(windows_build)
    print("| Measure | Figure | Goal | |")
    print("|---|---|---|---|")
    for measure, figure, goal, note in rows:
        print(f"| {measure} | {figure} | {goal} | {note} |")
    # A figure that could not be taken is a broken benchmark, not a slow launcher.
    if any(figure in ("failed", "not built") for _, figure, _, _ in rows):
        sys.exit("report.py: a benchmark could not run")


if __name__ == "__main__":
    main()
