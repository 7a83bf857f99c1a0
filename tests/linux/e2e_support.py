"""Running the real native launcher under umockdev in a kit with stand-in tools, and reading
what it did: its trace, its other lines and the stand-ins' log. CTest hands over the launcher
(TAMSU_LAUNCHER) and the folder for photographs (TAMSU_ARTEFACTS)."""

import fnmatch
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import kit_description as kd

LAUNCHER = os.environ.get("TAMSU_LAUNCHER", "")
ARTEFACTS = os.environ.get("TAMSU_ARTEFACTS", "")
PLAIN_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def new_kit(kit):
    kd.lay_out_kit(kit, LAUNCHER)
    return kit


def tool(kit, family):
    return os.path.join(kit, kd.FOLDER_OF[family], kd.TOOL_FILE)


class Run(kd.Trace):
    """One finished run: exit code, standard output and error (text, and split as a trace),
    seconds taken."""

    def __init__(self, returncode, stdout, stderr, seconds):
        super().__init__(stderr.split("\n")[:-1])
        self.returncode, self.stdout, self.stderr, self.seconds = returncode, stdout, stderr, seconds

    def hardware(self):
        """The hardware part (and a keyboard's \\kbd) of each traced path."""
        return [kd.linux_hardware_of(path) for path in self.finds]


class Running:
    """A launcher run going on in the background; finish() waits for it."""

    def __init__(self, command, env, stdin=subprocess.DEVNULL, **popen):
        self.files = [tempfile.TemporaryFile() for _ in range(2)]
        self.start = time.monotonic()
        # Its own process group, so a hung run can be ended with everything it started.
        self.process = subprocess.Popen(command, env=env, stdin=stdin,
                                        stdout=self.files[0], stderr=self.files[1],
                                        start_new_session=True, **popen)

    def finish(self, timeout=120):
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        seconds = time.monotonic() - self.start
        texts = []
        for f in self.files:
            f.seek(0)
            texts.append(f.read().decode("utf-8", "replace"))
            f.close()
        return Run(self.process.returncode, texts[0], texts[1], seconds)


def umockdev(simulation, copies=None):
    """umockdev-run's command prefix for a simulated machine (kit_description.SIMULATIONS, or
    "empty": no HID device at all); with copies, from readable copies in that folder (the
    checkout may lie where an unprivileged user cannot enter)."""
    command = ["umockdev-run"]
    for description in kd.simulation_devices(simulation):
        if copies:
            os.makedirs(copies, exist_ok=True)
            description = shutil.copy(description, copies)
            os.chmod(description, 0o644)
        command += ["-d", description]
    return command + ["--"]


def start(command, stdin=subprocess.DEVNULL, **variables):
    """Starts command with a plain PATH and only the given variables. Python resets SIGPIPE to
    its default and closes descriptors above 2 in the child, so a hostile state is set up by a
    program between it and the launcher (HOSTILE_PARENTS), and checked by a probe in its place."""
    env = dict(PATH=PLAIN_PATH, ASAN_OPTIONS="verify_asan_link_order=0")
    env.update(variables)
    return Running(command, env, stdin=stdin)


def start_launcher(kit, simulation, launcher=None, **variables):
    """Starts the kit's launcher (or launcher) headless under umockdev-run on a simulated
    machine. umockdev-run takes its arguments as text in the locale's encoding; a kit path that
    is not UTF-8 reaches the launcher through the environment instead."""
    return start(umockdev(simulation) + ["/bin/sh", "-c", 'exec "$TAMSU_LAUNCHER"'],
                 TAMSU_LAUNCHER=launcher or os.path.join(kit, kd.LINUX_LAUNCHER), **variables)


def run_launcher(kit, simulation, **kwargs):
    """start_launcher's run, to its end."""
    return start_launcher(kit, simulation, **kwargs).finish()


def started_tools(kit, seconds=60):
    """The stand-ins' log as soon as a line is there. A tool on a busy machine may take long to
    start, so the wait only bounds a hang; a short one shows that nothing started (the launcher
    has exited by then, so a tool it started is already running)."""
    log = os.path.join(kit, kd.STAND_IN_LOG)
    return kd.wait_for(lambda: _read(log), seconds)


def _read(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def expect_started(kit, family):
    """Exactly that family's tool started once, with no arguments, in a session of its own,
    as root."""
    line = started_tools(kit)
    match = re.fullmatch(r"%s args=0 session=(\d+) pid=(\d+) uid=0\n" % family, line)
    assert match, "expected the %s tool to start once without arguments, got %r" % (family, line)
    assert match.group(1) == match.group(2), "the tool's session"


def expect_nothing_started(kit):
    assert started_tools(kit, 2) == "", "started tools"


# --- Hostile parents, probes, private namespaces and a pkexec stand-in ----------------------

# Programs that start the launcher (their arguments) as a hostile parent would: with standard
# output and error on a pipe whose reader has gone, with descriptors 0-2 closed, with every
# signal ignored and blocked, with descriptor 7 open, or with umask 077 and soft limits of 4
# descriptors, a 32 KiB stack and no file size (after closing what the harness left open: with
# that the loader could not open libc).
HOSTILE_PARENTS = {
    "broken-pipes": 'fifo=$(mktemp -u "$0.XXXXXX") && mkfifo "$fifo" || exit 92\n'
                    'exec 3<>"$fifo" 4>"$fifo"\nrm "$fifo"\nexec "$@" 3<&- >&4 2>&4 4>&-',
    "closed-descriptors": 'exec "$@" <&- >&- 2>&-',
    "hostile-signals": 'exec env --ignore-signal --block-signal "$@"',
    "open-descriptors": 'exec "$@" 7<"$0"',
    "tight-limits": 'for fd in /proc/$$/fd/*; do\n    fd=${fd##*/}\n'
                    '    [ "$fd" -le 2 ] || eval "exec $fd>&-"\ndone\numask 077\n'
                    'exec prlimit --nofile=4: --stack=32768: --fsize=0: -- "$@"',
}


def write_program(path, text):
    with open(path, "w", encoding="utf-8") as program:
        program.write(text)
    os.chmod(path, 0o755)
    return path


def hostile_parent(work, name):
    return write_program(os.path.join(work, name), "#!/bin/bash\n" + HOSTILE_PARENTS[name] + "\n")


# Leaves in its folder links to its working folder and descriptors 0-2, its /proc status and
# environment, what it read on descriptor 3, and a line "start" with its user, umask, soft
# file-size limit and descriptors 3 and 7. bash's exec keeps the signal state it was given (dash
# clears the mask), and cp opens nothing before it has read the links.
PROBE = r"""#!/bin/bash
cat /dev/fd/3 >FOLDER/credentials 2>/dev/null
echo "uid=$(id -u) umask=$(umask) fsize=$(ulimit -S -f) fd3=$([ -s FOLDER/credentials ] && echo credentials || echo -) fd7=$(readlink /proc/self/fd/7 || echo -)" >FOLDER/start
exec cp -P /proc/self/cwd /proc/self/fd/0 /proc/self/fd/1 /proc/self/fd/2 /proc/self/environ /proc/self/status FOLDER/
"""


def write_probe(program, folder):
    os.makedirs(folder, mode=0o777, exist_ok=True)
    os.chmod(folder, 0o777)
    return write_program(program, PROBE.replace("FOLDER", folder))


def probe_report(folder, seconds=60):
    """What a probe left: its descriptors 0-2 ("-" when closed), its blocked and ignored
    signals, its start line; None when it left nothing within seconds (the status file's last
    line marks it whole)."""
    status = os.path.join(folder, "status")
    if not kd.wait_for(lambda: "nonvoluntary_ctxt_switches:" in _read(status), seconds):
        return None
    links = [os.path.join(folder, name) for name in "012"]
    return (" ".join(os.readlink(p) if os.path.islink(p) else "-" for p in links),
            "".join(line.replace("\t", "") + " " for line in _read(status).splitlines()
                    if line.startswith(("SigBlk:", "SigIgn:"))),
            _read(os.path.join(folder, "start")).rstrip("\n"))


# Binds sysfs ($1) over /sys and $2 (when given, and zenity is installed) over zenity, in a
# private mount namespace; nothing intercepts the launcher's file calls. $3 starts it ($4).
ISOLATED = """mount --bind "$1" /sys || exit 90
[ -z "$2" ] || [ ! -e /usr/bin/zenity ] || mount --bind "$2" /usr/bin/zenity || exit 91
exec $3 "$4"
"""


def start_isolated(kit, sysfs, parent="", zenity="", launcher=None, **variables):
    return start(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", ISOLATED,
                  "sh", sysfs, zenity, parent, launcher or os.path.join(kit, kd.LINUX_LAUNCHER)],
                 **variables)


def run_isolated(*args, **kwargs):
    return start_isolated(*args, **kwargs).finish()


# Runs its command as user $3 (uid:gid) in private mount and pid namespaces where the programs of
# $1 lie over /usr/bin ("none": pkexec hidden; a folder of polkit rules: the real pkexec, with a
# system bus and a polkitd of their own that take only those rules), $2 holds a set-user-id
# setpriv (the work folder's file system may be mounted nosuid), the accounts in folder $4 (when
# given) lie over /etc/passwd and /etc/group, and the sysfs tree $5 (when given) over /sys.
UNPRIVILEGED = """if [ -n "$4" ]; then
    mount --bind "$4/passwd" /etc/passwd && mount --bind "$4/group" /etc/group || exit 90
fi
[ -z "$5" ] || mount --bind "$5" /sys || exit 90
if [ "$1" = none ]; then
    [ ! -e /usr/bin/pkexec ] || mount --bind /dev/null /usr/bin/pkexec || exit 90
elif [ -e "$1/50-kit.rules" ]; then
    mkdir -p /run/dbus && mount -t tmpfs -o mode=755 tmpfs /run/dbus &&
        mount --bind "$1" /etc/polkit-1/rules.d || exit 90
    # The bus starts polkitd when pkexec first asks for it.
    dbus-daemon --system --nofork --nopidfile 2>/dev/null &
    for _ in $(seq 300); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.1; done
else
    mount -t tmpfs -o mode=755 tmpfs "$2" && cp /usr/bin/setpriv "$2" &&
        chmod 4755 "$2/setpriv" || exit 90
    mount -t overlay overlay -o "lowerdir=$1:/usr/bin" /usr/bin || exit 90
fi
user=$3
shift 5
# (pkexec refuses a parent that is PID 1: this shell)
setpriv --reuid="${user%:*}" --regid="${user#*:}" --clear-groups -- sh -c '"$@"; exit $?' sh "$@"
status=$?
pkill -x polkitd; pkill -x dbus-daemon
# This is the namespace's init: what outlived the command (a tool, a pkexec whose launcher was
# killed) ends with it, so it waits for them first.
deadline=$(($(date +%s) + 60))
while set -- /proc/[0-9]* && [ $# -gt 1 ] && [ "$(date +%s)" -lt "$deadline" ]; do
    sleep 0.1
done
exit "$status"
"""

# Like the real one it refuses before asking anyone when it cannot gain rights (no_new_privs)
# or dislikes its environment, and runs its program with descriptors 0-2 alone and PKEXEC_UID
# set. It writes the command line the administrator would be shown to WORK/pkexec.log, takes its
# answer from ANSWER (grant, cancel or refuse), and once granted becomes root for real through
# the set-user-id setpriv and runs the hook WHILE_ASKING first.
PKEXEC = r"""#!/bin/bash
if [ "$(id -ru)" != 0 ]; then
    # Written past any file-size limit the caller set, which must still reach the program.
    limit=$(ulimit -S -f)
    ulimit -S -f unlimited
    echo "$*" >>WORK/pkexec.log
    readlink /proc/$$/fd/7 >>WORK/pkexec-fd7.log
    ulimit -S -f "$limit"
    if grep -q '^NoNewPrivs:[[:space:]]*1' /proc/self/status; then
        echo "pkexec must be setuid root" >&2
        exit 127
    fi
    # (bash sets SHELL itself when its environment has none)
    shell=$(printenv SHELL) && ! grep -qxF -- "$shell" /etc/shells && exit 127
    for name in LANG LANGUAGE TERM COLORTERM $(export -p | sed -n 's/^declare -x \(LC_[A-Z_]*\)=.*/\1/p'); do
        case ${!name-} in */* | *%* | *..*) exit 127 ;; esac
    done
    case ANSWER in cancel) exit 126 ;; refuse) exit 127 ;; esac
    PKEXEC_UID=$(id -ru) exec WORK/suid/setpriv --reuid=0 --regid=0 --clear-groups -- "$0" "$@"
fi
WHILE_ASKING
for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    [ "$fd" -le 2 ] || eval "exec $fd>&-"
done
exec "$@"
"""


NOBODY = (65534, 65534)


class Caller:
    """A user who is not root, with a kit in work/kit, a bin folder over /usr/bin and logs
    anyone may write: the stand-ins', pkexec's, zenity's and an impostor's."""

    LOGS = (kd.STAND_IN_LOG, "pkexec.log", "pkexec-fd7.log", "zenity.log", "impostor.log")

    def __init__(self, work):
        self.work, self.bin = work, os.path.join(work, "bin")
        os.makedirs(os.path.join(work, "suid"))
        os.makedirs(self.bin)
        self.kit = self.new_kit(os.path.join(work, "kit"))
        for name in self.LOGS[1:]:
            self.new_log(os.path.join(work, name))
        # What root would run, were it to read the input of a process that took the launcher's pid.
        with open(os.path.join(work, "stdin"), "w") as stdin:
            stdin.write("id -u >>%s/impostor.log\n" % work)

    @staticmethod
    def new_log(path):
        open(path, "w").close()
        os.chmod(path, 0o666)

    def new_kit(self, kit):
        # Its log writable for any user, so that a tool wrongly started without rights would
        # still say so.
        new_kit(kit)
        self.new_log(os.path.join(kit, kd.STAND_IN_LOG))
        return kit

    def log(self, name):
        return _read(os.path.join(self.work, name))

    def write_pkexec(self, answer="grant", while_asking=""):
        text = PKEXEC.replace("WORK", self.work).replace("ANSWER", answer)
        write_program(os.path.join(self.bin, "pkexec"), text.replace("WHILE_ASKING", while_asking))

    def allow_by_polkit(self, program):
        """The site's one polkit rule: program may run as root without a password. Returns
        the pkexec option of run."""
        rules = os.path.join(self.work, "polkit-rules")
        os.makedirs(rules)
        with open(os.path.join(rules, "50-kit.rules"), "w") as f:
            f.write('polkit.addRule(function(action, subject) {\n'
                    '    if (action.id == "org.freedesktop.policykit.exec" &&\n'
                    '        action.lookup("program") == "%s")\n'
                    '        return polkit.Result.YES;\n});\n' % program)
        os.chmod(rules, 0o755)
        return rules

    def write_zenity(self):
        """A zenity that records who showed the notice, with what, and its descriptor 7."""
        write_program(os.path.join(self.bin, "zenity"), '#!/bin/sh\necho "uid=$(id -u) home=$HOME '
                      'xauthority=${XAUTHORITY-unset} fd7=$(readlink /proc/self/fd/7 || echo -)" '
                      '>>%s/zenity.log\n' % self.work)

    def run(self, command, pkexec=True, user=NOBODY, accounts="", sysfs="", **variables):
        """command as user (nobody unless given; accounts: a folder with the passwd and group
        files it is to see) with only those variables (HOME=/ unless given), pkexec hidden
        unless pkexec (the stand-in, or "real" after allow_by_polkit); standard input is the
        impostor's command."""
        variables = dict(dict(PATH="/usr/bin:/bin", HOME="/"), **variables)
        with open(os.path.join(self.work, "stdin")) as stdin:
            return start(["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                          "--mount-proc", "--", "sh", "-c", UNPRIVILEGED, "sh",
                          self.bin if pkexec is True else pkexec or "none",
                          os.path.join(self.work, "suid"),
                          "%d:%d" % user, accounts, sysfs, *command], stdin=stdin,
                         **variables).finish()

    def run_launcher(self, simulation, *prefix, kit=None, sysfs="", **options):
        """The kit's launcher, started through prefix, on a simulated machine (or on the sysfs
        tree sysfs: a set-user-id launcher ignores umockdev's preloaded library)."""
        simulated = [] if sysfs else umockdev(simulation, os.path.join(self.work, "devices"))
        return self.run(simulated + list(prefix) + [os.path.join(kit or self.kit, kd.LINUX_LAUNCHER)],
                        sysfs=sysfs, **options)

    def accounts(self, passwd, group):
        """A folder with copies of /etc/passwd and /etc/group, these lines added."""
        folder = os.path.join(self.work, "accounts")
        os.makedirs(folder, exist_ok=True)
        for name, lines in (("passwd", passwd), ("group", group)):
            shutil.copy("/etc/" + name, folder)
            with open(os.path.join(folder, name), "a") as f:
                f.writelines(line + "\n" for line in lines)
        return folder


def x_authority(path, owner, cookie, display=7):
    """An X authority file granting cookie (hex) for that display on any address, owned by
    owner, mode 600."""
    field = lambda data: len(data).to_bytes(2, "big") + data  # noqa: E731
    with open(path, "wb") as f:
        f.write(b"\xff\xff" + field(b"") + field(b"%d" % display) + field(b"MIT-MAGIC-COOKIE-1")
                + field(bytes.fromhex(cookie)))
    shutil.chown(path, owner)
    os.chmod(path, 0o600)
    return path


def matches(lines, pattern):
    """lines (a list) are one line matching the shell pattern, or none for None."""
    return len(lines) == (pattern is not None) and all(fnmatch.fnmatchcase(l, pattern) for l in lines)
