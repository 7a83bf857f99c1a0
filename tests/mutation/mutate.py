"""Plants faults one at a time in a copy of the source tree (one per platform,
build/mutation/PLATFORM/src, so the two platforms can run at once), rebuilds, and runs that
platform's tests until the first failure: the unit test programs first, then the rest of the
platform's CTest suite. Two sets: the hand-written faults of faults.py, and a seeded sample of
mechanical mutants (operators.py) of the files each platform builds. Each is reported as killed,
survived or not built; the end gives each set's score per platform, the mechanical survivors by
file and line, and last `mutants: K/N killed`.

An interrupted run leaves the developer's sources as they were: a fault is only ever written
into the copy, which the next run brings back in line with the sources before anything else.
"""

import argparse
import collections
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import equivalent as equivalent_list
import faults as fault_list
import operators

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A run of its own elsewhere (TAMSU_MUTATION_WORK) leaves another run in progress alone.
WORK = os.environ.get("TAMSU_MUTATION_WORK") or os.path.join(ROOT, "build", "mutation")


def copy_of(platform):
    return os.path.join(WORK, platform, "src")

# The unit test programs of each platform, run before anything else: they kill most faults in
# seconds. Under Wine they run through the toolchain's emulator, in the unit tests' prefix.
UNIT_PROGRAMS = {"linux": ["unit_tests", "run_tests", "linux_unit_tests"],
                 "windows": ["unit_tests.exe", "run_tests.exe"]}
# A unit program runs in seconds, under Wine too (once its prefix is up, as the baseline leaves
# it): one still running after this with a fault planted has hung.
UNIT_TIME_LIMIT = 120
# Left out of each run: the unit tests (run above, whole), the release checks (a second build
# compared byte for byte, the signed kit), which look at packaging, not behaviour, and the tests
# of this check's own operators.
CTEST_EXCLUDE = "^(unit|release|mutation)$"
# As the platform's test preset runs them: the end-to-end cases mostly wait, and side by side
# a survivor's whole suite takes a quarter of the time.
CTEST_JOBS = {"linux": 4, "windows": 2}
# The share of each platform's mechanical sample (less those not built or equivalent) the tests
# must kill; every hand-written fault must be killed.
MECHANICAL_GOAL = 0.90
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


def run_tests(platform, log, deadline, programs, unit_only=False, release=False, unit_limit=3600):
    """The platform's tests until the first failure: the unit test programs (each within
    unit_limit seconds), then (unless unit_only) the CTest suite, or with release its release
    checks alone. Returns "passed", "failed" or "timeout"."""
    copy = copy_of(platform)
    binary = os.path.join(copy, "build", platform)
    for program in programs:
        command = [os.path.join(binary, "bin", program), "--gtest_fail_fast", "--gtest_brief=1"]
        if platform == "windows":
            command = [os.path.join(copy, "tests", "windows", "wine_run.sh"),
                       os.path.join(binary, "wine", "unit")] + command
        status = run_logged(command, log, min(deadline - time.monotonic(), unit_limit), copy)
        if status is None:
            return "timeout"
        if status != 0:
            return "failed"
    if unit_only:
        return "passed"
    selection = ["-L", "^release$"] if release else ["-LE", CTEST_EXCLUDE]
    status = run_logged(["ctest", "--test-dir", binary, "--stop-on-failure", "--output-on-failure",
                         "--parallel", str(CTEST_JOBS[platform]), *selection], log,
                        deadline - time.monotonic(), copy)
    return {None: "timeout", 0: "passed"}.get(status, "failed")


def first_failure(log):
    """The test that failed first, as the log names it: a unit test case or a CTest test."""
    with open(log, encoding="utf-8", errors="replace") as f:
        text = f.read()
    unit = re.search(r"^\[  FAILED  \] (\S+)", text, re.M)
    ctest = re.search(r"^\s*\d+ - (\S+) \(", text, re.M)
    return unit.group(1).rstrip(",") if unit else ctest.group(1) if ctest else "?"


# One planted change of either set: its id, set ("hand-written" or "mechanical"), platform,
# file and line, what it does, why it cannot change behaviour (or None), and the function that
# plants it into a file's text (None when the text no longer holds its place).
Entry = collections.namedtuple("Entry", "id set platform file line what equivalent mutate")

# The mechanical mutants of --quick, beside the hand-written QUICK: named by file, line and
# change as --list shows them (their ids hold line numbers), each killed by the unit tests alone.
QUICK_MECHANICAL = (("detect/device_rules.cpp", "++*rule.counter;", "removed: ++*rule.counter;"),
                    ("detect/text_search_portable.cpp", "if (*q == L'\\0')", "== -> !="))


def hand_written(fault):
    return Entry(fault.id, "hand-written", fault.platform, fault.file, 0, fault.models,
                 fault.equivalent, lambda text: text.replace(fault.find, fault.replace, 1)
                 if text.count(fault.find) == 1 else None)


def shown_equivalent(e, m, platform):
    """Whether entry e of the equivalent list names mutant m ('*' in its site or change stands
    for any text)."""
    like = lambda pattern, text: re.fullmatch(".*".join(map(re.escape, pattern.split("*"))), text)  # noqa: E731
    return e.file == m.file and like(e.site, m.site) and like(e.change, operators.change_of(m)) \
        and e.platform in (None, platform) and e.occurrence in (None, m.occurrence) \
        and e.function in (None, m.function)


def mechanical(m, platform, equivalent):
    reasons = [e.reason for e in equivalent if shown_equivalent(e, m, platform)]
    return Entry(m.id, "mechanical", platform, m.file, m.line,
                 operators.change_of(m), reasons[0] if reasons else None,
                 lambda text: operators.plant(m, text))


def mechanical_entries(options, pools):
    """Each chosen platform's seeded sample (the quick ones instead with --quick), and the stale
    entries of the equivalent list (those that match no mutant of either platform)."""
    everything = {p: pools.get(p) or operators.pool(ROOT, p) for p in ("linux", "windows")}
    stale = [e for e in equivalent_list.EQUIVALENT if not any(
        shown_equivalent(e, m, p) for p, pool in everything.items() for m in pool)]
    entries = []
    for platform, pool in pools.items():
        if options.quick and not options.only:  # against the native unit tests, as QUICK
            chosen = [m for m in pool if platform == "linux" and
                      (m.file, m.site, operators.change_of(m)) in QUICK_MECHANICAL]
        else:
            chosen = operators.sample(pool, platform, options.seed, options.sample)
        entries += [mechanical(m, platform, equivalent_list.EQUIVALENT) for m in chosen]
    return entries, stale


def chosen_entries(options):
    """The entries of this run, in order (each platform's hand-written, then mechanical), and
    the lines that report stale ones."""
    platforms = [options.platform] if options.platform else ["linux", "windows"]
    stale = ["STALE ENTRY %s: its text occurs %d times in %s, not once" % (f.id, count, f.file)
             for f, count in stale_entries(fault_list.FAULTS)]
    stale_ids = {f.id for f, _ in stale_entries(fault_list.FAULTS)}
    entries = []
    if options.set != "mechanical":
        hand = [f for f in fault_list.FAULTS if f.id not in stale_ids and f.platform in platforms]
        if options.quick and not options.only:
            hand = [f for f in hand if f.id in fault_list.QUICK]
        entries += [hand_written(f) for f in hand]
    if options.set != "hand-written":
        pools = {p: operators.pool(ROOT, p) for p in platforms}
        mechanical_list, stale_equivalents = mechanical_entries(options, pools)
        entries += mechanical_list
        stale += ["STALE EQUIVALENT %s: no mutant of %r makes %r" % (e.file, e.site, e.change)
                  for e in stale_equivalents]
        if options.quick and not options.only and len(mechanical_list) < len(QUICK_MECHANICAL):
            stale.append("STALE QUICK MUTANT: fewer than %d of QUICK_MECHANICAL are made"
                         % len(QUICK_MECHANICAL))
    if options.only:
        wanted = options.only.split(",")
        unknown = sorted(set(wanted) - {e.id for e in entries})
        if unknown:
            stale.append("unknown ids (not in this set or sample): %s" % ", ".join(unknown))
        entries = [e for e in entries if e.id in wanted]
    order = {p: i for i, p in enumerate(platforms)}
    return sorted(entries, key=lambda e: order[e.platform]), stale


def plant(entry):
    """Writes the entry into the platform's copy; False when its text is no longer there."""
    path = os.path.join(copy_of(entry.platform), entry.file)
    with open(path, encoding="utf-8") as f:
        text = entry.mutate(f.read())
    if text is None:
        return False
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return True


def restore(entry):
    # A new time, not the old one: the build must see the file changed back.
    shutil.copyfile(os.path.join(ROOT, entry.file), os.path.join(copy_of(entry.platform), entry.file))


def run_entry(entry, options, targets, programs):
    """Plants, builds and tests one entry; returns its status and the log's first failure."""
    started = time.monotonic()
    log = os.path.join(WORK, entry.platform, "logs", entry.id.replace("/", "_") + ".log")
    open(log, "w").close()
    try:
        if not plant(entry):
            return "stale", ""
        if not build(entry.platform, log, targets):
            outcome = "not built"
        else:
            release = entry.file in RELEASE_FILES
            outcome = run_tests(entry.platform, log, started + options.time_limit,
                                [] if release else programs, options.quick and not release,
                                release, UNIT_TIME_LIMIT)
    finally:
        restore(entry)
    status = {"failed": "killed", "timeout": "killed (time limit)", "passed": "SURVIVED",
              "not built": "NOT BUILT" if entry.set == "hand-written" else "not built"}[outcome]
    return status, " (by %s)" % first_failure(log) if outcome == "failed" else ""


def run_platform(platform, entries, options):
    """The platform's baseline, then each entry; returns (entry, status) pairs, or None when
    the unchanged sources do not build or pass."""
    platform_started = time.monotonic()
    os.makedirs(os.path.join(WORK, platform, "logs"), exist_ok=True)
    print("%s: copy: %d files brought in line with the sources" % (
        platform, sync_copy(copy_of(platform))))
    log = os.path.join(WORK, platform, "logs", "baseline.log")
    open(log, "w").close()
    programs = UNIT_PROGRAMS[platform]
    if options.quick and not options.only:
        programs = programs[:1]  # the quick faults' killer: builds in seconds
    targets = [p[:-4] if p.endswith(".exe") else p for p in programs] if options.quick else ()
    if not build(platform, log, targets):
        print("%s: the unchanged sources do not build; see %s" % (platform, log))
        return None
    outcome = run_tests(platform, log, time.monotonic() + 3600, programs, options.quick)
    if outcome == "passed" and any(e.platform == platform and e.file in RELEASE_FILES
                                   for e in entries):
        outcome = run_tests(platform, log, time.monotonic() + 3600, [], release=True)
    if outcome != "passed":
        print("%s: the unchanged sources fail their tests; see %s" % (platform, log))
        return None
    print("%s: baseline built and passed in %.0f s" % (platform, time.monotonic() - platform_started))
    results = []
    for entry in [e for e in entries if e.platform == platform]:
        started = time.monotonic()
        if entry.equivalent:
            status, by = "equivalent", " (%s)" % entry.equivalent
        else:
            status, by = run_entry(entry, options, targets, programs)
        print("%-20s %-40s %4.0f s  %s%s" % (status, entry.id, time.monotonic() - started,
                                             entry.what, by))
        sys.stdout.flush()
        results.append((entry, status))
    print("%s: %.0f s" % (platform, time.monotonic() - platform_started))
    return results


def report(results, platforms):
    """Each set's score on each platform, the mechanical survivors; True when the goals hold:
    every hand-written fault killed, the mechanical sample at MECHANICAL_GOAL or better."""
    met = True
    for platform in platforms:
        for name in ("hand-written", "mechanical"):
            mine = [s for e, s in results if e.platform == platform and e.set == name]
            if not mine:
                continue
            counted = [s for s in mine if s not in ("equivalent", "not built", "stale")]
            killed = sum(s.startswith("killed") for s in counted)
            others = ", ".join("%d %s" % (mine.count(s), s) for s in ("not built", "equivalent",
                                                                      "stale") if s in mine)
            print("%s %s: %d/%d killed (%.0f%%)%s" % (
                platform, name, killed, len(counted), 100.0 * killed / max(len(counted), 1),
                "; " + others + ", not counted" if others else ""))
            goal = len(counted) if name == "hand-written" else MECHANICAL_GOAL * len(counted)
            met = met and killed >= goal and (name != "hand-written" or "NOT BUILT" not in mine)
    survivors = [e for e, s in results if e.set == "mechanical" and s == "SURVIVED"]
    if survivors:
        print("mechanical survivors, by file and line:")
        for e in sorted(survivors, key=lambda e: (e.file, e.line, e.platform)):
            print("  %-8s %-40s %s" % (e.platform, e.id, e.what))
    return met


def list_entries(entries):
    for e in entries:
        print("%-40s %-8s %-12s %s" % (e.id, e.platform, e.set, e.what) +
              (" [equivalent: %s]" % e.equivalent if e.equivalent else ""))


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", help="comma-separated ids (faults or mechanical mutants)")
    parser.add_argument("--platform", choices=("linux", "windows"))
    parser.add_argument("--set", choices=("hand-written", "mechanical"), help="one set alone")
    parser.add_argument("--seed", default="1", help="picks the mechanical sample (default 1)")
    parser.add_argument("--sample", type=int, default=150,
                        help="mechanical mutants per platform (default 150)")
    parser.add_argument("--quick", action="store_true",
                        help="against the unit tests alone, the quick entries unless --only")
    parser.add_argument("--time-limit", type=float, default=900,
                        help="seconds for one entry's build and tests (default 900)")
    parser.add_argument("--list", action="store_true", help="list the entries and exit")
    return parser.parse_args()


def main():
    options = parse_options()
    entries, stale = chosen_entries(options)
    for line in stale:
        print(line)
    if options.list:
        list_entries(entries)
        return 1 if stale else 0
    platforms = [p for p in ("linux", "windows") if any(e.platform == p for e in entries)]
    results = []
    started = time.monotonic()
    try:
        for platform in platforms:
            done = run_platform(platform, entries, options)
            if done is None:
                return 1
            results += done
    finally:
        for platform in platforms:
            if copy_differs(copy_of(platform)):
                sync_copy(copy_of(platform))
            differing = copy_differs(copy_of(platform))
            if differing:
                print("THE %s COPY STILL DIFFERS FROM THE SOURCES: %s" % (platform,
                                                                        ", ".join(differing)))
    met = report(results, platforms)
    counted = [s for _, s in results if s not in ("equivalent", "not built", "stale")]
    print("time: %.0f s" % (time.monotonic() - started))
    print("mutants: %d/%d killed" % (sum(s.startswith("killed") for s in counted), len(counted)))
    return 0 if met and not stale else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; the sources were never changed, the copy is restored on the next run")
        sys.exit(130)
