"""Running the real Windows launcher under Wine, and reading what it did.

A private prefix (with Wine's own HID devices left out) lists the HID interfaces that a test
writes to its registry, through Wine's real setupapi. A test kit folder on drive K: holds the
launcher and stand-in pairing tools that leave a marker when they start. What the launcher
did is read from three places: Wine's relay trace of the calls the launcher itself makes, the
debug channels that carry its trace lines, and the markers.

Also a command line for the test fixture: winekit.py prepare|shutdown.
"""

import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import kit_description  # noqa: E402
from kit_description import FAMILY_FOLDERS, HID_GUID, TOOL_FILE  # noqa: E402

HIDCLASS_GUID = "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"
BASE_OVERRIDES = "mscoree,mshtml=;winebus.sys=d"
# A hid.dll lies beside every test launcher; this makes Wine prefer it wherever it is searched.
PLANTED_OVERRIDE = "hid=n,b"
# Copies planted beside a launcher: hid.dll, libraries the shell or the message box may load
# by name at run time (none of them known to Windows as always coming from the system
# directory), the C runtime support library of a dynamically linked build, libraries Wine's
# own system libraries import, and the system libraries the launcher calls.
PLANTED_NAMES = ("hid.dll", "uxtheme.dll", "dwmapi.dll", "cryptbase.dll", "propsys.dll",
                 "winmm.dll", "libgcc_s_dw2-1.dll", "version.dll", "shcore.dll", "setupapi.dll",
                 "shell32.dll", "shlwapi.dll", "user32.dll")
# Wine prefers a copy of each wherever it is searched.
ALL_PLANTED_OVERRIDE = ",".join(n[:-len(".dll")] for n in PLANTED_NAMES) + "=n,b"

# Launcher file names of the module-path limit tests: they must be known to the relay filter.
def launcher_name(length):
    return "TamsuLauncher" + "L" * (length - len("TamsuLauncher.exe")) + ".exe"


LAUNCHER_NAMES = ["TamsuLauncher.exe", launcher_name(22), launcher_name(23)]

RELAYED = [
    "GetProcAddress", "SetDefaultDllDirectories", "SetDllDirectoryW", "GetModuleFileNameW",
    "LoadLibraryA", "LoadLibraryW", "LoadLibraryExA", "LoadLibraryExW", "FreeLibrary",
    "HidD_GetHidGuid", "SetupDiGetClassDevsW", "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailW", "SetupDiDestroyDeviceInfoList", "HeapAlloc",
    "RtlAllocateHeap", "HeapFree", "RtlFreeHeap", "Sleep", "GetSystemDefaultLangID",
    "ShellExecuteW", "MessageBoxW",
]


class Config:
    """Paths handed over by CTest, and the prefix's architecture: win32, or win64, where the
    32-bit launcher runs under WOW64 as on most users' machines."""

    def __init__(self):
        env = os.environ
        self.arch = env.get("TAMSU_WINEARCH", "win32")
        self.launcher = env["TAMSU_LAUNCHER"]
        self.stand_in = env["TAMSU_STAND_IN"]
        self.planted_library = env["TAMSU_PLANTED_LIBRARY"]
        self.failing_setupapi = env.get("TAMSU_FAILING_SETUPAPI", "")
        self.lacking_setupapi = env.get("TAMSU_LACKING_SETUPAPI", "")
        self.work = env["TAMSU_WINE_WORK"]
        self.unit_prefix = env.get("TAMSU_UNIT_PREFIX", "")
        self.artefacts = env.get("TAMSU_ARTEFACTS", "")
        self.prefix = os.path.join(self.work, "prefix")
        self.drive = os.path.join(self.work, "drive")  # drive K:
        self.unc = os.path.join(self.work, "unc")  # \\server\share\... under it

    @property
    def system_directory(self):
        """Where a native library for the 32-bit launcher goes: GetSystemDirectoryW's
        system32 is redirected to syswow64 in a win64 prefix."""
        windows = os.path.join(self.prefix, "drive_c", "windows")
        wow64 = os.path.join(windows, "syswow64")
        return wow64 if os.path.isdir(wow64) else os.path.join(windows, "system32")


def wine_env(config, language="en_US.UTF-8", display=None, overrides="",
             planted_order=PLANTED_OVERRIDE):
    """planted_order: the load order of planted names ("" is Wine's default order)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "WINE"))}
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    env.update(WINEPREFIX=config.prefix, WINEARCH=config.arch, WINEDEBUG="-all",
               WINEDLLOVERRIDES=";".join(x for x in (BASE_OVERRIDES, planted_order,
                                                    overrides) if x),
               LANG=language, LC_ALL=language)
    return env


def quiet(args, env, **kwargs):
    subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False, **kwargs)


def restart_server(config, display=None):
    """A warm, persistent wineserver for this prefix. Wine's background services start from a
    first program whose output leads nowhere, so they hold no caller's pipe open."""
    env = wine_env(config, display=display)
    stop_server(config.prefix)
    quiet(["wineserver", "-p"], env)
    quiet(["wine", "cmd.exe", "/c", "exit"], env)


def stop_server(prefix):
    if os.path.isdir(prefix):
        env = dict(os.environ, WINEPREFIX=prefix)
        quiet(["wineserver", "-k"], env)
        quiet(["wineserver", "-w"], env)


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def import_registry(config, lines, env=None):
    """Loads registry text (the lines of a version 5 .reg file) into the prefix."""
    path = os.path.join(config.work, "import.reg")
    with open(path, "w", encoding="utf-16") as f:
        f.write("\r\n".join(["Windows Registry Editor Version 5.00", ""] + lines + [""]))
    result = subprocess.run(["wine", "regedit", "/S", windows_path(path)],
                            env=env or wine_env(config), capture_output=True)
    if result.returncode != 0:
        raise RuntimeError("regedit failed: %r" % result.stderr[-500:])


def disable_for_launcher(config, libraries):
    """Disables these system libraries for TamsuLauncher.exe alone, as Wine's per-program
    library overrides do; with none, lifts that again."""
    key = r"HKEY_CURRENT_USER\Software\Wine\AppDefaults" + "\\" + LAUNCHER_NAMES[0]
    lines = ["[-%s]" % key]
    if libraries:
        lines += ["", "[%s\\DllOverrides]" % key] + ['"%s"=""' % n for n in libraries]
    import_registry(config, lines)


def reg_string(value):
    """A string value of a .reg file."""
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


def multi_string(*values):
    data = "".join(v + "\0" for v in values) + "\0"
    return "hex(7):" + ",".join("%02x" % b for b in data.encode("utf-16-le"))


def prepare(config):
    """A fresh prefix with no HID device of Wine's own, the relay filter, CJK fonts for the
    notices, and drive K: for the test kits."""
    # Wine takes the system language from the locale; a missing one silently means English.
    have = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    for name in ("zh_CN.utf8", "en_US.utf8"):
        if name not in have:
            raise SystemExit("locale %s is missing (scripts/test-windows.sh makes it)" % name)
    stop_server(config.prefix)
    shutil.rmtree(config.work, ignore_errors=True)
    os.makedirs(config.prefix)
    os.makedirs(config.drive)
    env = wine_env(config)
    quiet(["wineboot", "-i"], env)
    quiet(["wineserver", "-w"], env)
    os.symlink(config.drive, os.path.join(config.prefix, "dosdevices", "k:"))
    os.makedirs(config.unc)
    os.symlink(config.unc, os.path.join(config.prefix, "dosdevices", "unc"))
    restart_server(config)
    lines = [r"[HKEY_CURRENT_USER\Software\Wine\Debug]",
             '"RelayInclude"=' + reg_string(";".join(RELAYED)),
             # Only the launcher's own calls, whatever the system libraries do inside.
             '"RelayFromExclude"=-',
             '"RelayFromInclude"=' + reg_string(";".join(LAUNCHER_NAMES)),
             "",
             r"[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink"
             r"\SystemLink]"]
    for face in ("Tahoma", "Microsoft Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2"):
        lines.append('"%s"=%s' % (face, multi_string("wqy-microhei.ttc,WenQuanYi Micro Hei")))
    lines += ["", r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]",
              '"SimSun"="WenQuanYi Micro Hei"', '"Microsoft YaHei"="WenQuanYi Micro Hei"',
              # Without a window manager Wine then draws the caption itself.
              "", r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"']
    import_registry(config, lines)


# --- Fake HID interfaces -------------------------------------------------------------------

class Interface:
    """One HID interface as Wine's setupapi will report it."""

    def __init__(self, hardware, instance="7&1a2b3c4d&0&0000", refstr=""):
        self.hardware = hardware  # e.g. VID_7C2F&PID_2003&MI_00
        self.instance = instance
        self.refstr = refstr

    @property
    def instance_id(self):
        return "HID\\%s\\%s" % (self.hardware, self.instance)

    @property
    def path(self):
        path = "\\\\?\\" + self.instance_id.replace("\\", "#") + "#" + HID_GUID
        if self.refstr:
            path += "\\" + self.refstr
        return path.lower()


def set_interfaces(config, interfaces, env=None):
    """Replaces every HID interface of the prefix with these, all present."""
    classes = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses" + "\\" + HID_GUID
    enum = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\HID"
    lines = ["[-%s]" % classes, "[-%s]" % enum, ""]
    for interface in interfaces:
        key = classes + "\\##?#" + interface.instance_id.replace("\\", "#") + "#" + HID_GUID
        lines += ["[%s\\%s]" % (enum, interface.hardware + "\\" + interface.instance),
                  '"ClassGUID"=' + reg_string(HIDCLASS_GUID), "",
                  "[%s]" % key, '"DeviceInstance"=' + reg_string(interface.instance_id), "",
                  "[%s\\#%s\\Control]" % (key, interface.refstr), '"Linked"=dword:00000001', ""]
    import_registry(config, lines, env)


# --- Test kits -----------------------------------------------------------------------------

class Kit:
    """A kit folder under drive K: (or under a root given as (Unix folder, Windows path)) with
    the launcher, a planted hid.dll and the four stand-in tools."""

    def __init__(self, config, relative, launcher_file="TamsuLauncher.exe", root=None):
        self.config = config
        self.relative = relative  # Windows-style, below the root (may be empty)
        self.root = root or (config.drive, "K:\\")
        self.directory = os.path.join(self.root[0], *[p for p in relative.split("\\") if p])
        self.launcher_file = launcher_file
        os.makedirs(self.directory, exist_ok=True)
        shutil.copy(config.launcher, os.path.join(self.directory, launcher_file))
        self.plant(["hid.dll"])
        for folder in FAMILY_FOLDERS:
            os.makedirs(os.path.join(self.directory, folder), exist_ok=True)
            shutil.copy(config.stand_in, os.path.join(self.directory, folder, TOOL_FILE))

    def plant(self, names):
        for name in names:
            shutil.copy(self.config.planted_library, os.path.join(self.directory, name))

    @property
    def base(self):
        return self.root[1] + (self.relative + "\\" if self.relative else "")

    @property
    def launcher(self):
        return self.base + self.launcher_file

    def tool(self, folder):
        return self.base + folder + "\\" + TOOL_FILE

    def marker(self, folder):
        return os.path.join(self.directory, folder, TOOL_FILE + ".started")

    def planted_loaded(self):
        """The planted libraries that were loaded."""
        return sorted(n[:-len(".loaded")] for n in os.listdir(self.directory)
                      if n.endswith(".loaded"))

    def clear_markers(self):
        for path in [self.marker(f) for f in FAMILY_FOLDERS]:
            if os.path.exists(path):
                os.remove(path)
        for name in self.planted_loaded():
            os.remove(os.path.join(self.directory, name + ".loaded"))

    def started(self, wait_for=None, timeout=60.0):
        """Folders whose tool left its marker; waits for wait_for's to appear."""
        if wait_for:
            kit_description.wait_for(lambda: os.path.exists(self.marker(wait_for)), timeout, 0.05)
        return [f for f in FAMILY_FOLDERS if os.path.exists(self.marker(f))]

    def marker_record(self, folder):
        """The started tool's command line and working directory."""
        with open(self.marker(folder), encoding="utf-8") as f:
            return f.read().split("\n")[:2]


# --- Reading a run -------------------------------------------------------------------------

class CutText(str):
    """A string argument that Wine's trace cut short: only its beginning is known."""


def utf16_length(text):
    """The length of a text as Windows counts it."""
    return len(text.encode("utf-16-le")) // 2


def unescape(text, cut=False):
    """Undoes Wine's debugstr escaping: \\n, \\r, \\t, \\\\, \\", \\xHH and \\HHHH (one
    UTF-16 unit; a pair of them is one character). A cut text may end in half a pair, which is
    dropped, and comes back as a CutText."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n in 'nrt\\"':
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
            i += 2
        elif n == "x":
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        else:
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
    if cut and out and "\ud800" <= out[-1] <= "\udbff":
        out.pop()
    text = "".join(out).encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    return CutText(text) if cut else text


CALL = re.compile(r"^[0-9a-f]{4}:Call (?:[\w.]+\.)?(\w+)\((.*)\) ret=[0-9a-f]{8}$")
RET = re.compile(r"^[0-9a-f]{4}:Ret  (?:[\w.]+\.)?(\w+)\(\) retval=([0-9a-f]{8}) ret=[0-9a-f]{8}$")
TRACE = re.compile(r'^[0-9a-f]{4}:warn:(debugstr|seh):OutputDebugStringA "(.*)"$')
LOADED = re.compile(r'^[0-9a-f]{4}:trace:loaddll:\w+ Loaded L"(.*)"(\.\.\.)? at [0-9A-F]{8}: \w+$')
# A value, then the string it points to, wide (L"...") or ANSI ("..."); Wine cuts a long one
# short and marks it with "..." after the closing quote.
ARG = re.compile(r'([0-9a-f]{8})(?: L?"((?:[^"\\]|\\.)*)"(\.\.\.)?)?(?:,|$)')


def parse_args(text):
    args, pos = [], 0
    while pos < len(text):
        match = ARG.match(text, pos)
        if not match:
            raise ValueError("cannot read relay arguments: " + text)
        string = match.group(2)
        if string is None:
            args.append(int(match.group(1), 16))
        else:
            args.append(unescape(string, cut=bool(match.group(3))))
        pos = match.end()
    return args


# kernel32 forwards these to ntdll; the trace shows the name they arrive under.
ALIASES = {"RtlAllocateHeap": "HeapAlloc", "RtlFreeHeap": "HeapFree"}


class Call:
    def __init__(self, name, args):
        self.name, self.args, self.result = ALIASES.get(name, name), args, None

    def __repr__(self):
        return "%s%r=%r" % (self.name, tuple(self.args), self.result)


class Run:
    """What one launcher run left behind."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.calls, self.traces, self.loaded = [], [], []
        open_calls = []
        for line in stderr.splitlines():
            if m := CALL.match(line):
                call = Call(m.group(1), parse_args(m.group(2)))
                self.calls.append(call)
                open_calls.append(call)
            elif m := RET.match(line):
                name = ALIASES.get(m.group(1), m.group(1))
                call = next(c for c in reversed(open_calls) if c.name == name)
                call.result = int(m.group(2), 16)
                open_calls.remove(call)
            elif m := TRACE.match(line):
                self.traces.append(unescape(m.group(2)))
            elif m := LOADED.match(line):
                self.loaded.append(unescape(m.group(1), cut=bool(m.group(2))))

    def named(self, *names):
        return [c for c in self.calls if c.name in names]


def run_launcher(config, kit, language="en_US.UTF-8", overrides="", display=None,
                 during=None, timeout=120, planted_order=PLANTED_OVERRIDE):
    """Runs the kit's launcher to its end. during(stderr_path) runs while it is running."""
    env = wine_env(config, language, display, overrides, planted_order)
    env["WINEDEBUG"] = "-all,+relay,+debugstr,warn+seh,+loaddll"
    kit.clear_markers()
    err_path = os.path.join(config.work, "run.stderr")
    out_path = os.path.join(config.work, "run.stdout")
    with open(err_path, "wb") as err, open(out_path, "wb") as out:
        # Debian's wine starts a 32-bit program with the 32-bit loader in either prefix, as
        # CreateProcess does on Windows. wine64 would hand it to start.exe, which cannot open a
        # path of 260 characters, so the module-path limit could not be tested under WOW64.
        process = subprocess.Popen(["wine", kit.launcher], env=env, cwd=config.work,
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            if during:
                during(err_path)
            process.wait(timeout=timeout)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    with open(err_path, encoding="utf-8", errors="replace") as f:
        stderr = f.read()
    with open(out_path, "rb") as f:
        stdout = f.read()
    return Run(process.returncode, stdout, stderr)


def main():
    config = Config()
    if sys.argv[1:] == ["prepare"]:
        prepare(config)
    elif sys.argv[1:] == ["shutdown"]:
        stop_server(config.prefix)
        if config.unit_prefix:
            stop_server(config.unit_prefix)
    else:
        sys.exit("usage: winekit.py prepare|shutdown")


if __name__ == "__main__":
    main()
