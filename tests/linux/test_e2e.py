"""The real native launcher end to end, on machines simulated with umockdev (the descriptions in
devices/) or on sysfs trees of its own, in kit folders with stand-in tools: as root, as a caller
who must ask a pkexec stand-in for rights, and under faults around it (hostile parents, broken
tools, no display). Each case is its own CTest test: linux_e2e.<test>[<case>]."""

import collections
import fnmatch
import os
import shutil
import socket
import threading

import pytest

import kit_description as kd
from e2e_support import (ARTEFACTS, HOSTILE_PARENTS, Caller, expect_nothing_started,
                         expect_started, hostile_parent, matches, new_kit, probe_report,
                         run_isolated, run_launcher, start, start_launcher, started_tools, tool,
                         write_probe, write_program, x_authority)

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


# --- Elevation: the caller is not root -------------------------------------------------------

ASKED = kd.LINUX_LAUNCHER + ": administrator rights are required"
# Once granted, pkexec's hook kills the launcher and has a process of nobody's take its pid.
IMPOSTOR = r"""launcher=$PPID; kill -KILL $launcher
while [ -e /proc/$launcher ]; do sleep 0.05; done
echo $((launcher - 1)) >/proc/sys/kernel/ns_last_pid
setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c 'sleep 3; :' &
[ $! = $launcher ] || echo 'the pid was not taken' >&2
for _ in $(seq 100); do
    [ "$(stat -c %u /proc/$launcher)" = 65534 ] && [ "$(readlink /proc/$launcher/exe)" = /usr/bin/bash ] && break
    sleep 0.05
done"""
# Accounts seen by the caller and by root's step, and the group that may write the kit:
# (uid, gid), lines added to /etc/passwd and /etc/group, the kit's group.
PAIRER = "pairer:x:64100:64100::/nonexistent:/usr/sbin/nologin"
ACCOUNTS = {
    "private-group": ((64100, 64100), [PAIRER], ["pairer:x:64100:pairer"], 64100),
    "group-others-are-in": ((64100, 64100), [PAIRER], ["pairer:x:64100:"], 100),
    "group-with-another-member": ((64100, 64100), [PAIRER], ["pairer:x:64100:pairer,ana"], 64100),
    "group-of-another-name": ((64100, 64100), [PAIRER], ["kitters:x:64100:"], 64100),
    "group-another-account-has": ((64100, 64100), [PAIRER, PAIRER.replace("pairer:x:64100", "twin:x:64101")],
                                  ["pairer:x:64100:"], 64100),
}


def kit_writable_by(caller, kit, account):
    """The kit unpacked by the account with umask 002: folders 775, files 664 or 775."""
    (uid, _), passwd, group, kit_group = ACCOUNTS[account]
    for folder, _, files in os.walk(kit):
        for path in [folder] + [os.path.join(folder, name) for name in files]:
            os.chown(path, uid, kit_group)
            os.chmod(path, os.stat(path).st_mode | 0o020)
    os.chmod(os.path.join(kit, kd.STAND_IN_LOG), 0o666)
    return dict(user=ACCOUNTS[account][0], accounts=caller.accounts(passwd, group))


def set_user_id_launcher(caller, kit):
    """The launcher set-user-id root, run from a simulated sysfs (its loader ignores umockdev's
    preload) by a caller whose environment must not reach root."""
    os.chmod(os.path.join(kit, kd.LINUX_LAUNCHER), 0o4755)
    return dict(sysfs=sysfs_tree(caller.work, 2), WINEPREFIX=caller.work)


def past_the_pipe_quota(caller, kit):
    """A user whose processes hold more pipes than the kernel's soft quota, so that a new pipe
    holds 8 KiB, with 12 KiB of X credentials (a user id of its own: the quota is per user)."""
    cookie = os.path.join(caller.work, "large-cookie")
    with open(cookie, "wb") as f:
        f.write(b"\0" * 12288)
    os.chown(cookie, 64200, 64200)
    return dict(user=(64200, 64200), XAUTHORITY=cookie)


HOLD_PIPES = ("python3", "-c", "import os, resource, sys\n"
              "limit = resource.getrlimit(resource.RLIMIT_NOFILE)[1]\n"
              "resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))\n"
              "held = [os.pipe2(0) for _ in range(1100)]\n"
              "os.execv(sys.argv[1], sys.argv[1:])")


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


def tool_of_another_system(caller, kit):
    with open(tool(kit, "SOC"), "wb") as f:
        f.write(b"MZ\x90\0" + b"\0" * 60)
    return {}


# What starts the launcher, pkexec's answer (None: no pkexec) and the hook it runs once granted,
# the kit's folder, variables; the expected exit code, line besides the trace (a shell pattern,
# {work} the work folder), whether rights were asked for, the family started, the record of a
# zenity stand-in that showed the notice (None: no stand-in), and what is done to the kit before
# the run (it returns further options of Caller.run).
Elevation = collections.namedtuple(
    "Elevation", "simulation prefix answer hook kit variables rc line asked started zenity setup",
    defaults=("soc", (), "grant", "", "kit", dict(LANG=EN), 0, None, True, None, None, None))
UNFIT_KIT = ASKED + " (the pairing tool must open the receiver as root), but they are not asked for: another user could change {work}/kit."
FOUND_NOTHING_OR_MANY = dict(variables=dict(LANG=EN, DISPLAY=":99", HOME="/nonexistent"),
                             asked=False, zenity="uid=65534 home=/nonexistent xauthority=unset fd7=-")
ELEVATION = {
    "no-pkexec": Elevation(answer=None, variables=dict(LANG=EN, DISPLAY=":99"), rc=1,
                           line=ASKED + " */usr/bin/pkexec cannot be run*", asked=False),
    # The notice shown by the caller (at home, with no XAUTHORITY), and no request for rights.
    "none-found-notice-without-asking": Elevation("none", **FOUND_NOTHING_OR_MANY),
    "many-found-notice-without-asking": Elevation("many", **FOUND_NOTHING_OR_MANY),
    # Root runs nothing of the process that took the launcher's pid (its input is a command);
    # the line is the namespace's shell on its killed launcher.
    "pid-taken-while-asking": Elevation(hook=IMPOSTOR, rc=128 + 9, line="Killed", started="SOC"),
    "pkexec-killed-while-asking": Elevation(hook="kill -KILL $$", rc=128 + 9,
                                            line=ASKED + "*, but the request for them ended with signal 9."),
    "kit-in-a-folder-others-can-write": Elevation(
        kit="shared/kit", rc=1, asked=False, line=ASKED + " (the pairing tool must open the "
        "receiver as root), but they are not asked for: another user could change {work}/shared."),
    "no-new-privs": Elevation(prefix=("setpriv", "--no-new-privs", "--"), rc=1, asked=False,
                              line=ASKED + "*, but they cannot be gained in this process "
                              "(no_new_privs is set), so none were asked for."),
    # The kernel would reap pkexec unwaited for.
    "refused-sigchld-ignored": Elevation(prefix=("env", "--ignore-signal=CHLD"), answer="refuse",
                                         rc=127, line=ASKED + "* not authorised."),
    # pkexec's 127 is no longer the reason given (its own complaint is not the launcher's).
    "set-user-id-launcher-asks-as-its-caller": Elevation(setup=set_user_id_launcher, started="SOC"),
    # Its user id cannot be given back: it stops, rather than go on as root.
    "set-user-id-drop-refused": Elevation(
        prefix=REFUSE_SETRESUID, rc=1, asked=False,
        setup=lambda caller, kit: dict(set_user_id_launcher(caller, kit), user=(0, 0)),
        line=kd.LINUX_LAUNCHER + ": its set-user-id rights cannot be given up, so it stops."),
    "launcher-others-can-write": Elevation(
        setup=lambda caller, kit: os.chmod(os.path.join(kit, kd.LINUX_LAUNCHER), 0o757),
        rc=1, asked=False, line=UNFIT_KIT.replace("{work}/kit.", "{work}/kit/" + kd.LINUX_LAUNCHER + ".")),
    # Credentials that no longer fit the pipe are left out: nothing waits on it.
    "credentials-past-the-pipe-quota": Elevation(prefix=HOLD_PIPES, setup=past_the_pipe_quota,
                                                 started="SOC"),
    "tool-of-another-system": Elevation(setup=tool_of_another_system, rc=1, line=kd.LINUX_LAUNCHER +
                                        ": the pairing tool is not started as root: "
                                        "{work}/kit/*/* cannot be run (Exec format error)."),
    # A kit unpacked with umask 002: writable by its group, fit only when that is the caller's
    # private group.
    **{"kit-writable-by-" + account: Elevation(
        setup=lambda caller, kit, account=account: kit_writable_by(caller, kit, account),
        **(dict(started="SOC") if account == "private-group" else
           dict(rc=1, asked=False, line=UNFIT_KIT))) for account in ACCOUNTS},
    "granted-launcher-cannot-run-as-root": Elevation(
        hook="set -- /nonexistent/tamsu-launcher; exec 2>/dev/null", rc=127, line=ASKED + "*, but once they were "
        "given the launcher could not be started as root (pkexec exit 127)."),
}


@pytest.fixture
def caller(work):
    return Caller(work)


@pytest.mark.parametrize("case", ELEVATION)
def test_elevation(caller, case):
    row = ELEVATION[case]
    kit = caller.new_kit(os.path.join(caller.work, row.kit))
    if row.kit != "kit":
        os.chmod(os.path.dirname(kit), 0o777)  # others can write there
    if row.answer:
        caller.write_pkexec(row.answer, row.hook)
    if row.zenity:
        caller.write_zenity()
    options = (row.setup(caller, kit) if row.setup else None) or {}
    run = caller.run_launcher(row.simulation, *row.prefix, kit=kit, pkexec=bool(row.answer),
                              **dict(row.variables, **options))
    assert run.returncode == row.rc
    assert matches(run.other_lines, row.line and row.line.format(work=caller.work)), run.stderr
    assert (caller.log("pkexec.log") != "") == row.asked, "requests for rights"
    assert caller.log("impostor.log") == "", "what root ran of another process's"
    if row.zenity:
        assert caller.log("zenity.log").splitlines()[-1:] == [row.zenity], "who showed the notice"
    if row.started:
        expect_started(kit, row.started)
    else:
        expect_nothing_started(kit)


def test_x_cookie_of_a_root_only_file(caller):
    """A root-only X authority file named by the caller, and a display the caller listens on:
    whatever connects must not bring the cookie, even with a pkexec that would grant."""
    caller.write_pkexec()
    # The first display number free on 127.0.0.1 (another run may listen on one).
    for display in range(7, 64):
        try:
            listener = socket.create_server(("127.0.0.1", 6000 + display))
            break
        except OSError:
            continue
    secret = "5ec12e75ec12e75ec12e75ec12e75ec1"
    cookie = x_authority(os.path.join(caller.work, "root-cookie"), "root", secret, display)
    heard = []

    def listen(listener):
        listener.settimeout(120)
        connection, _ = listener.accept()
        connection.settimeout(10)
        data = b""
        try:
            while len(data) < 4096 and (chunk := connection.recv(4096)):
                data += chunk
        except OSError:
            pass
        heard.append(data)
        connection.close()

    with listener:
        thread = threading.Thread(target=listen, args=(listener,))
        thread.start()
        run = caller.run_launcher("none", LANG=EN, DISPLAY="127.0.0.1:%d" % display,
                                  XAUTHORITY=cookie)
        thread.join()
    assert heard, "nothing connected to the caller's display"
    assert bytes.fromhex(secret) not in heard[0]
    caption = kd.NOTICES[("none", "en")][0]
    assert [line for line in run.other_lines if line.startswith(caption + ": ")] == [
        kd.notice_line("none", "en")]


def test_granted_tools_start(caller):
    """Root starts the tool (a probe) in the kit's folder, with umask 022, PID 1's limits, the
    caller's own credentials on descriptor 3 and nothing else inherited, whatever the caller had:
    an environment pkexec refuses, umask 077, no file size, an open descriptor 7, another
    working folder."""
    probe, soc = os.path.join(caller.work, "probe"), tool(caller.kit, "SOC")
    write_probe(soc, probe)
    cookie = x_authority(os.path.join(caller.work, "caller-cookie"), "nobody", "0123456789abcdef" * 2)
    caller.write_pkexec()
    run = caller.run_launcher("soc", "prlimit", "--fsize=0:", "--", "sh", "-c",
                              'umask 077; exec "$0" 7<"$0"', SHELL="/usr/sbin/nologin",
                              LANG="/usr/lib/locale/C.utf8", DISPLAY=":99", XAUTHORITY=cookie)
    assert run.returncode == 0
    # Root's step shows nothing of its own, although it sees no receiver there.
    assert run.other_lines == []
    assert caller.log("pkexec-fd7.log") == "", "pkexec's descriptor 7"
    launcher = os.path.join(caller.kit, kd.LINUX_LAUNCHER)
    assert caller.log("pkexec.log") == "%s --start-tool %s DISPLAY=:99\n" % (launcher, kd.FOLDER_OF["SOC"])
    assert os.readlink(os.path.join(probe, "cwd")) == caller.kit
    report = probe_report(probe)
    assert report and report[2] == "uid=0 umask=0022 fsize=unlimited fd3=credentials fd7=-"
    with open(os.path.join(probe, "credentials"), "rb") as got, open(cookie, "rb") as sent:
        assert got.read() == sent.read(), "the credentials the tool got"
    with open(os.path.join(probe, "environ"), "rb") as environ:
        assert b"XAUTHORITY=/dev/fd/3" in environ.read().split(b"\0")


# Root's step asked for directly: through the real pkexec, which a site's polkit rule allows for
# the launcher alone, or by root alone (sudo, a service); the tool folder or whatever else is
# named (with a locale that names a file, and one that does not), the kit's owner; exit code,
# line (a shell pattern). A tool started is a probe: its environment is checked.
ROOT_STEP = {
    "site-rule-any-program": ("pkexec", "/usr/bin/id", "root", 2, ": /usr/bin/id is not one of *"),
    "site-rule-tool-folder": ("pkexec", "SOC", "root", 0, None),
    "sudo-any-program": ("sudo", "/usr/bin/id", "root", 2, ": /usr/bin/id is not one of *"),
    "sudo-kit-of-a-user": ("sudo", "SOC", "nobody", 1, ": another user could change {work}/kit."),
    "sudo-kit-of-root": ("sudo", "SOC", "root", 0, None),
}


@pytest.mark.parametrize("case", ROOT_STEP)
def test_root_step(caller, case):
    asked_by, named, owner, rc, line = ROOT_STEP[case]
    named = kd.FOLDER_OF.get(named, named)
    shutil.chown(caller.kit, owner)
    probe = os.path.join(caller.work, "probe")
    write_probe(tool(caller.kit, "SOC"), probe)
    command = [os.path.join(caller.kit, kd.LINUX_LAUNCHER), "--start-tool", named,
               "LANG=/usr/lib/locale/C.utf8", "LC_ALL=" + ZH]
    if asked_by == "pkexec":
        run = caller.run(["/usr/bin/pkexec"] + command, pkexec=caller.allow_by_polkit(command[0]))
    else:
        run = start(command).finish()
    assert run.returncode == rc
    assert "uid=0" not in run.stdout, "what root ran"
    pattern = line and kd.LINUX_LAUNCHER + ": the pairing tool is not started as root" + line
    assert matches(run.other_lines, pattern and pattern.format(work=caller.work)), run.stderr
    report = probe_report(probe, 60 if rc == 0 else 2)
    assert (report is not None) == (rc == 0), "the tool started"
    if report:
        with open(os.path.join(probe, "environ"), "rb") as environ:
            passed = [v for v in environ.read().split(b"\0") if v.startswith((b"LANG=", b"LC_ALL="))]
        assert passed == [b"LC_ALL=" + ZH.encode()]


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
AS_ROOT = "uid=0 umask=0022 fsize=unlimited fd3=- fd7=-"
# case: hostile parent, interface list (sysfs_tree), zenity (a "probe", "hidden" or as
# installed), and what the probe (the SOC tool, or zenity) must report: descriptors, signals,
# start line (shell patterns; None: nothing to report).
HOSTILE = {
    # As root from the start: a fresh root's umask and limits, nothing inherited past 2.
    **{"tool-started-given-" + parent: (parent, 2, "", (
        "/dev/null " * 2 + "/dev/null" if parent == "closed-descriptors" else "*", CLEAN, AS_ROOT))
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
# case: what is done to the SOC tool, what its start leaves in the stand-ins' log.
BROKEN_TOOLS = {"not-executable": (lambda path: os.chmod(path, 0o644), ""),
                "crashing-at-once": (lambda path: write_program(path, CRASHING), "SOC crashed\n")}


@pytest.mark.parametrize("case", BROKEN_TOOLS)
def test_broken_tool(kit, case):
    """A tool that cannot start, or dies at once: the launcher shows nothing and exits 0."""
    change, log = BROKEN_TOOLS[case]
    change(tool(kit, "SOC"))
    run = run_launcher(kit, "soc", LANG=EN)
    assert run.returncode == 0
    assert run.other_lines == []
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
