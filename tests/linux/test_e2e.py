"""The real native launcher end to end, on machines simulated with umockdev (the descriptions in
devices/), in kit folders with stand-in tools. Each case is its own CTest test:
linux_e2e.<test>[<case>]."""

import os
import shutil
import time

import pytest

import kit_description as kd
from e2e_support import (ARTEFACTS, expect_nothing_started, expect_started, new_kit,
                         run_launcher, start_launcher, tool)

ZH, EN = kd.LANGUAGES["zh"][0], kd.LANGUAGES["en"][0]
# The other devices of every simulated machine: none of them may count as a receiver.
OTHER = ["hid#vid_046d&pid_c31c\\kbd", "hid#vid_046d&pid_c52b&mi_02&col01",
         "hid#vid_046d&pid_c52b&mi_02&col02", "hid#bus_0003_vid&7c2f_pid&2003",
         "hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&00027c2f_pid&2010",
         "hid#elan0732&col01", "hid#elan0732&col02"]
SUN = ["hid#vid_1bcf&pid_0501&col01", "hid#vid_1bcf&pid_0501&col02"]
SOC = ["hid#vid_7c2f&pid_2003&mi_00\\kbd", "hid#vid_7c2f&pid_2003&mi_01"]
ENTRY = ["hid#vid_7c2f&pid_2010"]
BK = ["hid#vid_7c2f&pid_2000&mi_00&col01", "hid#vid_7c2f&pid_2000&mi_00&col02",
      "hid#vid_7c2f&pid_2000&mi_01"]

# case: simulated machine, locale variables, one pass's paths, counters, families found,
# notice (kind, language) and the family whose tool starts.
OUTCOMES = {
    "sun": ("sun", {"LANG": ZH}, OTHER + SUN, dict(sun=1, sun2=1), 1, None, "Sun"),
    "soc": ("soc", {"LANG": ZH}, OTHER + SOC, dict(soc=2), 1, None, "SOC"),
    "entry": ("entry", {"LANG": ZH}, OTHER + ENTRY, dict(entry=1), 1, None, "Entry"),
    "bk": ("bk", {"LANG": ZH}, OTHER + BK, dict(bk24=3), 1, None, "Bk"),
    "many": ("many", {"LANG": ZH}, OTHER + SOC + ENTRY, dict(soc=2, entry=1), 2, ("many", "zh"),
             None),
    "none": ("none", {"LANG": EN}, OTHER, {}, 0, ("none", "en"), None),
    # No hidraw list at all; the language in LC_MESSAGES over an English LANG.
    "no-hid-device": ("empty", {"LANG": EN, "LC_MESSAGES": ZH}, [], {}, 0, ("none", "zh"), None),
}


@pytest.mark.parametrize("case", OUTCOMES)
def test_outcome(kit, case):
    simulation, variables, paths, counts, families, notice, started = OUTCOMES[case]
    run = run_launcher(kit, simulation, **variables)
    # Nothing found: a second pass 3 s after the first, after the 500 ms settle.
    passes = 2 if families == 0 else 1
    assert sorted(run.hardware()) == sorted(paths * passes)
    assert run.summaries == [kd.summary(**counts)]
    assert run.nflags == [kd.nflag(families)]
    assert run.other_lines == ([kd.notice_line(*notice)] if notice else [])
    assert run.returncode == 0
    # Only a started stand-in speaks there.
    assert [line for line in run.stdout.splitlines() if not line.startswith("[stand-in] ")] == []
    if passes == 2:
        half = len(run.finds) // 2
        assert run.finds[:half] == run.finds[half:], "the second pass"
        assert run.seconds >= 3.5, "two passes took only %.2f s" % run.seconds
    if started:
        expect_started(kit, started)
    else:
        expect_nothing_started(kit)


def launcher_named_with_a_backslash(kit):
    # On Linux a backslash is part of a name: the base directory ends at the last '/', not in
    # the launcher's own file name, where a decoy folder would otherwise be taken for the kit.
    launcher = os.path.join(kit, "x\\" + kd.LINUX_LAUNCHER)
    shutil.copy(os.path.join(kit, kd.LINUX_LAUNCHER), launcher)
    decoy = os.path.join(kit, "x\\" + kd.FOLDER_OF["SOC"], kd.TOOL_FILE)
    os.makedirs(os.path.dirname(decoy))
    shutil.copy(tool(kit, "Entry"), decoy)
    return launcher


def missing_tool(kit):
    os.remove(tool(kit, "SOC"))


# case: kit folder, what is done to the kit (it may return the launcher to run), family started.
KIT_PATHS = {
    "chinese-folders": ("\u5766\u82cf \u914d\u5bf9\u5de5\u5177/\u5957\u4ef6 v1.5", None, "SOC"),
    "folder-not-utf8": (os.fsdecode(b"kit-\xff\xfe odd"), None, "SOC"),
    "launcher-named-with-a-backslash": ("backslash", launcher_named_with_a_backslash, "SOC"),
    "missing-tool": ("missing", missing_tool, None),
}


@pytest.mark.parametrize("case", KIT_PATHS)
def test_kit_path(work, case):
    folder, change, started = KIT_PATHS[case]
    kit = new_kit(os.path.join(work, folder))
    launcher = change(kit) if change else None
    run = run_launcher(kit, "soc", launcher=launcher, LANG=ZH)
    assert run.returncode == 0
    assert run.other_lines == []
    if started:
        expect_started(kit, started)
    else:
        expect_nothing_started(kit)


@pytest.fixture
def display():
    xvfb, name = kd.start_xvfb()
    yield name
    xvfb.terminate()
    xvfb.wait()


# case: simulated machine, notice (kind, language).
NOTICE_BOXES = {"none-en": ("none", ("none", "en")), "many-zh": ("many", ("many", "zh"))}


@pytest.mark.parametrize("case", NOTICE_BOXES)
def test_notice_box(kit, display, case):
    """A real zenity box on a private display, found by its caption, photographed and dismissed."""
    simulation, notice = NOTICE_BOXES[case]
    caption = kd.NOTICES[notice][0]
    os.makedirs(ARTEFACTS, exist_ok=True)
    picture = os.path.join(ARTEFACTS, "notice-%s.png" % case)
    running = start_launcher(kit, simulation, LANG=kd.LANGUAGES[notice[1]][0], DISPLAY=display)
    # The box comes after the 3.5 s of two passes, and zenity's first start on a fresh machine
    # builds the font caches: wait for it generously, and for it to be drawn.
    deadline = time.time() + 90
    window = kd.find_window(display, caption, deadline, lambda: running.process.poll() is None)
    colours = kd.photograph(display, picture, deadline) if window else 0
    if window:
        kd.xdotool(display, "windowfocus", "--sync", window, "key", "--clearmodifiers", "Return")
    run = running.finish(timeout=30 if window else 0)
    assert window, "no window captioned %s appeared within 90 s" % caption
    assert run.returncode == 0, "exit code after dismissal"
    # The notice was the box, not a line (zenity may add warnings of its own).
    assert not [line for line in run.other_lines if line.startswith(caption + ": ")]
    assert colours > 2, "the photograph %s still looked empty" % picture
