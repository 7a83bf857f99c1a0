#!/usr/bin/env python3
"""The whole Windows run's cost under Wine beyond its fixed 500 ms wait, against a trivial
program of the same kind, in one warm prefix with 64 HID interfaces of one receiver family.

Usage: wine_run_cost.py WINDOWS_BUILD_DIR [ROUNDS]
Prints: launcher_ms trivial_ms (medians over ROUNDS runs each, alternating).
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "windows"))
import winekit  # noqa: E402
from kit_description import FOLDER_OF, TOOL_FILE  # noqa: E402


def main():
    build = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    work = os.path.join(build, "wine", "bench")
    os.environ.update(
        TAMSU_LAUNCHER=os.path.join(build, "bin", "TamsuLauncher.exe"),
        TAMSU_STAND_IN=os.path.join(build, "tests", "windows", "stand-in", TOOL_FILE),
        TAMSU_PLANTED_LIBRARY=os.path.join(build, "tests", "windows", "planted", "planted.dll"),
        TAMSU_WINE_WORK=work)
    config = winekit.Config()
    winekit.prepare(config)
    try:
        interfaces = [winekit.Interface("VID_7C2F&PID_2003&MI_%02X" % (n % 2),
                                        "7&%08x&0&0000" % n) for n in range(64)]
        winekit.set_interfaces(config, interfaces)
        kit = winekit.Kit(config, "bench")
        shutil.copy(os.path.join(build, "bin", "trivial_run.exe"), kit.directory)
        env = winekit.wine_env(config)
        timings = {"launcher": [], "trivial": []}
        for _ in range(rounds):
            for name, program in (("launcher", kit.launcher), ("trivial", kit.base + "trivial_run.exe")):
                start = time.perf_counter()
                subprocess.run(["wine", program], env=env, cwd=config.work, check=True,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                timings[name].append((time.perf_counter() - start) * 1000)
        if FOLDER_OF["SOC"] not in kit.started(wait_for=FOLDER_OF["SOC"]):
            sys.exit("the launcher did not start the SOC tool")
        print("%.1f %.1f" % (statistics.median(timings["launcher"]),
                             statistics.median(timings["trivial"])))
    finally:
        winekit.stop_server(config.prefix)


if __name__ == "__main__":
    main()
