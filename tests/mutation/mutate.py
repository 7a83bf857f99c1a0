"""Plants each fault of faults.py, one at a time, in a copy of the source tree (one per platform,
build/mutation/PLATFORM/src, so the two platforms can run at once),
rebuilds, and runs that platform's tests until the first failure: the unit test programs first,
then the rest of the platform's CTest suite. Each fault is reported as killed, survived or not
built; the last line is `mutants: K/N killed`.

An interrupted run leaves the developer's sources as they were: the fault is only ever written
into the copy, which the next run brings back in line with the sources before anything else.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import faults as fault_list

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WORK = os.path.join(ROOT, "build", "mutation")


def copy_of(platform):
    return os.path.join(WORK, platform, "src")

# The unit test programs of each platform, run before anything else: they kill most faults in
# seconds. Under Wine they run through the toolchain's emulator, in the unit tests' prefix.
UNIT_PROGRAMS = {"linux": ["unit_tests", "run_tests", "linux_unit_tests"],
                 "windows": ["unit_tests.exe", "run_tests.exe"]}
# Left out of each run: the unit tests (run above, whole), and the release checks (a second
# build compared byte for byte, the signed kit), which look at packaging, not behaviour.
CTEST_EXCLUDE = "^(unit|release)$"
# Files only the release checks run (the kit script, and the line ends of a checkout): their
# faults run those checks alone, and so does the baseline before them.
RELEASE_FILES = ("scripts/kit.sh", ".gitattributes")


def source_files():
    """The files of the working tree that git knows of or would add (changes not yet committed
    are part of the run)."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, check=True, capture_output=True).stdout
    return sorted({name for name in listed.decode().split("\0") if name and
                   os.path.isfile(os.path.join(ROOT, name))})


def same_bytes(a, b):
    try:
        with open(a, "rb") as x, open(b, "rb") as y:
            return x.read() == y.read()
    except OSError:
        return False


def sync_copy(copy_root):
    """Brings the copy in line with the sources; files that did not change keep their times, so
    the copy's build stays incremental. Returns the number of files written."""
    files = source_files()
    written = 0
    for name in files:
        source, copy = os.path.join(ROOT, name), os.path.join(copy_root, name)
        if not same_bytes(source, copy):
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copy2(source, copy)
            written += 1
    keep = set(files)
    for folder, dirs, names in os.walk(copy_root):
        relative = os.path.relpath(folder, copy_root)
        if relative == ".":
            dirs[:] = [d for d in dirs if d != "build"]
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if path not in keep:
                os.remove(os.path.join(folder, name))
    return written


def copy_differs(copy_root):
    """The copied files whose bytes differ from the sources (none after a clean run)."""
    return [name for name in source_files()
            if not same_bytes(os.path.join(ROOT, name), os.path.join(copy_root, name))]


def stale_entries(entries):
    """Entries whose text does not occur exactly once in their file, with the count found."""
    stale = []
    for fault in entries:
        try:
            with open(os.path.join(ROOT, fault.file), encoding="utf-8") as f:
                count = f.read().count(fault.find)
        except FileNotFoundError:
            count = 0
        if count != 1:
            stale.append((fault, count))
    return stale


def run_logged(command, log, timeout, cwd):
    """Runs command with its output appended to log, in a process group of its own so that a
    run past its time can be ended with everything it started. Returns the exit status, or None
    when the time ran out."""
    with open(log, "a") as out:
        out.write("$ %s\n" % " ".join(command))
        out.flush()
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            return process.wait(timeout=max(timeout, 1))
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise


def build(platform, log, targets=()):
    copy = copy_of(platform)
    status = run_logged(["cmake", "--preset", platform], log, 600, copy)
    if status == 0:
        command = ["cmake", "--build", "--preset", platform]
        for target in targets:
            command += ["--target", target]
        status = run_logged(command, log, 1800, copy)
    return status == 0


def run_tests(platform, log, deadline, programs, unit_only=False, release=False):
    """The platform's tests until the first failure: the unit test programs, then (unless
    unit_only) the CTest suite, or with release its release checks alone. Returns "passed",
    "failed" or "timeout"."""
    copy = copy_of(platform)
    binary = os.path.join(copy, "build", platform)
    for program in programs:
        command = [os.path.join(binary, "bin", program), "--gtest_fail_fast", "--gtest_brief=1"]
        if platform == "windows":
            command = [os.path.join(copy, "tests", "windows", "wine_run.sh"),
                       os.path.join(binary, "wine", "unit")] + command
        status = run_logged(command, log, deadline - time.monotonic(), copy)
        if status is None:
            return "timeout"
        if status != 0:
            return "failed"
    if unit_only:
        return "passed"
    selection = ["-L", "^release$"] if release else ["-LE", CTEST_EXCLUDE]
    status = run_logged(["ctest", "--test-dir", binary, "--stop-on-failure", "--output-on-failure",
                         *selection], log, deadline - time.monotonic(), copy)
    return {None: "timeout", 0: "passed"}.get(status, "failed")


def first_failure(log):
    """The test that failed first, as the log names it: a unit test case or a CTest test."""
    with open(log, encoding="utf-8", errors="replace") as f:
        text = f.read()
    unit = re.search(r"^\[  FAILED  \] (\S+)", text, re.M)
    ctest = re.search(r"^\s*\d+ - (\S+) \(", text, re.M)
    return unit.group(1).rstrip(",") if unit else ctest.group(1) if ctest else "?"


def plant(fault):
    path = os.path.join(copy_of(fault.platform), fault.file)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(fault.find, fault.replace, 1))


def restore(fault):
    # A new time, not the old one: the build must see the file changed back.
    shutil.copyfile(os.path.join(ROOT, fault.file), os.path.join(copy_of(fault.platform), fault.file))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--platform", choices=("linux", "windows"))
    parser.add_argument("--quick", action="store_true",
                        help="against the unit tests alone, the two quick faults unless --only")
    parser.add_argument("--time-limit", type=float, default=900,
                        help="seconds for one fault's build and tests (default 900)")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    options = parser.parse_args()

    entries = fault_list.FAULTS
    stale = stale_entries(entries)
    for fault, count in stale:
        print("STALE ENTRY %s: its text occurs %d times in %s, not once" % (fault.id, count,
                                                                            fault.file))
    if options.list:
        for fault in entries:
            print("%-32s %-8s %-36s %s" % (fault.id, fault.platform, fault.file, fault.models))
        return 1 if stale else 0

    chosen = entries
    if options.quick and not options.only:
        chosen = [f for f in entries if f.id in fault_list.QUICK]
    if options.only:
        wanted = options.only.split(",")
        unknown = sorted(set(wanted) - {f.id for f in entries})
        if unknown:
            print("unknown fault ids: %s" % ", ".join(unknown))
            return 2
        chosen = [f for f in chosen if f.id in wanted]
    if options.platform:
        chosen = [f for f in chosen if f.platform == options.platform]
    stale_ids = {fault.id for fault, _ in stale}
    chosen = [f for f in chosen if f.id not in stale_ids]
    platforms = [p for p in ("linux", "windows") if any(f.platform == p for f in chosen)]

    results = []
    started = time.monotonic()
    try:
        for platform in platforms:
            platform_started = time.monotonic()
            logs = os.path.join(WORK, platform, "logs")
            os.makedirs(logs, exist_ok=True)
            print("%s: copy: %d files brought in line with the sources" % (
                platform, sync_copy(copy_of(platform))))
            log = os.path.join(logs, "baseline.log")
            open(log, "w").close()
            programs = UNIT_PROGRAMS[platform]
            if options.quick and not options.only:
                programs = programs[:1]  # the quick faults' killer: builds in seconds
            targets = [p[:-4] if p.endswith(".exe") else p for p in programs] if options.quick \
                else ()
            if not build(platform, log, targets):
                print("%s: the unchanged sources do not build; see %s" % (platform, log))
                return 1
            outcome = run_tests(platform, log, time.monotonic() + 3600, programs, options.quick)
            if outcome == "passed" and any(f.platform == platform and f.file in RELEASE_FILES
                                           for f in chosen):
                outcome = run_tests(platform, log, time.monotonic() + 3600, [], release=True)
            if outcome != "passed":
                print("%s: the unchanged sources fail their tests; see %s" % (platform, log))
                return 1
            print("%s: baseline built and passed in %.0f s" % (platform,
                                                                 time.monotonic() - platform_started))
            for fault in [f for f in chosen if f.platform == platform]:
                if fault.equivalent:
                    print("equivalent  %-32s %s (%s)" % (fault.id, fault.models, fault.equivalent))
                    results.append((fault, "equivalent"))
                    continue
                fault_started = time.monotonic()
                log = os.path.join(logs, fault.id + ".log")
                open(log, "w").close()
                plant(fault)
                try:
                    if not build(platform, log, targets):
                        outcome = "not built"
                    else:
                        release = fault.file in RELEASE_FILES
                        outcome = run_tests(platform, log, fault_started + options.time_limit,
                                            [] if release else programs,
                                            options.quick and not release, release)
                finally:
                    restore(fault)
                status = {"failed": "killed", "timeout": "killed (time limit)",
                          "passed": "SURVIVED", "not built": "NOT BUILT"}[outcome]
                by = " (by %s)" % first_failure(log) if outcome == "failed" else ""
                print("%-20s %-32s %4.0f s  %s%s" % (status, fault.id,
                                                     time.monotonic() - fault_started,
                                                     fault.models, by))
                sys.stdout.flush()
                results.append((fault, status))
            print("%s: %.0f s" % (platform, time.monotonic() - platform_started))
    finally:
        for platform in platforms:
            if copy_differs(copy_of(platform)):
                sync_copy(copy_of(platform))
            differing = copy_differs(copy_of(platform))
            if differing:
                print("THE %s COPY STILL DIFFERS FROM THE SOURCES: %s" % (platform,
                                                                        ", ".join(differing)))
    counted = [(f, s) for f, s in results if s not in ("equivalent", "NOT BUILT")]
    killed = [f for f, s in counted if s.startswith("killed")]
    for platform in platforms:
        mine = [(f, s) for f, s in counted if f.platform == platform]
        print("%s: %d/%d killed" % (platform, sum(s.startswith("killed") for _, s in mine),
                                    len(mine)))
    print("time: %.0f s" % (time.monotonic() - started))
    print("mutants: %d/%d killed" % (len(killed), len(counted)))
    failed = stale or len(killed) < len(counted) or any(s == "NOT BUILT" for _, s in results)
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; the sources were never changed, the copy is restored on the next run")
        sys.exit(130)
