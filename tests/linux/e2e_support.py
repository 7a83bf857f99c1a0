"""Running the real native launcher under umockdev in a kit with stand-in tools, and reading
what it did: its trace, its other lines and the stand-ins' log. CTest hands over the launcher
(TAMSU_LAUNCHER) and the folder for photographs (TAMSU_ARTEFACTS)."""

import fcntl
import fnmatch
import os
import re
import shutil
import signal
import stat
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


def start(command, stdin=subprocess.DEVNULL, cwd=None, **variables):
    """Starts command with a plain PATH and only the given variables. Python resets SIGPIPE to
    its default and closes descriptors above 2 in the child, so a hostile state is set up by a
    program between it and the launcher (HOSTILE_PARENTS), and checked by a probe in its place."""
    env = dict(PATH=PLAIN_PATH, ASAN_OPTIONS="verify_asan_link_order=0")
    env.update(variables)
    return Running(command, env, stdin=stdin, cwd=cwd)


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


def expect_started(kit, family, uid=0):
    """Exactly that family's tool started once, with no arguments, in a session of its own,
    as that user (root unless given)."""
    line = started_tools(kit)
    match = re.fullmatch(r"%s args=0 session=(\d+) pid=(\d+) uid=%d\n" % (family, uid), line)
    assert match, "expected the %s tool to start once without arguments, got %r" % (family, line)
    assert match.group(1) == match.group(2), "the tool's session"


def expect_nothing_started(kit):
    assert started_tools(kit, 2) == "", "started tools"


# --- Hostile parents, probes, and private namespaces for a caller who is not root -----------

# Programs that start the launcher (their arguments) as a hostile parent would: with standard
# output and error on a pipe whose reader has gone, with descriptors 0-2 closed, with every
# signal ignored and blocked, with descriptor 7 open, with umask 077 and soft limits of 4
# descriptors, a 32 KiB stack and no file size (after closing what the harness left open: with
# that the loader could not open libc), or with soft limits above the usual ones.
HOSTILE_PARENTS = {
    "broken-pipes": 'fifo=$(mktemp -u "$0.XXXXXX") && mkfifo "$fifo" || exit 92\n'
                    'exec 3<>"$fifo" 4>"$fifo"\nrm "$fifo"\nexec "$@" 3<&- >&4 2>&4 4>&-',
    "closed-descriptors": 'exec "$@" <&- >&- 2>&-',
    "hostile-signals": 'exec env --ignore-signal --block-signal "$@"',
    "open-descriptors": 'exec "$@" 7<"$0"',
    "tight-limits": 'for fd in /proc/$$/fd/*; do\n    fd=${fd##*/}\n'
                    '    [ "$fd" -le 2 ] || eval "exec $fd>&-"\ndone\numask 077\n'
                    'exec prlimit --nofile=4: --stack=32768: --fsize=0: -- "$@"',
    "roomy-limits": 'exec prlimit --nofile=4096:8192 --stack=16777216: -- "$@"',
}


def write_program(path, text):
    with open(path, "w", encoding="utf-8") as program:
        program.write(text)
    os.chmod(path, 0o755)
    return path


def hostile_parent(work, name):
    return write_program(os.path.join(work, name), "#!/bin/bash\n" + HOSTILE_PARENTS[name] + "\n")


# Leaves in its folder links to its working folder and descriptors 0-2, its /proc limits, status
# and environment, and a line "start" with its user and descriptors 3 and 7 (first lifting a
# file-size limit a parent left it, which would stop the report). bash's exec keeps the signal
# state it was given (dash clears the mask), and with -p the ids (it would give up effective ones
# that differ from the real ones); cp opens nothing before it has read the links.
PROBE = r"""#!/bin/bash -p
ulimit -S -f unlimited
echo "uid=$(id -u) fd3=$(readlink /proc/self/fd/3 || echo -) fd7=$(readlink /proc/self/fd/7 || echo -)" >FOLDER/start
exec cp -P /proc/self/cwd /proc/self/fd/0 /proc/self/fd/1 /proc/self/fd/2 /proc/self/environ /proc/self/limits /proc/self/status FOLDER/
"""


def write_probe(program, folder):
    os.makedirs(folder, mode=0o777, exist_ok=True)
    os.chmod(folder, 0o777)
    return write_program(program, PROBE.replace("FOLDER", folder))


def probe_report(folder, seconds=60):
    """What a probe left: its descriptors 0-2 ("-" when closed), its blocked and ignored
    signals, its start line, its soft and hard limits of stack and descriptors
    ("16777216:unlimited 4096:8192"); None when it left nothing within seconds (the status file's
    last line marks it whole)."""
    status = os.path.join(folder, "status")
    if not kd.wait_for(lambda: "nonvoluntary_ctxt_switches:" in _read(status), seconds):
        return None
    links = [os.path.join(folder, name) for name in "012"]
    return (" ".join(os.readlink(p) if os.path.islink(p) else "-" for p in links),
            "".join(line.replace("\t", "") + " " for line in _read(status).splitlines()
                    if line.startswith(("SigBlk:", "SigIgn:"))),
            _read(os.path.join(folder, "start")).rstrip("\n"),
            " ".join(":".join(line.split()[-3:-1]) for line in _read(os.path.join(
                folder, "limits")).splitlines() if line.startswith(("Max open", "Max stack"))))


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


# Runs its command as user $2 (uid:gid) in private mount and pid namespaces where the programs of
# $1 lie over /usr/bin, the sysfs tree $3 (when given) over /sys, the folder $4 (when given)
# over /dev, with /dev/null bound into it, and an overlay with the options $5 (when given) on the
# folder $6; the folders etc and lib of $7 lie over udev's rules folders.
UNPRIVILEGED = """mount -t overlay overlay -o "lowerdir=$1:/usr/bin" /usr/bin || exit 90
[ -z "$3" ] || mount --bind "$3" /sys || exit 90
if [ -n "$4" ]; then
    touch "$4/null" && mount --bind /dev/null "$4/null" && mount --rbind "$4" /dev || exit 90
fi
[ -z "$5" ] || mount -t overlay overlay -o "$5" "$6" || exit 90
mount --bind "$7/etc" /etc/udev/rules.d && mount --bind "$7/lib" /usr/lib/udev/rules.d || exit 90
user=$2
shift 7
setpriv --reuid="${user%:*}" --regid="${user#*:}" --clear-groups -- "$@"
status=$?
# This is the namespace's init: what outlived the command (a tool) ends with it, so it waits
# for them first.
deadline=$(($(date +%s) + 60))
while set -- /proc/[0-9]* && [ $# -gt 1 ] && [ "$(date +%s)" -lt "$deadline" ]; do
    sleep 0.1
done
exit "$status"
"""

NOBODY = (65534, 65534)


def device_rule():
    """The launcher's own udev rule, as --device-rule prints it."""
    return subprocess.run([LAUNCHER, "--device-rule"],
                          capture_output=True, text=True, check=True).stdout


class Caller:
    """A user who is not root, with a kit in work/kit that carries the launcher's rule, a bin
    folder over /usr/bin with a pkexec and a zenity that record who ran them, empty udev rules
    folders (udev/etc, udev/lib) and logs anyone may write."""

    LOGS = (kd.STAND_IN_LOG, "pkexec.log", "zenity.log")

    def __init__(self, work):
        self.work, self.bin = work, os.path.join(work, "bin")
        self.udev = os.path.join(work, "udev")
        for folder in (self.bin, self.udev + "/etc", self.udev + "/lib"):
            os.makedirs(folder)
        # The folders bound over must exist: the package udev brings them.
        for folder in ("/etc/udev/rules.d", "/usr/lib/udev/rules.d"):
            assert os.path.isdir(folder), "no %s to bind over: install the package udev" % folder
        self.kit = self.new_kit(os.path.join(work, "kit"))
        for name in self.LOGS[1:]:
            self.new_log(os.path.join(work, name))
        write_program(os.path.join(self.bin, "pkexec"),
                      '#!/bin/sh\necho "$*" >>%s/pkexec.log\nexit 127\n' % work)
        # Who showed the notice, and its text (printf: dash's echo would act on its backslashes).
        # A progress box lasts as long as its input: "closed" once that has ended.
        write_program(os.path.join(self.bin, "zenity"), '#!/bin/sh\nprintf "uid=%%s %%s\\n" '
                      '"$(id -u)" "$*" '
                      '>>%s/zenity.log\n[ "$1" != --progress ] || { cat >/dev/null; '
                      'echo "uid=$(id -u) closed" >>%s/zenity.log; }\n' % (work, work))

    @staticmethod
    def new_log(path):
        open(path, "w").close()
        os.chmod(path, 0o666)

    def new_kit(self, kit):
        # Its log writable for any user, so that a tool started as the caller can say so.
        new_kit(kit)
        self.new_log(os.path.join(kit, kd.STAND_IN_LOG))
        with open(os.path.join(kit, kd.DEVICE_RULE_FILE), "w") as rule:
            rule.write(device_rule())
        return kit

    def log(self, name):
        return _read(os.path.join(self.work, name))

    def start_launcher(self, sysfs, dev, *prefix, user=NOBODY, cwd=None, overlay=("", ""),
                       arguments=(), **variables):
        """The kit's launcher, started through prefix with arguments, as user (nobody unless
        given) with only those variables (HOME=/ unless given), on the sysfs tree sysfs with the
        /dev folder dev, and an overlay (options, folder) when given."""
        variables = dict(dict(PATH="/usr/bin:/bin", HOME="/"), **variables)
        return start(["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                      "--mount-proc", "--", "sh", "-c", UNPRIVILEGED, "sh", self.bin,
                      "%d:%d" % user, sysfs, dev, *overlay, self.udev, *prefix,
                      os.path.join(self.kit, kd.LINUX_LAUNCHER), *arguments], cwd=cwd,
                     **variables)

    def run_launcher(self, *args, **kwargs):
        """start_launcher's run, to its end."""
        return self.start_launcher(*args, **kwargs).finish()

    def own_folder(self, *parts):
        """A folder under work that the caller owns, and each folder on the way to it."""
        path = self.work
        for part in parts:
            path = os.path.join(path, part)
            os.makedirs(path, mode=0o700, exist_ok=True)
            os.chown(path, *NOBODY)
        return path

    def record_wine(self, real=True, failing="exit 1"):
        """wine and wineserver over Debian's, which record in wine.log who ran them, whether as
        a session's leader, in which folder and prefixes, with what arguments, and then run the
        real ones, or fail (as the shell command failing says)."""
        self.new_log(os.path.join(self.work, "wine.log"))
        for name in ("wine", "wineserver"):
            run = "exec " + " ".join(debian_wine() if name == "wine" else [
                os.path.realpath(os.path.join("/usr/bin", name))]) + ' "$@"'
            write_program(os.path.join(self.bin, name),
                          WINE_RECORDER % (name, self.work, run if real else failing))

    def unrunnable(self, *names):
        """Programs of those names over Debian's that cannot be run: their interpreter is
        missing."""
        for name in names:
            write_program(os.path.join(self.bin, name), "#!/nonexistent/interpreter\n")

    def hide(self, name):
        """No program of that name in /usr/bin (a whiteout in the overlay over it)."""
        os.mknod(os.path.join(self.bin, name), 0o600 | stat.S_IFCHR, os.makedev(0, 0))


def debian_wine():
    """Debian's wine as this machine runs it: its script, which picks the 32-bit loader once
    wine32 is installed; where that loader cannot start, the 64-bit one, as the script picks it
    without wine32."""
    if kd.wine_32_bit_loader_runs():
        return [os.path.realpath("/usr/bin/wine")]
    return ["env", "WINELOADER=/usr/lib/wine/wine64", "/usr/lib/wine/wine64"]


WINE_RECORDER = """#!/bin/sh
[ "$(cut -d' ' -f6 /proc/$$/stat)" = $$ ] && leader=yes || leader=no
# Every WINEPREFIX and WINEDLLOVERRIDES entry it was given: Wine takes the first.
prefix=$(for name in WINEPREFIX WINEDLLOVERRIDES; do grep -az "^$name=" /proc/$$/environ; done |
    tr '\\0' ' ')
echo "uid=$(id -u) leader=$leader cwd=$(readlink /proc/$$/cwd) HOME=$HOME ${prefix}: %s $*" >>%s/wine.log
%s
"""

# A bare Wine prefix (Wine's own first start, nothing of the kit's in it), owned by the test user
# as Wine wants of a prefix; the Windows-tool cases lay it under their user's kit prefix. Made
# once for all build trees of the checkout, as creating a prefix takes Wine 10-60 s.
WINE_TEMPLATE = os.environ.get("TAMSU_WINE_TEMPLATE", "")
WINE_STAND_IN = os.environ.get("TAMSU_WINE_STAND_IN", "")


def wine_template():
    """The template prefix, made first when there is none (one maker at a time)."""
    made = WINE_TEMPLATE + ".made"
    with open(WINE_TEMPLATE + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(made):
            shutil.rmtree(WINE_TEMPLATE, ignore_errors=True)
            staging = tempfile.mkdtemp(prefix="tamsu-wine.")
            try:
                os.chown(staging, *NOBODY)
                prefix = os.path.join(staging, "prefix")
                as_nobody = ["setpriv", "--reuid=%d" % NOBODY[0], "--regid=%d" % NOBODY[1],
                             "--clear-groups", "env", "-i", "PATH=" + PLAIN_PATH, "HOME=" + staging,
                             "WINEPREFIX=" + prefix, "WINEDEBUG=-all",
                             "WINEDLLOVERRIDES=mscoree,mshtml="]
                subprocess.run(as_nobody + debian_wine() + ["wineboot", "--init"], check=True,
                               stdin=subprocess.DEVNULL, timeout=300)
                subprocess.run(as_nobody + ["wineserver", "-w"], check=True, timeout=60)
                shutil.move(prefix, WINE_TEMPLATE)
                # A move from a /tmp of another file system (a tmpfs) copies: the copy is root's,
                # and Wine refuses a prefix that is not its user's.
                for top, names, files in os.walk(WINE_TEMPLATE):
                    for name in [top] + [os.path.join(top, n) for n in names + files]:
                        os.lchown(name, *NOBODY)
            finally:
                shutil.rmtree(staging, ignore_errors=True)
            open(made, "w").close()
    return WINE_TEMPLATE


def kit_prefix_overlay(caller, data_home):
    """(overlay options, folder) that lay the template prefix as the kit's prefix of the caller
    whose data home is that folder under work (a list of its parts), with its changes kept in
    work/prefix-changes."""
    prefix = caller.own_folder(*data_home, "tamsu-pair-kit", "wine")
    changes = caller.own_folder("prefix-changes")
    scratch = os.path.join(caller.work, "prefix-scratch")
    os.makedirs(scratch)
    return "lowerdir=%s,upperdir=%s,workdir=%s" % (wine_template(), changes, scratch), prefix


def matches(lines, pattern):
    """lines (a list) are one line matching the shell pattern, or none for None."""
    return len(lines) == (pattern is not None) and all(fnmatch.fnmatchcase(l, pattern) for l in lines)
