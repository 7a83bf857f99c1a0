"""The real native launcher end to end, on machines simulated with umockdev (the descriptions in
devices/) or on sysfs trees of its own, in kit folders with stand-in tools: as root, as a caller
who may or may not open the receiver, and under faults around it (hostile parents, broken
tools, no display). Each case is its own CTest test: linux_e2e.<test>[<case>]."""

import collections
import fcntl
import fnmatch
import os
import re
import shutil
import stat
import subprocess
import tempfile

import pytest

import kit_description as kd
from e2e_support import (ARTEFACTS, HOSTILE_PARENTS, NOBODY, PLAIN_PATH, WINE_STAND_IN, Caller,
                         device_rule, expect_nothing_started, expect_started, hostile_parent,
                         kit_prefix_overlay, new_kit, probe_report, run_isolated, run_launcher,
                         start, start_launcher, started_tools, tool, umockdev, write_probe,
                         write_program)

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
    # Nothing found: a second pass.
    assert sorted(run.hardware()) == sorted(paths * (2 if families == 0 else 1))
    run.expect(counts, families, notice)
    assert run.returncode == 0
    # Only a started stand-in speaks there.
    assert [line for line in run.stdout.splitlines() if not line.startswith("[stand-in] ")] == []
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


# case: kit folder, what is done to the kit (it may return the launcher to run), family started.
KIT_PATHS = {
    "chinese-folders": ("\u5766\u82cf \u914d\u5bf9\u5de5\u5177/\u5957\u4ef6 v1.5", None, "SOC"),
    "folder-not-utf8": (os.fsdecode(b"kit-\xff\xfe odd"), None, "SOC"),
    "launcher-named-with-a-backslash": ("backslash", launcher_named_with_a_backslash, "SOC"),
}


@pytest.mark.parametrize("case", KIT_PATHS)
def test_kit_path(work, case):
    folder, change, started = KIT_PATHS[case]
    kit = new_kit(os.path.join(work, folder))
    launcher = change(kit) if change else None
    run = run_launcher(kit, "soc", launcher=launcher, LANG=ZH)
    assert run.returncode == 0
    assert run.other_lines == []
    expect_started(kit, started)


@pytest.fixture
def display():
    xvfb, name = kd.start_xvfb()
    yield name
    xvfb.terminate()
    xvfb.wait()


# case: simulated machine, notice (kind, language). (The other notices take the same path;
# the outcome group reads their texts.)
NOTICE_BOXES = {"many-zh": ("many", ("many", "zh"))}


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
    window = kd.find_window(display, caption, alive=lambda: running.process.poll() is None)
    colours = kd.photograph(display, picture) if window else 0
    if window:
        kd.xdotool(display, "windowfocus", "--sync", window, "key", "--clearmodifiers", "Return")
    run = running.finish(timeout=30 if window else 0)
    assert window, "no window captioned %s appeared within 90 s; the launcher said: %s" % (
        caption, run.stderr[-400:])
    assert run.returncode == 0, "exit code after dismissal"
    # The notice was the box, not a line (zenity may add warnings of its own).
    assert not [line for line in run.other_lines if line.startswith(caption + ": ")]
    assert colours > 2, "the photograph %s still looked empty" % picture


# --- Access: the caller is not root ----------------------------------------------------------

def dev_folder(work, nodes):
    """A /dev of the test's own for one SOC receiver (hidraw0, hidraw1) and a foreign device
    (hidraw2): each node root's with mode 600, unless nodes opens it to the caller, as its
    "owner" or by an "acl" entry as logind keeps one, or for "reading" or "writing" alone."""
    dev = os.path.join(work, "dev")
    os.makedirs(dev)
    for index in range(3):
        name = "hidraw%d" % index
        path = os.path.join(dev, name)
        open(path, "w").close()
        os.chmod(path, 0o600)
        if nodes.get(name) == "owner":
            os.chown(path, *NOBODY)
        elif nodes.get(name) in ("reading", "writing"):
            os.chmod(path, 0o644 if nodes[name] == "reading" else 0o622)
        elif nodes.get(name) == "acl":
            subprocess.run(["setfacl", "-m", "u:%d:rw" % NOBODY[0], path], check=True)
    return dev


@pytest.fixture
def caller(work):
    return Caller(work)


def receiver_and_foreign_device(work):
    sysfs = sysfs_tree(work, 2)
    kd.write_tree(kd.device_blocks(1, [(0, kd.MOUSE)], ids=("046d", "c52b")), sysfs)
    return sysfs


OPEN = dict(hidraw0="owner", hidraw1="owner")
# A kit folder whose name holds an escape sequence, a carriage return, a byte that is not UTF-8
# and a bidi override.
CONTROLS = os.fsdecode(b"kit \x1b[31m\r\x9b") + "\u202e"
RUN_LINE = 'RUN+="/bin/sh -c \'id >/tmp/owned\'"\n'


def put(folder, text, mode="w"):
    """text into the rules file in folder."""
    with open(os.path.join(folder, kd.DEVICE_RULE_FILE), mode) as rules:
        rules.write(text)


def kit_in(caller, folder):
    caller.kit = caller.new_kit(os.path.join(caller.work, folder))


def last_pair_alone(caller):
    """A sysfs with one receiver (hidraw0), of the last pair of the launcher's table."""
    sysfs = sysfs_tree(caller.work, 0)
    last = re.findall(r'idVendor}=="(\w{4})", ATTRS{idProduct}=="(\w{4})"', device_rule())[-1]
    kd.write_tree(kd.device_blocks(0, [(0, kd.MOUSE)], ids=last), sysfs)
    return sysfs


# case: how the nodes are opened to the caller, variables, the notice (kind and language, as a
# line on standard error, or a box when there is a display; exit code 1), the family started as
# the caller, what is done first (it may return the sysfs tree).
ACCESS = {
    "receiver-open": (OPEN, dict(LANG=EN), None, "SOC", None),
    "receiver-open-through-an-acl": (dict(hidraw0="acl", hidraw1="acl"), dict(LANG=EN), None,
                                     "SOC", None),
    "foreign-device-root-only": (dict(OPEN, hidraw2=None), dict(LANG=EN), None, "SOC", None),
    "one-receiver-node-root-only": (dict(hidraw0="owner"), dict(LANG=EN), ("install", "en"), None,
                                    None),
    "receiver-open-for-reading-alone": (dict(hidraw0="reading", hidraw1="reading"), dict(LANG=EN),
                                        ("install", "en"), None, None),
    "receiver-open-for-writing-alone": (dict(hidraw0="writing", hidraw1="writing"), dict(LANG=EN),
                                        ("install", "en"), None, None),
    "receiver-root-only": (dict(hidraw2="owner"), dict(LANG=ZH), ("install", "zh"), None, None),
    "receiver-root-only-with-a-display": ({}, dict(LANG=EN, DISPLAY=":99"), ("install", "en"),
                                          None, lambda c: kit_in(c, CONTROLS)),
    "last-receiver-pair-root-only": ({}, dict(LANG=EN), ("install", "en"), None, last_pair_alone),
    # The kit's file, changed or a link to the right text, is not installed: the launcher's text is.
    "kit-rule-changed": ({}, dict(LANG=EN), ("write", "en"), None,
                         lambda c: kit_in(c, CONTROLS) or put(c.kit, RUN_LINE, "a")),
    "kit-rule-a-link": ({}, dict(LANG=ZH), ("write", "zh"), None, lambda c: os.symlink(shutil.move(
        os.path.join(c.kit, kd.DEVICE_RULE_FILE), c.work), os.path.join(c.kit, kd.DEVICE_RULE_FILE))),
    "controls-in-the-kit-path": ({}, dict(LANG=ZH), ("install", "zh"), None,
                                 lambda c: kit_in(c, CONTROLS)),
    "rule-installed-without-a-seat": ({}, dict(LANG=ZH), ("seat", "zh"), None,
                                      lambda c: put(c.udev + "/lib", device_rule())),
    # udev reads the name from /etc alone, here a rule as long that names another pair.
    "installed-rule-hidden-by-another": ({}, dict(LANG=EN), ("install", "en"), None, lambda c: put(
        c.udev + "/lib", device_rule()) or put(c.udev + "/etc", device_rule().replace("2003", "2093"))),
    # A FIFO where a rules file is read (the kit's too, by the same reader) is not waited on, nor
    # taken for no file: it hides the launcher's rule in /usr/lib.
    "installed-rule-a-fifo": ({}, dict(LANG=EN), ("install", "en"), None, lambda c: put(
        c.udev + "/lib", device_rule()) or os.mkfifo(os.path.join(c.udev, "etc", kd.DEVICE_RULE_FILE))),
}


def installs(commands, work):
    """What the commands install, run under sh in a folder of their own with a udevadm that does
    nothing: the rule's text, or None."""
    folder = tempfile.mkdtemp(dir=work)
    write_program(os.path.join(work, "udevadm"), "#!/bin/sh\n")
    # A copy that waits is ended after 30 s; one without a bound stops at 1 MiB.
    done = subprocess.run(["timeout", "-s", "KILL", "30", "prlimit", "--fsize=1048576", "sh", "-c",
                           commands.replace("/etc/udev/rules.d ", folder + " ", 1)],
                          env=dict(PATH=work + ":" + PLAIN_PATH))
    assert done.returncode >= 0 and all(os.path.getsize(os.path.join(folder, name)) < 1 << 20
                                        for name in os.listdir(folder)), "the copy unbounded"
    rule = os.path.join(folder, kd.DEVICE_RULE_FILE)
    return open(rule).read() if os.path.exists(rule) else None


@pytest.mark.parametrize("case", ACCESS)
def test_access(caller, case):
    """The tool starts as the caller when the receiver's nodes are open to them; otherwise the
    notice names the node and what an administrator runs, which installs the launcher's own rule
    and nothing else, and nothing starts. Nothing asks for rights."""
    nodes, variables, notice, started, setup = ACCESS[case]
    sysfs = setup and setup(caller)
    run = caller.run_launcher(sysfs or receiver_and_foreign_device(caller.work),
                              dev_folder(caller.work, nodes), **variables)
    assert run.returncode == (1 if notice else 0)
    boxes = caller.log("zenity.log")
    if notice:
        caption = kd.ACCESS_NOTICES[notice][0]
        shown, lead = (boxes, "uid=%d --info --no-markup --title %s --text " % (
            NOBODY[0], caption)) if "DISPLAY" in variables else (run.stderr, caption + ": ")
        text = shown[shown.index(lead) + len(lead):-1]
        assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\udc80-\udcff\ufffd]",
                             text), "raw controls"
        node = re.search(r"/dev/hidraw\d", text).group()
        assert node[5:] in ("hidraw0", "hidraw1") and nodes.get(node[5:]) not in ("owner", "acl")
        word = re.search(r" if=(.*) of=tamsu-receivers", text)
        assert text == kd.access_notice(*notice, device_rule(), node=node, word=word and word.group(
            1), rules=kd.visible(os.path.join(caller.kit, kd.DEVICE_RULE_FILE)))[1]
        if notice[0] != "seat":
            assert installs(text.split("\n\n")[2], caller.work) == device_rule()
        if word:  # not even once the kit's file has changed since, or become /dev/zero or a FIFO
            put(caller.kit, RUN_LINE, "a")
            assert installs(text.split("\n\n")[2], caller.work) is None, "a changed file installed"
            rules = os.path.join(caller.kit, kd.DEVICE_RULE_FILE)
            for change in (lambda: os.symlink("/dev/zero", rules), lambda: os.mkfifo(rules)):
                os.remove(rules) or change()
                assert installs(text.split("\n\n")[2], caller.work) is None, "a changed file installed"
    else:
        assert boxes == "" and run.other_lines == []
    assert caller.log("pkexec.log") == "", "requests for rights"
    if started:
        expect_started(caller.kit, started, uid=NOBODY[0])
    else:
        expect_nothing_started(caller.kit)


def test_tool_starts_as_the_caller_in_the_kit(caller):
    """At once, in the kit's folder whatever folder the caller stood in, with the caller's own
    environment."""
    probe = os.path.join(caller.work, "probe")
    write_probe(tool(caller.kit, "SOC"), probe)
    run = caller.run_launcher(receiver_and_foreign_device(caller.work),
                              dev_folder(caller.work, OPEN), cwd="/", LANG=EN, CALLERS_OWN="1")
    assert run.returncode == 0
    assert run.other_lines == []
    report = probe_report(probe)
    assert report and report[2] == "uid=%d fd3=- fd7=-" % NOBODY[0]
    assert os.readlink(os.path.join(probe, "cwd")) == caller.kit
    with open(os.path.join(probe, "environ"), "rb") as environ:
        assert b"CALLERS_OWN=1" in environ.read().split(b"\0")


# As root (a filter that leaves no_new_privs unset, which would void the set-user-id bit, needs
# CAP_SYS_ADMIN): a seccomp filter under which setresuid fails with EPERM, as a security module
# may refuse it (another architecture: allow; setresuid: EPERM; anything else: allow); then
# nobody by setuid, which it lets through, and its arguments run.
REFUSE_SETRESUID = ("python3", "-c", "import ctypes, os, platform, struct, sys\n"
                    "arch, nr = {'x86_64': (0xC000003E, 117), 'aarch64': (0xC00000B7, 147)}"
                    "[platform.machine()]\n"
                    "rows = [(0x20, 0, 0, 4), (0x15, 0, 3, arch), (0x20, 0, 0, 0), (0x15, 0, 1, nr),"
                    " (0x06, 0, 0, 0x50001), (0x06, 0, 0, 0x7FFF0000)]\n"
                    "code = ctypes.create_string_buffer(b''.join(struct.pack('HBBI', *r) for r in rows))\n"
                    "program = struct.pack('HP', len(rows), ctypes.addressof(code))\n"
                    "if ctypes.CDLL(None).prctl(22, 2, program, 0, 0) != 0: sys.exit(93)\n"
                    "os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
                    "os.execv(sys.argv[1], sys.argv[1:])")
# case: the launcher's mode, what starts it, as whom, how the receiver's nodes are opened, and
# its refusal line (None: none; then the access notice, or the tool when the nodes are open).
SET_USER_ID = {
    # Root's rights given up first: the receiver root's alone stays closed to the caller.
    "rights-given-up": (0o4755, (), NOBODY, {}, None),
    # They cannot be given back: it stops, rather than go on as root.
    "drop-refused": (0o4755, REFUSE_SETRESUID, (0, 0), {},
                     kd.LINUX_LAUNCHER + ": its set-user-id rights cannot be given up, so it stops."),
    "set-group-id": (0o2755, (), NOBODY, OPEN, None),
}


@pytest.mark.parametrize("case", SET_USER_ID)
def test_set_user_id_launcher(caller, case):
    mode, prefix, user, nodes, line = SET_USER_ID[case]
    os.chmod(os.path.join(caller.kit, kd.LINUX_LAUNCHER), mode)
    probe = os.path.join(caller.work, "probe")
    if nodes:
        write_probe(tool(caller.kit, "SOC"), probe)
    run = caller.run_launcher(receiver_and_foreign_device(caller.work),
                              dev_folder(caller.work, nodes), *prefix, user=user, LANG=EN)
    assert run.returncode == (0 if nodes else 1)
    assert [l for l in run.other_lines if l.startswith(kd.LINUX_LAUNCHER)] == ([line] if line else [])
    if nodes:  # the tool, with the caller's group and no other
        assert probe_report(probe) and re.search(r"\nGid:(\t%d){4}\n.*\nGroups:\s*\n" % NOBODY[1],
                                                 open(os.path.join(probe, "status")).read())
    else:
        expect_nothing_started(caller.kit)


def receiver_pairs(sort=sorted):
    """Each receiver pair of the launcher's own table, as its udev rule names them: "7c2f/2003";
    sorted, as the registry lists keys, unless sort says otherwise."""
    return sort(["%s/%s" % pair for pair in
                 re.findall(r'idVendor}=="(\w{4})", ATTRS{idProduct}=="(\w{4})"', device_rule())])


HOME = ["home"]
# What the kit's Wine hands the stand-in: the bus driver's settings, the kit's folder.
SAW = "windows args=0 enable-sdl=0 devices=%s folder=Z:%s\n"
# What the launcher runs (cwd; program and arguments; %(kit)s and %(data)s stand for those folders,
# the latter holding the kit's prefix, "wine"): the first time, a wineserver left running in the
# prefix ended, the settings imported in the data folder, the wineserver let end; then on every
# start the tool, as a session's leader, in the kit's folder.
ENDED = [("%(kit)s", "wineserver -k")]
IMPORTED = [("%(data)s", "wine reg import tamsu-settings.reg"), ("%(data)s", "wineserver -w")]
STARTED = [("%(kit)s", "wine %(kit)s/" + kd.FOLDER_OF["SOC"] + "/" + kd.TOOL_FILE)]
NOT_IMPORTED = ("the kit's Wine prefix %(data)s/wine could not be given its settings; the tool "
                "does not start\n")
REFUSED = "the kit's Wine prefix cannot be used: %s; the tool does not start\n"
IN_DATA = dict(LANG=EN, XDG_DATA_HOME="%(work)s/data")
WAITED = ("the kit's Wine prefix %(data)s/wine was still being prepared by another launcher after "
          "2 seconds; the tool does not start\n")


def settings(pairs, registry=False):
    """The kit's Wine settings as the launcher imports them, or as Wine's system.reg holds them."""
    bus = ("System\\\\CurrentControlSet\\\\Services\\\\winebus" if registry else
           "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\winebus")
    key, slash = ("[%s] 1\n", "\\\\") if registry else ("[%s]\n", "\\")
    return ("" if registry else "REGEDIT4\n\n") + key % bus + '"Enable SDL"=dword:00000000\n' + "".join(
        "\n" + key % (bus + slash + "Devices" + slash + pair) + '"Hidraw"=dword:00000001\n'
        for pair in pairs)


def fake_prefix(record="whole", registry="whole", linked=False):
    """Plants a prefix made before: its record of the settings and its registry, each "whole",
    "part" (the last receiver pair left out) or None; the record a link to such a file when
    linked."""
    def plant(caller, folders, data_home):
        prefix = caller.own_folder(*data_home, "tamsu-pair-kit", "wine")
        pairs = receiver_pairs(list)  # in the table's order, as the launcher writes them
        for name, kind, text in (("tamsu-settings.reg", record, settings),
                                 ("system.reg", registry, lambda p: settings(p, registry=True))):
            if kind:
                path = os.path.join(linked and name == "tamsu-settings.reg" and caller.work or
                                    prefix, name)
                with open(path, "w") as f:
                    f.write(text(pairs if kind == "whole" else pairs[:-1]))
                os.chown(path, *NOBODY)
                if path != os.path.join(prefix, name):
                    os.symlink(path, os.path.join(prefix, name))
    return plant


def planted(kind, name, mode=0o700, owner=NOBODY, target=None):
    """Plants kind ("folder", "file", "fifo", "link" to target under work) at name (a path under
    the data home: its parts)."""
    def plant(caller, folders, data_home):
        path = os.path.join(caller.own_folder(*data_home, *name[:-1]), name[-1])
        if kind == "folder":
            os.mkdir(path)
        elif kind == "file":
            open(path, "w").close()
        elif kind == "fifo":
            os.mkfifo(path)
        else:
            os.symlink(os.path.join(caller.work, target), path)
            return
        os.chmod(path, mode)
        os.chown(path, *owner)
    return plant


def open_folder(caller, folders, data_home):
    """The data home in a folder that everyone may change, as a non-sticky /tmp would be."""
    shared = os.path.join(caller.work, data_home[0])
    os.mkdir(shared)
    os.chmod(shared, 0o777)


def built_for(caller, machine):
    """The SOC tool's PE file header made to say it was built for machine."""
    with open(tool(caller.kit, "SOC"), "r+b") as image:
        image.seek(0x3C)
        image.seek(int.from_bytes(image.read(4), "little") + 4)
        image.write(machine.to_bytes(2, "little"))


def stuck_box(caller, folders, data_home):
    """A progress box that outlives its input, deaf to SIGTERM; still open after 20 s, says so."""
    zenity = os.path.join(caller.bin, "zenity")
    write_program(zenity, open(zenity).read() + "exec python3 -c 'import signal, time; signal."
                  "signal(15, signal.SIG_IGN); time.sleep(20); print(\"still open\")' >>%s/zenity"
                  ".log\n" % caller.work)


def thirty_two_bit_tool(caller, folders, data_home):
    """The tool built for i386, with Debian's 32-bit Wine loader hidden (wine64 alone)."""
    built_for(caller, 0x14C)
    whiteouts = os.path.join(caller.work, "no-wine32")
    os.mkdir(whiteouts)
    os.mknod(os.path.join(whiteouts, "wine"), 0o600 | stat.S_IFCHR, os.makedev(0, 0))
    return "lowerdir=%s:/usr/lib/wine" % whiteouts, "/usr/lib/wine"


def root_home(caller, folders, data_home):
    """An empty home of the test's own over root's, where a root run keeps its prefix: whatever
    the machine's root holds stays out of sight."""
    layers = [os.path.join(caller.work, part) for part in ("root-home", "root-changes", "root-scratch")]
    for layer in layers:
        os.mkdir(layer, 0o700)
    return "lowerdir=%s,upperdir=%s,workdir=%s" % tuple(layers), "/root"


def password_file(caller, folders, data_home):
    """An /etc/passwd of the test's own: a line over 8 KiB, a user whose uid is the caller's gid
    and gid its uid, and the caller's line as long as the launcher reads whole (8 KiB less one)."""
    line = "caller:x:%d:100:%%s:%s:/bin/sh" % (NOBODY[0], caller.own_folder(*HOME))
    with open(os.path.join(caller.own_folder("accounts"), "passwd"), "w") as f:
        f.write("long:x:1:1:%s:/:/bin/sh\nother:x:100:%d::%s/other:/bin/sh\n%s\n" % (
            "x" * 9000, NOBODY[0], caller.work, line % ("x" * (8191 + 2 - len(line)))))
    return "lowerdir=%s/accounts:/etc" % caller.work, "/etc"


def another_users_wine(caller, folders, data_home):
    """Another user's wine, which says it ran, in work/tmp: open to all and sticky, as /tmp is;
    the wineserver beside it root's, so that the wine's own owner is what refuses it."""
    os.mkdir(folders["work"] + "/tmp")
    os.chmod(folders["work"] + "/tmp", 0o1777)
    write_program(folders["work"] + "/tmp/wineserver", "#!/bin/sh\n")
    os.chown(write_program(folders["work"] + "/tmp/wine", "#!/bin/sh\necho ran >>%s/wine.log\n"
                           % folders["work"]), 4321, 4321)


ROOT_DATA = "/root/.local/share/tamsu-pair-kit"
# case: the caller's data home (folders under work; XDG_DATA_HOME unless under HOME/.local), Wine
# (the "real" one, one "failing" every call, one that cannot be run at all, beside a prefix
# already there, or none), variables, what each start runs, exit code, what standard error says
# (a line, or the notice in that language), and what is planted before (which may return an
# overlay).
WINDOWS_TOOLS = {
    # The user's own prefix (WINEPREFIX, or ~/.wine) never gets the kit's settings.
    "started-under-wine": (HOME + [".local", "share"], "real",
                           dict(LANG=EN, WINEPREFIX="%(work)s/home/own-prefix"),
                           [ENDED + IMPORTED + STARTED], 0, None, None),
    "second-start-keeps-the-prefix": (["data"], "real",
                                      dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                                      [ENDED + IMPORTED + STARTED, STARTED], 0, None, None),
    # The data home made first, no prefix there yet (no wineserver to end); the import fails (a
    # prefix of another user's, for one), and nothing starts.
    "settings-not-imported": (HOME + ["new", "data"], "failing",
                              dict(LANG=EN, XDG_DATA_HOME="%(work)s/home/new/data",
                                   DISPLAY=":99"), [IMPORTED], 1, NOT_IMPORTED, None),
    "wine-cannot-run": (["data"], "unrunnable", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                        [[]], 1, NOT_IMPORTED, None),
    # More variables than are handed on: refused, not cut, whatever the prefix holds.
    "environment-too-large": (HOME + ["data"], "failing", dict(
        LANG=EN, XDG_DATA_HOME="%(work)s/home/data", **{"V%d" % n: "" for n in range(1100)}),
        [[]], 1, "the caller's environment has too many variables to hand on to Wine; the tool "
        "does not start\n", fake_prefix()),
    # A prefix made before: one that holds the settings starts at once; one whose record or
    # registry lacks the last pair, or whose record is a link, is given them again.
    "prefix-ready": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data",
                                               DISPLAY=":99"), [STARTED], 0, None, fake_prefix()),
    "record-lacks-a-pair": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                            [ENDED + IMPORTED], 1, NOT_IMPORTED, fake_prefix(record="part")),
    "registry-lost-a-pair": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                             [ENDED + IMPORTED], 1, NOT_IMPORTED, fake_prefix(registry="part")),
    "record-is-a-link": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                         [ENDED + IMPORTED], 1, NOT_IMPORTED, fake_prefix(linked=True)),
    # Whatever has the import file's name is replaced, never followed or waited on.
    "fifo-at-the-import-file": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                                [IMPORTED], 1, NOT_IMPORTED,
                                planted("fifo", ["tamsu-pair-kit", "tamsu-settings.reg"], 0o600)),
    "link-at-the-import-file": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                                [IMPORTED], 1, NOT_IMPORTED,
                                planted("link", ["tamsu-pair-kit", "tamsu-settings.reg"],
                                        target="home/kept")),
    # The kit's folder and prefix are the caller's own real folders, on a path no one else may
    # change: otherwise nothing runs.
    "data-folder-is-a-file": (HOME + ["filed"], "failing",
                              dict(LANG=EN, XDG_DATA_HOME="%(work)s/home/filed"), [[]], 1,
                              REFUSED % "%(data)s is not a folder",
                              planted("file", ["tamsu-pair-kit"])),
    "data-folder-of-another-user": (["data"], "failing",
                                    dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"), [[]], 1,
                                    REFUSED % "%(data)s belongs to another user",
                                    planted("folder", ["tamsu-pair-kit"], 0o755, (0, 0))),
    "data-folder-open-to-all": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                                [[]], 1, REFUSED % "%(data)s may be written by other users",
                                planted("folder", ["tamsu-pair-kit"], 0o777)),
    "data-folder-writable-by-its-group": (["data"], "failing",
                                          dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"), [[]], 1,
                                          REFUSED % "%(data)s may be written by other users",
                                          planted("folder", ["tamsu-pair-kit"], 0o770)),
    "data-folder-is-a-link": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                              [[]], 1, REFUSED % "%(data)s is a symbolic link",
                              planted("link", ["tamsu-pair-kit"], target="home")),
    "prefix-is-a-link": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                         [[]], 1, REFUSED % "%(data)s/wine is a symbolic link",
                         planted("link", ["tamsu-pair-kit", "wine"], target="home")),
    "data-home-in-a-folder-open-to-all": (
        ["shared", "data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/shared/data"), [[]],
        1, REFUSED % "%(work)s/shared may be changed by other users", open_folder),
    "data-home-in-a-folder-its-group-may-change": (
        ["shared", "data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/shared/data"), [[]],
        1, REFUSED % "%(work)s/shared may be changed by other users",
        lambda caller, *_: os.chmod(os.path.dirname(caller.own_folder("shared", "data")), 0o770)),
    # sudo -E: root's prefix in root's own home, nothing of root's in the caller's.
    "root-run-with-the-callers-home": (HOME + ["data"], "failing", dict(
        LANG=EN, XDG_DATA_HOME="%(work)s/home/data"), [IMPORTED], 1, NOT_IMPORTED, root_home),
    # A relative HOME: the home in the password file, by uid, past a line too long to read.
    "home-from-the-password-file": (HOME + [".local", "share"], "failing", dict(
        LANG=EN, HOME="home"), [IMPORTED], 1, NOT_IMPORTED, password_file),
    "32-bit-tool-with-64-bit-wine": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data"),
                                     [[]], 1, "en32", thirty_two_bit_tool),
    "no-wine": (HOME + [".local", "share"], None, dict(LANG=ZH), [[]], 1, "zh", None),
    # Another user's wine on PATH, in a folder as /tmp is, is named and not run.
    "another-users-wine-on-path": (HOME, None, dict(LANG=EN, PATH="/usr/bin:/bin:%(work)s/tmp"), [[]],
                                   1, "%s: %s\n" % kd.WINE_NOTICES["en-refused"] % "%(work)s/tmp",
                                   another_users_wine),
    # The caller's overrides first: Wine takes the last of a name, so the menu builder stays off.
    "callers-dll-overrides": (["data"], "failing", dict(LANG=EN, XDG_DATA_HOME="%(work)s/data",
        WINEDLLOVERRIDES="winemenubuilder.exe=b"), [STARTED], 0, None, fake_prefix()),
    # Nothing waits forever: a box that never closes (Chinese, Wayland alone) is ended; a lock a
    # hung launcher holds is waited for (2 s here; an empty DISPLAY is none); no processor, said.
    "progress-box-never-closes": (HOME + [".local", "share"], "failing", dict(
        LANG=ZH, WAYLAND_DISPLAY="wayland-0"), [IMPORTED], 1, NOT_IMPORTED, stuck_box),
    "prefix-locked-by-a-hung-launcher": (["data"], "failing", dict(
        IN_DATA, DISPLAY="", TAMSU_TEST_LOCK_WAIT_SECONDS="2"), [[]], 1, WAITED,
        lambda c, f, d: fcntl.flock(os.open(c.own_folder(*d, "tamsu-pair-kit"), 0), fcntl.LOCK_EX)),
    "tool-built-for-no-processor": (
        ["data"], "failing", IN_DATA, [[]], 1, "the tool %(kit)s/" + kd.FOLDER_OF["SOC"] + "/" +
        kd.TOOL_FILE + " is a Windows program built for no processor (machine 0); it does not "
        "start\n", lambda c, f, d: built_for(c, 0)),
    # A FIFO where the prefix's record or registry is read is not waited on.
    "fifo-at-the-record": (["data"], "failing", IN_DATA, [ENDED + IMPORTED], 1, NOT_IMPORTED,
                           planted("fifo", ["tamsu-pair-kit", "wine", "tamsu-settings.reg"])),
    "fifo-at-the-registry": (["data"], "failing", IN_DATA, [ENDED + IMPORTED], 1, NOT_IMPORTED,
                             lambda *a: fake_prefix(registry=None)(*a) or planted(
                                 "fifo", ["tamsu-pair-kit", "wine", "system.reg"])(*a)),
}


@pytest.mark.parametrize("case", WINDOWS_TOOLS)
def test_windows_tool(caller, case):
    """A Windows tool starts under Wine as the caller, in a prefix of the kit's own whose bus
    driver reads hidraw; the settings are brought in once. Without Wine, a notice names it."""
    data_home, wine, variables, runs, rc, said, plant = WINDOWS_TOOLS[case]
    assert os.path.isfile(WINE_STAND_IN), "no Windows stand-in was built (no mingw-w64 compiler?)"
    shutil.copy(WINE_STAND_IN, tool(caller.kit, "SOC"))
    user = (0, 0) if plant is root_home else NOBODY
    folders = dict(work=caller.work, kit=caller.kit, data=ROOT_DATA if user == (0, 0) else
                   os.path.join(caller.work, *data_home, "tamsu-pair-kit"))
    variables = {name: value % folders for name, value in variables.items()}
    home = caller.own_folder(*HOME)
    overlay = plant(caller, folders, data_home) if plant else None
    if wine == "unrunnable":
        caller.unrunnable("wine", "wineserver")
        caller.own_folder(*data_home, "tamsu-pair-kit", "wine")
    elif wine:
        caller.record_wine(real=wine == "real")
    else:
        caller.hide("wine")
    if wine == "real":
        overlay = kit_prefix_overlay(caller, data_home)
    sysfs, dev = receiver_and_foreign_device(caller.work), dev_folder(caller.work, OPEN)
    for expected in runs:
        open(os.path.join(caller.work, "wine.log"), "w").close()
        run = caller.run_launcher(sysfs, dev, user=user, overlay=overlay or ("", ""),
                                  **{"HOME": home, **variables})
        assert run.returncode == rc, run.stderr
        # Root's Wine in root's home; Wine's menu builder off, and for the import no Mono or
        # Gecko installer.
        assert caller.log("wine.log") == "".join(
            "uid=%d leader=%s cwd=%s HOME=%s WINEPREFIX=%s WINEDLLOVERRIDES=%s : %s\n" % (
                user[0], "yes" if (cwd, command) in STARTED else "no", cwd % folders,
                "/root" if user == (0, 0) else variables.get("HOME", home),
                folders["data"] + "/wine",
                ";".join(filter(None, (variables.get("WINEDLLOVERRIDES"), "winemenubuilder.exe=d")))
                if (cwd, command) in STARTED else
                "mscoree,mshtml=;winemenubuilder.exe=d", command % folders)
            for cwd, command in expected)
    if said:
        assert ("%s: %s\n" % kd.WINE_NOTICES[said] if said in kd.WINE_NOTICES
                else said % folders) in run.stderr
    # While the prefix is prepared, a progress box that closes when the launcher is done, or a
    # line; nothing when it is ready.
    prepared = said in (NOT_IMPORTED, WAITED) or IMPORTED[0] in expected
    preparing = kd.PREPARING["en" if variables["LANG"] == EN else "zh"]
    if variables.get("DISPLAY") or "WAYLAND_DISPLAY" in variables:
        assert caller.log("zenity.log") == ("uid=%d --progress --pulsate --no-cancel --auto-close "
                                            "--title %s --text %s\nuid=%d closed\n" % (
                                                user[0], *preparing, user[0])
                                            if prepared else "")
    else:
        assert ("%s: %s\n" % preparing in run.stderr) == prepared
    if wine == "real":
        assert started_tools(caller.kit) == SAW % (",".join(p + ":1" for p in receiver_pairs()),
                                                   caller.kit.replace("/", "\\")) * len(runs)
    else:
        expect_nothing_started(caller.kit)
    # The folders on the way to the prefix are the caller's alone, as the XDG rules ask.
    chain = data_home + ["tamsu-pair-kit"] if wine and not plant else []
    for depth in range(1, len(chain) + 1):
        made = os.stat(os.path.join(caller.work, *chain[:depth]))
        assert (made.st_uid, made.st_mode & 0o777) == (NOBODY[0], 0o700), chain[:depth]
    assert not os.path.exists(os.path.join(home, "own-prefix"))
    assert not os.path.exists(os.path.join(home, ".wine"))
    assert not os.path.exists(os.path.join(home, "kept")), "a link at the import file followed"
    # Nothing of root's in the caller's home.
    assert [os.path.join(top, name) for top, folders_, files in os.walk(home)
            for name in folders_ + files if os.lstat(os.path.join(top, name)).st_uid == 0] == []


def test_one_launcher_prepares_the_prefix_at_a_time(caller):
    """Two launchers at once: the second waits until the first has given the prefix its settings,
    saying so as the first does, then finds them there and starts the tool alone."""
    shutil.copy(WINE_STAND_IN, tool(caller.kit, "SOC"))
    data = caller.own_folder(*HOME, ".local", "share", "tamsu-pair-kit")
    with open(os.path.join(data, "ready.reg"), "w") as ready:
        ready.write(settings(receiver_pairs(list), registry=True))
    # An import that takes a second and leaves the registry holding the settings.
    caller.record_wine(real=False, failing='[ "$1" != reg ] || { sleep 1; mkdir "$WINEPREFIX" && '
                       'cp "$WINEPREFIX/../ready.reg" "$WINEPREFIX/system.reg"; }')
    sysfs, dev = receiver_and_foreign_device(caller.work), dev_folder(caller.work, OPEN)
    runs = [caller.start_launcher(sysfs, dev, HOME=caller.own_folder(*HOME), LANG=EN)
            for _ in range(2)]
    runs = [run.finish() for run in runs]
    assert [run.returncode for run in runs] == [0, 0]
    assert all("%s: %s\n" % kd.PREPARING["en"] in run.stderr for run in runs)
    commands = [line.split(" : ")[1] for line in caller.log("wine.log").splitlines()]
    assert commands[:2] == [command for _, command in IMPORTED]
    assert commands[2:] == [command % dict(kit=caller.kit) for _, command in STARTED * 2]


def test_desktop_entry_starts_the_kit_where_it_stands(work):
    """--install-desktop-entry puts the kit, whatever its folder's name, in the caller's menu: the
    entry validates, and its Exec, read as the freedesktop.org desktop entry format reads it,
    starts it."""
    caller = Caller(work)
    caller.kit = caller.new_kit(os.path.join(work, 'a "kit" $HOME `x` \\ here'))
    home = caller.own_folder(*HOME)
    entry = os.path.join(home, ".local", "share", "applications", "tamsu-pair-kit.desktop")
    for _ in range(2):  # the kit's own entry is replaced, not kept
        run = caller.run_launcher("", "", arguments=["--install-desktop-entry"], HOME=home)
        assert run.returncode == 0 and run.stdout == WRITTEN % entry
    assert subprocess.run(["desktop-file-validate", entry]).returncode == 0
    # The string's escapes, then for Exec one argument's quoting, in which \ escapes " ` $ and \.
    with open(entry, encoding="utf-8") as f:
        values = dict(line.split("=", 1) for line in re.sub(
            r"\\(.)", lambda m: {"s": " "}.get(m[1], m[1]), f.read()).splitlines()[1:])
    quoted = re.fullmatch(r'"((?:[^"\\]|\\.)*)"', values["Exec"])
    command = [re.sub(r"\\(.)", r"\1", quoted[1])]
    assert command == [values["TryExec"]] == [os.path.join(caller.kit, kd.LINUX_LAUNCHER)]
    assert values["Icon"] == os.path.join(caller.kit, "tamsu-pair-kit.png")
    run = start(umockdev("soc") + command, LANG=EN).finish()
    assert run.returncode == 0
    expect_started(caller.kit, "SOC")


APPS, NAME = ["applications"], "tamsu-pair-kit.desktop"
WRITTEN = "the kit's menu entry is written: %s\n"
NOT_WRITTEN = "the kit's menu entry is not written: %s\n"
KEPT = "the menu entry that was there, which differs from the kit's, is kept as %s~\n"
# case: what is planted in the data home (work/data), or the files of its applications folder
# (empty; a folder for a name ending in /); what is said: "kept" (and the entry written), or
# the folder and why the entry is not written; a prefix to the launcher.
MENU_ENTRIES = {
    "applications-of-another-user": (planted("folder", APPS, 0o777, (0, 0)),
                                     "apps belongs to another user"),
    "applications-is-a-link": (planted("link", APPS, target="home"), "apps is a symbolic link"),
    "data-home-in-a-folder-open-to-all": (open_folder, "data may be changed by other users"),
    "edited-entry-kept": ([NAME], "kept"),
    # And a draft that an earlier run left.
    "edited-entry-beside-a-kept-one": ([NAME, NAME + "~", NAME + ".new"], "entry differs from the "
                                       "kit's, and the %s~ beside it keeps an earlier one" % NAME),
    "rename-fails": ([NAME + "/"], "entry cannot be written"),
    # Files of 320 bytes at most: room for the line, not for the entry.
    "write-fails": ([], "entry cannot be written", "prlimit", "--fsize=320", "--"),
}


@pytest.mark.parametrize("case", MENU_ENTRIES)
def test_menu_entry_holds(caller, case):
    """The entry goes only into the caller's own applications folder, on a path no one else may
    change; an entry that is not the kit's is kept, and no draft is left."""
    plant, said, *prefix = MENU_ENTRIES[case]
    data, home = os.path.join(caller.work, "data"), caller.own_folder(*HOME)
    paths = dict(data=data, apps=os.path.join(data, *APPS), entry=os.path.join(data, *APPS, NAME))
    for name in plant if isinstance(plant, list) else plant(caller, None, ["data"]) or ():
        path = os.path.join(caller.own_folder("data", *APPS), name)
        os.mkdir(path) if name.endswith("/") else open(path, "w").close()
    caller.own_folder("data")
    run = caller.run_launcher("", "", *prefix, arguments=["--install-desktop-entry"], HOME=home,
                              XDG_DATA_HOME=data)
    where, _, why = said.partition(" ")
    assert run.stdout + run.stderr == (NOT_WRITTEN % (paths[where] + " " + why) if why else
                                       KEPT % paths["entry"] + WRITTEN % paths["entry"])
    assert run.returncode == int(said != "kept") and not os.path.exists(paths["entry"] + ".new")


# --- Faults: the launcher's surroundings fail it ----------------------------------------------

def sysfs_tree(work, interfaces):
    """A sysfs with that many receiver interfaces, or "unreadable": a file where the interface
    list's directory should be, so opendir fails with ENOTDIR (0x14) even for root."""
    sysfs = os.path.join(work, "sysfs")
    os.makedirs(os.path.join(sysfs, "class"))
    if interfaces == "unreadable":
        open(os.path.join(sysfs, "class", "hidraw"), "w").close()
    else:
        os.makedirs(os.path.join(sysfs, "class", "hidraw"))
        kd.write_tree(kd.receiver_blocks(interfaces), sysfs)
    return sysfs


# case: interface list (sysfs_tree), failure lines on standard output, traced hardware and how
# often, counters, families found, notice, family started.
LISTS = {
    "unreadable-on-both-passes": ("unreadable", ["opendir /sys/class/hidraw failed: 14"] * 2, {},
                                  {}, 0, ("none", "en"), None),
    "1000-interfaces-at-once": (1000, [], {SOC[0]: 500, SOC[1]: 500}, dict(soc=1000), 1, None,
                                "SOC"),
}


@pytest.mark.parametrize("case", LISTS)
def test_interface_list(kit, work, case):
    interfaces, failures, hardware, counts, families, notice, started = LISTS[case]
    run = run_isolated(kit, sysfs_tree(work, interfaces), LANG=EN)
    assert [line for line in run.stdout.splitlines() if not line.startswith("[stand-in] ")] == failures
    assert collections.Counter(run.hardware()) == hardware
    assert len(set(run.finds)) == len(run.finds), "paths traced more than once (a second pass)"
    run.expect(counts, families, notice)
    assert run.returncode == 0
    if not families:
        assert run.seconds >= 3.5, "both failures within %.2f s: no 3 s wait" % run.seconds
    if started:
        expect_started(kit, started)
    else:
        expect_nothing_started(kit)


def reports(probe, expected):
    """The probe in folder probe left a report (descriptors, signals, start line) that matches
    the shell patterns expected."""
    report = probe_report(probe)
    assert report and all(fnmatch.fnmatchcase(*pair) for pair in zip(report, expected)), report
    return True


CLEAN = "SigBlk:0000000000000000 SigIgn:0000000000000000 "
AS_ROOT = "uid=0 fd3=- fd7=-"
# case: hostile parent, interface list (sysfs_tree), zenity (a "probe", "hidden" or as
# installed), and what the probe (the SOC tool, or zenity) must report: descriptors, signals,
# start line (shell patterns; None: nothing to report).
HOSTILE = {
    # As root from the start: nothing inherited past 2, limits above the usual ones as they were.
    **{"tool-started-given-" + parent: (parent, 2, "", (
        "/dev/null " * 2 + "/dev/null" if parent == "closed-descriptors" else "*", CLEAN, AS_ROOT,
        "16777216:unlimited 4096:8192" if parent == "roomy-limits" else "*"))
       for parent in HOSTILE_PARENTS},
    # The failure line goes to the broken output; the run goes on to its second pass.
    "list-unreadable-output-on-broken-pipe": ("broken-pipes", "unreadable", "hidden", None),
    # zenity shown to a parent ignoring SIGCHLD: waited for, the notice not repeated as a line.
    **{"notice-shown-given-" + parent: (parent, 0, "probe", ("*", CLEAN, "* fd7=-"))
       for parent in ("hostile-signals", "open-descriptors")},
}


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_parent(kit, work, case):
    """The launcher still starts the tool, exits 0, and hands the tool open standard
    descriptors and default signal actions with nothing blocked."""
    parent, interfaces, zenity, expected = HOSTILE[case]
    probe = os.path.join(work, "probe")
    write_probe(tool(kit, "SOC"), probe)
    run = run_isolated(kit, sysfs_tree(work, interfaces), hostile_parent(work, parent),
                       dict(probe=tool(kit, "SOC"), hidden="/dev/null").get(zenity, ""),
                       LANG=EN, DISPLAY=":97")
    assert run.returncode == 0
    if interfaces == "unreadable":
        assert run.seconds >= 3.5, "ended after %.2f s, before the second pass" % run.seconds
    if zenity == "probe":
        assert run.other_lines == [], "notice line besides the box"
    assert expected is None or reports(probe, expected)


CRASHING = '#!/bin/sh\necho SOC crashed >>"$(dirname "$0")/../%s"\nkill -SEGV $$\n' % kd.STAND_IN_LOG
# case: what is done to the SOC tool, why it cannot start (None: it does), its stand-ins' log.
BROKEN_TOOLS = {"not-executable": (lambda path: os.chmod(path, 0o644), "Permission denied", ""),
                "missing": (os.remove, "No such file or directory", ""),
                "fifo": (lambda path: os.remove(path) or os.mkfifo(path), "Permission denied", ""),
                "crashing-at-once": (lambda path: write_program(path, CRASHING), None,
                                     "SOC crashed\n")}


@pytest.mark.parametrize("case", BROKEN_TOOLS)
def test_broken_tool(kit, case):
    """A tool that cannot start is said in one line, exit 1; one that dies at once, nothing."""
    change, why, log = BROKEN_TOOLS[case]
    change(tool(kit, "SOC"))
    run = run_launcher(kit, "soc", LANG=EN)
    assert run.returncode == (1 if why else 0)
    assert run.other_lines == (["the tool %s cannot be started: %s" % (tool(kit, "SOC"), why)]
                               if why else [])
    assert started_tools(kit, 60 if log else 2) == log


@pytest.mark.parametrize("zenity", ["installed", "hidden"])
def test_no_usable_display(kit, work, zenity):
    """The notice still reaches the user, as one line on standard error."""
    run = run_isolated(kit, sysfs_tree(work, 0), zenity="/dev/null" if zenity == "hidden" else "",
                       LANG=ZH, DISPLAY=":97")
    captions = tuple(caption + ": " for caption, _ in kd.NOTICES.values())
    assert [line for line in run.other_lines if line.startswith(captions)] == [
        kd.notice_line("none", "zh")]
    assert run.returncode == 0
    expect_nothing_started(kit)
