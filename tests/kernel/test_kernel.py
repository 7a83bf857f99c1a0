"""The unmodified Linux launcher in a QEMU guest, against receivers that the kernel's own USB
gadget stack makes (dummy_hcd, configfs usb_f_hid) and its own usbhid, hid-generic and hidraw
bind. The guest boots once and runs every scenario; each test checks one scenario's outcome as
the umockdev groups do. tests/kernel/run.sh prepares the kernel and runs this file.
"""

import collections
import os
import re
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import kit_description as kit  # noqa: E402
import guest  # noqa: E402

# Deadlines that only bound a hang; a boot takes seconds even on a busy machine.
COME_UP_SECONDS = 180
FINISH_SECONDS = 600


class Device(collections.namedtuple("Device", "source family counts collections select ids",
                                    defaults=(None, None))):
    """A gadget: the USB device of a umockdev description (source; select is its VID/PID when
    the file holds several), under other ids and name (vendor, product, name) when given; the
    family it belongs to (None: not a receiver), what it adds to the summary's counters, and
    each interface's top-level collections by usage."""

    def gadget(self):
        made = guest.usb_gadget(self.source, *(self.select or (None, None)))
        return made._replace(vendor=self.ids[0], product=self.ids[1], name=self.ids[2]) \
            if self.ids else made

    def hardware(self, gadget):
        """The hardware parts of its interface paths."""
        composite = len(self.collections) > 1
        return [kit.usb_hardware(gadget.vendor, gadget.product, number if composite else None,
                                 index + 1 if len(usages) > 1 else None, usage == "keyboard")
                for number, usages in enumerate(self.collections)
                for index, usage in enumerate(usages)]


DEVICES = {
    "sun": Device("sun-receiver.umockdev", "Sun", {"sun": 1, "sun2": 1}, [("mouse", "consumer")]),
    "soc": Device("soc-receiver.umockdev", "SOC", {"soc": 2}, [("keyboard",), ("mouse",)]),
    "entry": Device("entry-receiver.umockdev", "Entry", {"entry": 1}, [("mouse",)]),
    "bk": Device("bk-receiver.umockdev", "Bk", {"bk24": 3}, [("mouse", "consumer"), ("vendor",)]),
    "keyboard": Device("other-devices.umockdev", None, {}, [("keyboard",)],
                       select=(0x046D, 0xC31C)),
    # A plain mouse of another maker: the Entry receiver's mouse interface under other ids.
    "mouse": Device("entry-receiver.umockdev", None, {}, [("mouse",)],
                    ids=(0x046D, 0xC077, "USB Optical Mouse")),
}


class Scenario(collections.namedtuple("Scenario", "name bound outcome lang late gone",
                                      defaults=("en", None, None))):
    """Gadgets bound before the launcher starts, one bound about a second after it started
    (late), one unbound as it starts (gone); outcome is the family whose tool starts, or the
    notice ("none", "many")."""

    def passes(self):
        """The gadgets each detection pass sees: a second pass when the first counted nothing."""
        first = [name for name in self.bound if name != self.gone]
        if any(DEVICES[name].family for name in first):
            return [first]
        return [first, first + ([self.late] if self.late else [])]


SCENARIOS = [
    # One receiver of each family, with its real interfaces and collections.
    Scenario("sun", ["sun"], "Sun"),
    Scenario("soc", ["soc"], "SOC"),
    Scenario("entry", ["entry"], "Entry"),
    Scenario("bk", ["bk"], "Bk"),
    Scenario("keyboard-and-mouse", ["keyboard", "mouse"], "none"),
    Scenario("two-families", ["sun", "soc", "keyboard"], "many", lang="zh"),
    # Plugged in after the first pass: the retry exists for it.
    Scenario("late-receiver", [], "Entry", late="entry"),
    # Pulled out while the launcher waits before its first pass.
    Scenario("receiver-gone", ["soc"], "none", lang="zh", gone="soc"),
]
# The most gadgets any scenario has bound at once: one UDC each. (usb_f_hid offers four HID
# functions in all, so no scenario may have more than four interfaces plugged in at once.)
UDCS = max(len(s.bound) + (s.late is not None) for s in SCENARIOS)
STARTED = re.compile(r"^(\w+) args=(\d+) session=(\d+) pid=(\d+) uid=(\d+)$")


@pytest.fixture(scope="session")
def outcomes(request):
    unset = [name for name in ("TAMSU_KERNEL_WORK", "TAMSU_LAUNCHER", "TAMSU_KERNEL_MODULES",
                               "TAMSU_KERNEL_IMAGE") if name not in os.environ]
    if unset:
        pytest.exit("kernel stage failed: %s not set (tests/kernel/run.sh sets them)"
                    % ", ".join(unset), 1)
    work = os.environ["TAMSU_KERNEL_WORK"]
    try:
        gadgets = {name: device.gadget() for name, device in DEVICES.items()}
        lines = ["%s;%s;%s;%s;%s" % (s.name, kit.LANGUAGES[s.lang][0], " ".join(s.bound),
                                     s.late or "", s.gone or "") for s in SCENARIOS]
        initramfs = guest.build_initramfs(work, os.environ["TAMSU_LAUNCHER"],
                                          os.environ["TAMSU_KERNEL_MODULES"], gadgets, lines, UDCS)
        text, ready, done = guest.boot(os.environ["TAMSU_KERNEL_IMAGE"], initramfs,
                                       os.path.join(work, "console.log"), COME_UP_SECONDS,
                                       FINISH_SECONDS)
    except guest.GuestError as error:
        pytest.exit("kernel stage failed: %s" % error, 1)
    with request.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
        print("\nguest: modules loaded %.1f s after QEMU started, every scenario run after %.1f s"
              % (ready, done))
    return {"gadgets": gadgets, "runs": guest.read_outcomes(text)}


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.name for s in SCENARIOS])
def test_scenario(outcomes, scenario):
    run = outcomes["runs"].get(scenario.name)
    assert run is not None, "no outcome for %s on the console" % scenario.name
    # What the guest did meanwhile (timings, a late or lost device), shown with any failure.
    context = "\n".join(run.events + ["rc %s, %s ms" % (run.rc, run.elapsed_ms)] + run.err)

    # Each pass's paths, in its order: the passes' hardware parts compared one pass at a time.
    trace = kit.Trace(run.err)
    for path in trace.finds:
        match = kit.INTERFACE_PATH.match(path)
        assert match and kit.LINUX_INSTANCE.match(match.group("instance")), path
    traced = [kit.hardware_of(path) for path in trace.finds]
    passes = scenario.passes()
    counts = collections.Counter()
    for seen in passes:
        expected = sorted(part for name in seen
                          for part in DEVICES[name].hardware(outcomes["gadgets"][name]))
        assert sorted(traced[:len(expected)]) == expected, context
        traced = traced[len(expected):]
        for name in seen:
            counts.update(DEVICES[name].counts)
    assert traced == [], context

    flag = {"none": 0, "many": 2}.get(scenario.outcome, 1)
    trace.expect(counts, flag, (scenario.outcome, scenario.lang) if flag != 1 else None)
    assert run.rc == 0, context
    assert [line for line in run.out if not line.startswith("[stand-in] ")] == []
    if flag == 1:
        match = STARTED.match(run.started[0]) if len(run.started) == 1 else None
        assert match, run.started
        family, args, session, pid, uid = match.groups()
        # Once, without arguments, in a session of its own, as root.
        assert (family, args, session, uid) == (scenario.outcome, "0", pid, "0")
    else:
        assert run.started == []
