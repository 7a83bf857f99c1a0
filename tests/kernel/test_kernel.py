"""The unmodified Linux launcher in a QEMU guest, against receivers that the kernel's own USB
gadget stack makes (dummy_hcd, configfs usb_f_hid) and its own usbhid, hid-generic and hidraw
bind; and the kit's udev rule under the host's own systemd-udevd there. The guest boots once and
runs every scenario; each test checks one scenario's outcome, the launcher's as the umockdev
groups do. tests/kernel/run.sh prepares the kernel and runs this file.
"""

import collections
import contextlib
import os
import re
import sys

import pytest

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [TESTS, os.path.join(TESTS, "windows")]
import debian_roots  # noqa: E402
import kit_description as kit  # noqa: E402
import guest  # noqa: E402
import winekit  # noqa: E402  (how Wine writes the Windows launcher's trace lines)

# Deadlines that only bound a hang; a boot takes seconds even on a busy machine.
COME_UP_SECONDS = 180
FINISH_SECONDS = 600


class Device(collections.namedtuple("Device", "source family counts collections select ids parts",
                                    defaults=(None, None, None))):
    """A gadget: the USB device of a umockdev description (source; select is its VID/PID when
    the file holds several), under other ids and name (vendor, product, name) when given, with
    each interface's report descriptor put together from parts when given (per interface, the
    (description, interface, collection) of each top-level collection); the family it belongs
    to (None: not a receiver), what it adds to the summary's counters, and each interface's
    top-level collections by usage."""

    def gadget(self):
        made = guest.usb_gadget(self.source, *(self.select or (None, None)))
        if self.ids:
            made = made._replace(vendor=self.ids[0], product=self.ids[1], name=self.ids[2])
        if self.parts:
            made = made._replace(descriptors=[b"".join(
                guest.top_level_collections(guest.usb_gadget(source).descriptors[number])[index]
                for source, number, index in interface) for interface in self.parts])
        return made

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
    # A Sun receiver whose second collection is the vendor's (Bk's own vendor interface's):
    # a vendor collection sharing its hidraw node with a mouse.
    "sun-vendor": Device("sun-receiver.umockdev", "Sun", {"sun": 1, "sun2": 1},
                         [("mouse", "vendor")],
                         parts=[[("sun-receiver.umockdev", 0, 0), ("bk-receiver.umockdev", 1, 0)]]),
}


class Scenario(collections.namedtuple("Scenario", "name bound outcome lang late gone kind root",
                                      defaults=("en", None, None, "launcher", "host"))):
    """Gadgets bound before the launcher starts, one bound about a second after it started
    (late), one unbound as it starts (gone); outcome is the family whose tool starts, or the
    notice ("none", "many"). A "rule" scenario runs no launcher: the host's udevd handles the
    gadgets' events with the kit's rule installed. A "wine" scenario runs, with udevd, the
    Windows probe and then the Windows launcher under Wine as the seat's user, with the Wine of
    the root (WINE_ROOTS)."""

    def wine_interfaces(self, gadgets):
        """The hardware parts of the interfaces the root's Wine lists, sorted: its bus driver's
        own mouse and keyboard, and per hidraw node that the seat's user opens (the receivers'),
        always with &mi_, one interface (8.0) or one per top-level collection (10.0), never
        with \\kbd."""
        split = WINE_ROOTS[self.root].split
        return sorted(WINE_OWN + [
            kit.usb_hardware(gadgets[name].vendor, gadgets[name].product, number,
                             index + 1 if split and len(usages) > 1 else None)
            for name in self.bound if DEVICES[name].family
            for number, usages in enumerate(DEVICES[name].collections)
            for index in range(len(usages) if split else 1)])

    def wine_counts(self):
        """What the Windows launcher counts of the receivers under the root's Wine."""
        return sum((collections.Counter(WINE_ROOTS[self.root].counts.get(
            name, DEVICES[name].counts)) for name in self.bound if DEVICES[name].family),
            collections.Counter())

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
    # Every family's receiver beside a foreign device, four interfaces at a time.
    Scenario("rule-sun-soc", ["sun", "soc", "keyboard"], None, kind="rule"),
    Scenario("rule-entry-bk", ["entry", "bk", "mouse"], None, kind="rule"),
    # The Linux launcher starts the probe under Wine for a receiver whose vendor collection has
    # a node of its own (Bk), and for one whose vendor collection shares its node with a mouse's
    # (Sun); each beside a foreign device. Under Debian 13's Wine too, Sun's node first. The
    # first scenario of each root brings the settings into its prefix, the second finds them.
    Scenario("wine-bk", ["bk", "keyboard"], "Bk", kind="wine"),
    Scenario("wine-sun", ["sun-vendor", "mouse"], "Sun", kind="wine"),
    Scenario("wine10-sun", ["sun-vendor", "mouse"], "Sun", kind="wine", root="debian13"),
    Scenario("wine10-bk", ["bk", "keyboard"], "Bk", kind="wine", root="debian13"),
]
# On a machine whose kernel runs no 32-bit x86 program the host cannot make the 32-bit prefixes
# the guest's Wine runs in: tests/kernel/run.sh says so, and the Wine scenarios are left out.
if os.environ.get("TAMSU_KERNEL_WINE") == "off":
    SCENARIOS = [s for s in SCENARIOS if s.kind != "wine"]
# Wine's bus driver's own virtual mouse and keyboard, in every prefix.
WINE_OWN = ["hid#vid_845e&pid_0001", "hid#vid_845e&pid_0002"]


class WineRoot(collections.namedtuple("WineRoot", "debian split counts")):
    """A root whose Wine the guest runs: debootstrapped (suite, foreign architecture, packages)
    or the host's own (None); whether its bus driver lists one interface per top-level
    collection with &colNN (10.0) or one per hidraw node (8.0); and what a receiver adds to the
    counters there, where it differs from its own counts."""


WINE_ROOTS = {
    # Debian 12's Wine 8.0, whose paths have no &colNN: the Sun rules match nothing, and Bk's
    # first interface is one path instead of two.
    "host": WineRoot(None, False, {"sun-vendor": {}, "bk": {"bk24": 2}}),
    # Debian 13's Wine 10.0, as a user's plain install brings it.
    "debian13": WineRoot(debian_roots.WINE_10, True, {}),
}
# The Wine scenarios' kit in the guest's chroot, as Wine names the folder.
WINE_KIT = r"Z:\run\tamsu\wine-kit"
LAUNCHER_SCENARIOS = [s for s in SCENARIOS if s.kind == "launcher"]
RULE_SCENARIOS = [s for s in SCENARIOS if s.kind == "rule"]
WINE_SCENARIOS = [s for s in SCENARIOS if s.kind == "wine"]
# The most gadgets any scenario has bound at once: one UDC each. (usb_f_hid offers four HID
# functions in all, so no scenario may have more than four interfaces plugged in at once.)
UDCS = max(len(s.bound) + (s.late is not None) for s in SCENARIOS)
STARTED = re.compile(r"^(\w+) args=(\d+) session=(\d+) pid=(\d+) uid=(\d+)$")


@pytest.fixture(scope="session")
def outcomes(request):
    unset = [name for name in ("TAMSU_KERNEL_WORK", "TAMSU_LAUNCHER", "TAMSU_DEVICE_RULE",
                               "TAMSU_HID_PROBE", "TAMSU_WINDOWS_LAUNCHER", "TAMSU_WINE_HOME",
                               "TAMSU_KERNEL_MODULES", "TAMSU_KERNEL_IMAGE")
             if name not in os.environ]
    if unset:
        pytest.exit("kernel stage failed: %s not set (tests/kernel/run.sh sets them)"
                    % ", ".join(unset), 1)
    work = os.environ["TAMSU_KERNEL_WORK"]
    try:
        gadgets = {name: device.gadget() for name, device in DEVICES.items()}
        lines = ["%s;%s;%s;%s;%s;%s;%d;%s" % (
            s.name, kit.LANGUAGES[s.lang][0], " ".join(s.bound), s.late or "", s.gone or "",
            s.kind, len(s.wine_interfaces(gadgets)) if s.kind == "wine" else 0, s.root)
            for s in SCENARIOS]
        initramfs = guest.build_initramfs(
            work, os.environ["TAMSU_LAUNCHER"], os.environ["TAMSU_DEVICE_RULE"],
            os.environ["TAMSU_HID_PROBE"], os.environ["TAMSU_WINDOWS_LAUNCHER"],
            os.environ["TAMSU_KERNEL_MODULES"], gadgets, lines, UDCS)
        # Each root with the seat's user's home for its Wine: TAMSU_WINE_HOME/TAG.
        roots, versions = {}, {}
        with contextlib.ExitStack() as homes:
            for tag in sorted({s.root for s in SCENARIOS}):
                debian = WINE_ROOTS[tag].debian
                roots[tag] = (debian_roots.root_of(*debian) if debian else "/",
                              os.path.join(os.environ["TAMSU_WINE_HOME"], tag))
                if WINE_SCENARIOS:
                    versions[tag] = homes.enter_context(guest.wine_home(*roots[tag][::-1]))
                else:  # the seat's user's home alone
                    os.makedirs(roots[tag][1], exist_ok=True)
                    os.chown(roots[tag][1], guest.USER_ID, guest.USER_ID)
                    versions[tag] = "no Wine"
            text, ready, done = guest.boot(os.environ["TAMSU_KERNEL_IMAGE"], initramfs, roots,
                                           os.path.join(work, "console.log"), COME_UP_SECONDS,
                                           FINISH_SECONDS)
    except (guest.GuestError, debian_roots.RootError) as error:
        pytest.exit("kernel stage failed: %s" % error, 1)
    with request.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
        print("\nguest: modules loaded %.1f s after QEMU started, every scenario run after %.1f s;"
              " %s" % (ready, done, ", ".join("%s: %s" % pair for pair in versions.items())))
    return {"gadgets": gadgets, "runs": guest.read_outcomes(text),
            "homes": {tag: home for tag, (_, home) in roots.items()}}


@pytest.mark.parametrize("scenario", LAUNCHER_SCENARIOS, ids=[s.name for s in LAUNCHER_SCENARIOS])
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


# A hidraw node's USB ids, from the HID device in its sysfs path (0003:VVVV:PPPP.NNNN).
NODE_IDS = re.compile(r"^P: /devices/\S*/0003:([0-9A-F]{4}):([0-9A-F]{4})\.[0-9A-F]{4}/hidraw/")


@pytest.mark.parametrize("scenario", RULE_SCENARIOS, ids=[s.name for s in RULE_SCENARIOS])
def test_device_rule(outcomes, scenario):
    """Every hidraw node of a receiver is tagged uaccess (read from CURRENT_TAGS: udev keeps
    TAGS of a node name's earlier device), and systemd's own rules, sorting after the kit's,
    open it to the seat's user; a foreign device's node gets neither."""
    run = outcomes["runs"].get(scenario.name)
    assert run is not None, "no outcome for %s on the console" % scenario.name
    by_ids = {(gadget.vendor, gadget.product): name for name, gadget in outcomes["gadgets"].items()
              if name in scenario.bound}
    nodes = collections.Counter()
    for node, info in sorted(run.udev.items()):
        ids = [tuple(int(part, 16) for part in NODE_IDS.match(line).groups())
               for line in info if NODE_IDS.match(line)]
        tags = [line for line in info if line.startswith("E: CURRENT_TAGS=")]
        assert len(ids) == 1 and ids[0] in by_ids and len(tags) <= 1, "\n".join(info)
        name = by_ids[ids[0]]
        nodes[name] += 1
        receiver = DEVICES[name].family is not None
        tagged = ":uaccess:" in (tags[0] if tags else "")
        assert (name, tagged, run.access.get(node)) == \
            (name, receiver, "rw" if receiver else "none"), "\n".join(info)
    assert nodes == {name: len(outcomes["gadgets"][name].descriptors) for name in scenario.bound}


# A line of the probe about one interface: what, the interface's path, the rest.
PROBE_LINE = re.compile(r"^(interface|open|attributes|report) (\S+) ?(.*)$")


@pytest.mark.parametrize("scenario", WINE_SCENARIOS, ids=[s.name for s in WINE_SCENARIOS])
def test_wine(outcomes, scenario):
    """As the seat's user, the Linux launcher finds the receiver and starts its family's tool,
    the probe, under Wine in the kit's folder. The probe lists the receivers' nodes through
    SetupDi (not the foreign device's), opens each with its gadget's ids, and the output report
    it sends to each interface with one reaches the gadget's function holding a vendor
    collection. The Windows launcher under Wine lists the same paths and counts them by its
    rules."""
    run = outcomes["runs"].get(scenario.name)
    assert run is not None, "no outcome for %s on the console" % scenario.name
    gadgets = outcomes["gadgets"]
    context = "\n".join(run.events + run.err + run.probe + run.trace + run.winebus)
    # The progress line while the launcher gives the prefix its settings: on the first start in
    # the root's prefix alone.
    preparing = "%s: %s" % kit.PREPARING["en"]
    first = next(s for s in WINE_SCENARIOS if s.root == scenario.root) == scenario
    assert run.err.count(preparing) == first, context
    kit.Trace([line for line in run.err if line != preparing]).expect(
        sum((collections.Counter(DEVICES[name].counts) for name in scenario.bound),
            collections.Counter()), 1)
    tool = "\\".join([WINE_KIT, kit.FOLDER_OF[scenario.outcome], kit.TOOL_FILE])
    assert (run.rc, run.probe[:1]) == (0, ["started %s in %s" % (tool, WINE_KIT)]), context
    probe = collections.defaultdict(dict)
    for line in run.probe:
        match = PROBE_LINE.match(line)
        if match:
            probe[match.group(2)][match.group(1)] = match.group(3)
    paths = list(probe)
    assert sorted(map(kit.hardware_of, paths)) == scenario.wine_interfaces(gadgets), context

    # Each receiver interface by its gadget's function ("bk.hid.1"): its ids, and the report
    # the probe sent, which only the functions holding a vendor collection take. (A foreign
    # keyboard's function may get its LEDs' report from the kernel.)
    receivers = [name for name in scenario.bound if DEVICES[name].family]
    received = {function: report for function, report in run.reports.items()
                if function.split(".")[0] in receivers}
    sent, vendor = {}, set()
    for name in receivers:
        gadget = gadgets[name]
        for number, usages in enumerate(DEVICES[name].collections):
            function = "%s.hid.%d" % (name, number)
            vendor.update([function] if "vendor" in usages else [])
            # The interface's paths: its collections' under Wine 10.
            hardware = kit.usb_hardware(gadget.vendor, gadget.product, number)
            for path in paths:
                facts = probe[path]
                if not re.match(re.escape(hardware) + "($|&col)", kit.hardware_of(path)):
                    continue
                assert facts.get("attributes", "").startswith(
                    "vid=%04x pid=%04x " % (gadget.vendor, gadget.product)), facts
                if "report" in facts:
                    sent[function] = facts["report"].split()[0][len("sent="):]
    assert (set(sent), received) == (vendor, sent), context

    traces = [winekit.unescape(match.group(2)) for match in map(winekit.TRACE.match, run.trace)
              if match]
    trace = kit.Trace([line[:-1] for line in traces])
    counts = scenario.wine_counts()
    # A second pass, after the wait, when the first counted nothing.
    assert trace.finds == paths * (1 if counts else 2), context
    trace.expect(counts, 1 if counts else 0)

    # The prefix was made bare: the launcher's import gave it the settings. Enable SDL off, which
    # 8.0 needs to read hidraw at all; and, by the rule of Wine's development bus driver, which
    # ignores a hidraw node whose first collection is a mouse or keyboard unless its ids'
    # Devices key asks for hidraw, every receiver node let through that the bare prefix's
    # registry would have hidden.
    home = outcomes["homes"][scenario.root]
    made, now = (read_registry(path) for path in guest.prefix_registries(home))
    assert (now.get(WINEBUS, {}).get("enable sdl"), hidden_by_gate(now, scenario, gadgets)) == \
        ("dword:00000000", [])
    assert (made.get(WINEBUS, {}).get("enable sdl"), hidden_by_gate(made, scenario, gadgets)) == \
        (None, hidden_by_gate({}, scenario, gadgets))


# The bus driver's key in a prefix's system.reg, as read_registry gives it.
WINEBUS = r"system\currentcontrolset\services\winebus"


def read_registry(path):
    """A Wine registry file's keys (lower case, one backslash between names, the current control
    set by that name, where Wine 10 keeps it as ControlSet001) -> their values' names (lower
    case) -> the value's text ("dword:00000001")."""
    keys, values = {}, None
    with open(path, encoding="utf-8", errors="replace") as text:
        for line in text:
            if line.startswith("["):
                key = line[1:line.rindex("]")].replace("\\\\", "\\").lower()
                values = keys.setdefault(re.sub(r"^system\\controlset001\\",
                                                r"system\\currentcontrolset\\", key), {})
            elif values is not None and line.startswith('"') and '"=' in line:
                name, _, value = line[1:].rstrip("\n").partition('"=')
                values[name.lower()] = value
    return keys


def hidden_by_gate(registry, scenario, gadgets):
    """The receivers' gadget functions whose hidraw node Wine's development bus driver ignores
    by that registry: a mouse or keyboard collection first, and no "Hidraw"=1 for the ids."""
    return ["%s.hid.%d" % (name, number) for name in scenario.bound if DEVICES[name].family
            for number, usages in enumerate(DEVICES[name].collections)
            if usages[0] in ("mouse", "keyboard") and registry.get(
                r"%s\devices\%04x/%04x" % (WINEBUS, gadgets[name].vendor, gadgets[name].product),
                {}).get("hidraw") != "dword:00000001"]
