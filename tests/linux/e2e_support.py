"""Running the real native launcher under umockdev in a kit with stand-in tools, and reading
what it did: its trace, its other lines and the stand-ins' log. CTest hands over the launcher
(TAMSU_LAUNCHER) and the folder for photographs (TAMSU_ARTEFACTS)."""

import os
import re
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


class Run:
    """One finished run: exit code, standard output and error (text), seconds taken."""

    def __init__(self, returncode, stdout, stderr, seconds):
        self.returncode, self.stdout, self.stderr, self.seconds = returncode, stdout, stderr, seconds
        lines = stderr.split("\n")[:-1]
        self.finds = [line[len("find: "):] for line in lines if line.startswith("find: ")]
        self.summaries = [line for line in lines if line.startswith("Pair: ")]
        # The decision's line ends in "\r\n", as the Windows launcher writes it.
        self.nflags = [line[:-1] for line in lines if re.fullmatch(r"nFlag: \d+\r", line)]
        self.other_lines = [line for line in lines if not line.startswith(("find: ", "Pair: "))
                            and line[:-1] not in self.nflags]

    def hardware(self):
        """The hardware part (and a keyboard's \\kbd) of each traced path."""
        return [kd.linux_hardware_of(path) for path in self.finds]


class Running:
    """A launcher run going on in the background; finish() waits for it."""

    def __init__(self, command, env, **popen):
        self.files = [tempfile.TemporaryFile() for _ in range(2)]
        self.start = time.monotonic()
        # Its own process group, so a hung run can be ended with everything it started.
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
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


def start_launcher(kit, simulation, launcher=None, popen=None, **variables):
    """Starts the kit's launcher (or launcher) headless under umockdev-run on a simulated machine
    (kit_description.SIMULATIONS, or "empty": no HID device at all), with a plain PATH and only
    the given variables. popen goes to subprocess.Popen: Python resets SIGPIPE to its default
    and closes descriptors above 2 in the child unless told otherwise (restore_signals=False,
    close_fds=False, pass_fds=...), so a case that hands the launcher a hostile state says so."""
    command = ["umockdev-run"]
    for description in kd.simulation_devices(simulation):
        command += ["-d", description]
    # umockdev-run takes its arguments as text in the locale's encoding; a kit path that is not
    # UTF-8 reaches the launcher through the environment instead.
    command += ["--", "/bin/sh", "-c", 'exec "$TAMSU_LAUNCHER"']
    env = dict(PATH=PLAIN_PATH, ASAN_OPTIONS="verify_asan_link_order=0",
               TAMSU_LAUNCHER=launcher or os.path.join(kit, kd.LINUX_LAUNCHER), **variables)
    return Running(command, env, **(popen or {}))


def run_launcher(kit, simulation, **kwargs):
    """start_launcher's run, to its end."""
    return start_launcher(kit, simulation, **kwargs).finish()


def started_tools(kit, seconds=60):
    """The stand-ins' log as soon as a line is there. A tool on a busy machine may take long to
    start, so the wait only bounds a hang; a short one shows that nothing started (the launcher
    has exited by then, so a tool it started is already running)."""
    log = os.path.join(kit, kd.STAND_IN_LOG)
    deadline = time.monotonic() + seconds
    while not _read(log) and time.monotonic() < deadline:
        time.sleep(0.1)
    return _read(log)


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
