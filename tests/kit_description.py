"""What every test harness knows of the pairing kit, said once: the families and their folders,
the tool's file name, the version, the notices, the summary line and the shape of an interface
path; with the kits and simulated machines of the native launcher, simulated receivers by the
thousand, and notice boxes on a private X display. The Wine harness, the Linux end-to-end tests,
the benchmarks and the kernel stage all read it from here; scripts/run.sh through its command line
(main below). The folders, the tool's name and the version are read
from CMakeLists.txt, where the build takes them.
"""

import errno
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _cmake_set(name):
    """The words of `set(NAME ...)` or the version of project() in CMakeLists.txt, where the
    build reads them too."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        text = cmake.read()
    if name == "VERSION":
        return re.search(r"^project\(\w+ VERSION ([0-9.]+)", text, re.M).group(1)
    return re.search(r"^set\(%s ([^)]*)\)" % name, text, re.M).group(1).split()


# Family, kit folder, in the launcher's tool-table order.
FAMILIES = tuple(zip(_cmake_set("TAMSU_KIT_FAMILIES"), _cmake_set("TAMSU_KIT_FOLDERS")))
FOLDER_OF = dict(FAMILIES)
FAMILY_FOLDERS = tuple(folder for _, folder in FAMILIES)
TOOL_FILE = _cmake_set("TAMSU_TOOL_FILE")[0]
VERSION = _cmake_set("VERSION")  # "1.5.0"
LINUX_LAUNCHER = "tamsu-launcher"

# (kind, language) -> (caption, text); kind is "none" or "many", language "zh" or "en".
NOTICES = {
    ("many", "zh"): ("\u63d0\u793a", "      \u68c0\u6d4b\u5230\u591a\u4e2a\u5766\u82cf\u63a5"
                     "\u6536\u5668\uff0c\u8bf7\u53ea\u4fdd\u7559\u4e00\u4e2a\u5766\u82cf"
                     "\u63a5\u6536\u5668      "),
    ("none", "zh"): ("\u63d0\u793a", "      \u672a\u68c0\u6d4b\u5230\u5766\u82cf\u65e0\u7ebf"
                     "\u8bbe\u5907\uff01      "),
    ("many", "en"): ("Tips", "      Find more than one tamsu device, Please keep only one "
                     "device.      "),
    ("none", "en"): ("Tips", "      No Tamsu Wireless Device detected!      "),
}
# The Linux launcher's notices when the caller may not open the receiver: (kind, language) ->
# (caption, text). "install": the kit's rules file is the launcher's own; "write": it is not
# (%(rules)s); "seat": the launcher's rule is installed. %(node)s is the node refused.
_CANNOT = {"zh": "配对工具无法打开坦苏接收器 %(node)s", "en": "The pairing tool cannot open the Tamsu "
           "receiver %(node)s"}
_NO_RIGHTS = {"zh": _CANNOT["zh"] + "：当前用户没有读写它的权限。",
              "en": _CANNOT["en"] + ": this user may not read and write it."}
_AGAIN = {"zh": "\n\n%(commands)s\n\n然后重新插入接收器。",
          "en": "\n\n%(commands)s\n\nThen plug the receiver in again."}
ACCESS_NOTICES = {
    ("install", "zh"): ("提示", _NO_RIGHTS["zh"] + "\n\n请管理员以 root 身份运行一次：" + _AGAIN["zh"]),
    ("write", "zh"): ("提示", _NO_RIGHTS["zh"] + "套件中的规则文件 %(rules)s 不是启动器自己的规则，因此不安装"
                      "它。\n\n请管理员以 root 身份运行一次以下命令，安装启动器自己的规则：" + _AGAIN["zh"]),
    ("seat", "zh"): ("提示", _CANNOT["zh"] + "，尽管启动器的 udev 规则已经安装：该规则只把接收器开放给在这台"
                     "电脑本机屏幕前登录的用户。\n\n请在这台电脑本机登录（不要通过 ssh 登录，也不要在其他用户"
                     "正在使用它的屏幕时登录），或者重新插入接收器。"),
    ("install", "en"): ("Tips", _NO_RIGHTS["en"] + "\n\nAn administrator runs once, as root:"
                        + _AGAIN["en"]),
    ("write", "en"): ("Tips", _NO_RIGHTS["en"] + " The kit's rules file %(rules)s is not the "
                      "launcher's own, so it is not to be installed.\n\nAn administrator runs "
                      "once, as root, to install the launcher's own rule:" + _AGAIN["en"]),
    ("seat", "en"): ("Tips", _CANNOT["en"] + ", although the launcher's udev rule is installed: "
                     "the rule opens it only to the user signed in at this computer's own screen.\n\n"
                     "Sign in at the computer itself (not over ssh, and not while another user is "
                     "signed in at its screen), or plug the receiver in again."),
}
# Its notice when the tool is a Windows program and no Wine is found: language -> (caption, text).
WINE_NOTICES = {
    "zh": ("\u63d0\u793a", "\u6b64\u63a5\u6536\u5668\u7684\u914d\u5bf9\u5de5\u5177\u662f Windows "
           "\u7a0b\u5e8f\uff0c\u5728 Linux \u4e0a\u9700\u8981 Wine \u624d\u80fd\u8fd0\u884c\uff0c"
           "\u4f46\u6ca1\u6709\u627e\u5230 Wine\u3002\n\n\u8bf7\u7ba1\u7406\u5458\u5b89\u88c5 wine "
           "\u8f6f\u4ef6\u5305\uff0c\u7136\u540e\u91cd\u65b0\u8fd0\u884c\u3002"),
    "en": ("Tips", "The pairing tool for this receiver is a Windows program, which Linux runs with "
           "Wine, and Wine was not found.\n\nAn administrator installs the package wine; then run "
           "the launcher again."),
    # A 32-bit tool, and a Wine of 64-bit programs alone.
    "en32": ("Tips", "The pairing tool for this receiver is a 32-bit Windows program, and the Wine "
             "installed runs 64-bit programs alone.\n\nAn administrator installs the 32-bit part of "
             "Wine (on Debian and Ubuntu, as root: dpkg --add-architecture i386 && apt-get update "
             "&& apt-get install wine32:i386); then run the launcher again."),
}
# No Wine but one that another user could have put on PATH, in the folder %s.
WINE_NOTICES["en-refused"] = ("Tips", WINE_NOTICES["en"][1].replace(" found.", " found (the wine in "
                              "%s is not used: another user may have put it there)."))
# The progress shown while the kit's Wine prefix is prepared: language -> (caption, text).
PREPARING = {
    "zh": ("\u63d0\u793a", "正在为首次启动准备配对工具的 Wine 环境，请稍候……"),
    "en": ("Tips", "Preparing Wine for the pairing tool's first start; this takes a while..."),
}
DEVICE_RULE_FILE = "70-tamsu-receivers.rules"
# The notices' commands in udev's rules folder: a copy of the kit's file (%(word)s, a shell word)
# installed once sha256sum finds the SHA-256 of the launcher's own text (%(rule)s), or that text
# written there; then udev's rules reloaded and applied.
_RENAMED = "chmod 0644 tamsu-receivers.new && mv tamsu-receivers.new %s\n" % DEVICE_RULE_FILE
_RELOAD = "udevadm control --reload\nudevadm trigger --action=change --subsystem-match=hidraw"
ACCESS_COMMANDS = {
    "install": "cd /etc/udev/rules.d && rm -f tamsu-receivers.new &&\n(umask 077 && dd if=%(word)s "
               "of=tamsu-receivers.new bs=65536 count=1 iflag=nonblock status=none) &&\n"
               "echo '%(sha)s  tamsu-receivers.new' | sha256sum -c &&\n" + _RENAMED + _RELOAD,
    "write": "cd /etc/udev/rules.d && cat >tamsu-receivers.new <<'EOF' &&\n%(rule)sEOF\n" + _RENAMED
             + _RELOAD,
    "seat": "",
}


def access_notice(kind, language, rule, **fields):
    """(caption, text) of an access notice, rule the launcher's own text."""
    caption, text = ACCESS_NOTICES[(kind, language)]
    fields.update(rule=rule, sha=hashlib.sha256(rule.encode()).hexdigest())
    return caption, text % dict(fields, commands=ACCESS_COMMANDS[kind] % fields)


def visible(path):
    """path as a notice names it in its text: C0 controls, DEL and bytes that are not UTF-8
    (os.fsdecode's U+DC80..U+DCFF) written \\xHH, C1 controls and bidi embeddings, overrides and
    isolates \\uHHHH, a backslash doubled."""
    def shown(c):
        code = ord(c)
        if code < 0x20 or code == 0x7F or 0xDC80 <= code <= 0xDCFF:
            return "\\x%02x" % (code & 0xFF)
        if 0x80 <= code <= 0x9F or 0x202A <= code <= 0x202E or 0x2066 <= code <= 0x2069:
            return "\\u%04x" % code
        return c * (1 + (c == "\\"))
    return "".join(map(shown, path))


def wine_32_bit_loader_runs():
    """Whether Debian's 32-bit Wine loader, when installed, can start here: some virtual
    machines' kernels run no 32-bit x86 program ("Exec format error")."""
    try:
        subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True)
    except OSError as error:
        return error.errno != errno.ENOEXEC
    return True


# Language -> (locale, Windows language identifier).
LANGUAGES = {"zh": ("zh_CN.UTF-8", 0x0804), "en": ("en_US.UTF-8", 0x0409)}


def notice_line(kind, language):
    """A notice as the Linux launcher writes it on standard error when no box can be shown."""
    caption, text = NOTICES[(kind, language)]
    return "%s: %s" % (caption, text)


# The counters in the summary line's order.
COUNTERS = ("sun", "sun2", "bk24", "bk5", "soc", "entry")
SUMMARY_FORMAT = ("Pair: SunDevice=%d, SunDevice2=%d, BkDevice24G=%d, BkDevice5G=%d "
                  "g_dwSOCDevice=%d g_dwEntryDevice=%d")


def wait_for(condition, seconds, interval=0.1):
    """condition()'s first true value, asked every interval seconds; its last value once seconds
    have passed. The waits of the harnesses only bound a hang on a busy machine: each returns as
    soon as its condition holds."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Trace:
    """A native run's standard error split into its trace lines (paths found, summaries, the
    decision's lines without "\r") and the other lines (notices, refusals, warnings)."""

    def __init__(self, lines):
        self.finds = [line[len("find: "):] for line in lines if line.startswith("find: ")]
        self.summaries = [line for line in lines if line.startswith("Pair: ")]
        # The decision's line ends in "\r\n", as the Windows launcher writes it.
        self.nflags = [line[:-1] for line in lines if re.fullmatch(r"nFlag: \d+\r", line)]
        self.other_lines = [line for line in lines if not line.startswith(("find: ", "Pair: "))
                            and line[:-1] not in self.nflags]

    def expect(self, counts, families, notice=None):
        """One summary with these counts, one decision line for that many families, and the
        notice line (kind, language) as the only other line, or none."""
        assert self.summaries == [summary(**counts)], self.summaries
        assert self.nflags == [nflag(families)], self.nflags
        assert self.other_lines == ([notice_line(*notice)] if notice else []), self.other_lines


def summary(sun=0, sun2=0, bk24=0, bk5=0, soc=0, entry=0):
    """The summary trace line, without its line end."""
    return SUMMARY_FORMAT % (sun, sun2, bk24, bk5, soc, entry)


def nflag(count):
    """The decision's trace line, without its "\\r\\n"."""
    return "nFlag: %d" % count


HID_GUID = "{4d1e55b2-f16f-11cf-88cb-001111000030}"
# \\?\hid#<hardware>#<instance>#{guid}[\kbd]; the Linux port's instance is 7&<hash>&0&<index>.
INTERFACE_PATH = re.compile(r"^\\\\\?\\(?P<hardware>.*)#(?P<instance>[^#]*)#"
                            + re.escape(HID_GUID) + r"(?P<kbd>\\kbd)?$", re.I)


def hardware_of(path):
    """The hardware part of an interface path and a keyboard's \\kbd, as the tests compare
    them ("hid#vid_7c2f&pid_2003&mi_00\\kbd"); a path of another shape comes back whole."""
    match = INTERFACE_PATH.match(path)
    if not match:
        return path
    return match.group("hardware") + (match.group("kbd") or "")


# The Linux port's instance part: 7&<hash of the sysfs path>&0&<index of the path>.
LINUX_INSTANCE = re.compile(r"^7&[0-9a-f]{8}&0&[0-9a-f]{4}$")


def usb_hardware(vendor, product, interface=None, collection=None, keyboard=False):
    """The hardware part as hardware_of gives it, for a USB HID interface: interface is the
    bInterfaceNumber of a composite device's interface (None otherwise), collection the 1-based
    top-level collection when the interface has two or more, keyboard for a keyboard collection."""
    return "hid#vid_%04x&pid_%04x%s%s%s" % (
        vendor, product, "" if interface is None else "&mi_%02x" % interface,
        "" if collection is None else "&col%02x" % collection, "\\kbd" if keyboard else "")


def linux_hardware_of(path):
    """hardware_of for a path the Linux port traced, whose instance must have the port's shape."""
    match = INTERFACE_PATH.match(path)
    return hardware_of(path) if match and LINUX_INSTANCE.fullmatch(match.group("instance")) else path


# --- Simulated machines and kits for the native launcher (scripts/run.sh and the tests) -------

DEVICES = os.path.join(ROOT, "tests", "linux", "devices")
# What `scripts/run.sh --simulate NAME` plugs in beside the other devices (a keyboard, another
# maker's receiver, a Bluetooth mouse, an I2C touchpad); "empty" is a machine with no HID device.
SIMULATIONS = {"sun": ("sun-receiver",), "soc": ("soc-receiver",), "entry": ("entry-receiver",),
               "bk": ("bk-receiver",), "many": ("soc-receiver", "entry-receiver"), "none": ()}


def simulation_devices(simulation):
    """The umockdev description files of a simulated machine."""
    if simulation == "empty":
        return []
    return [os.path.join(DEVICES, name + ".umockdev")
            for name in ("other-devices",) + SIMULATIONS[simulation]]


STAND_IN_MARK = "stand-in pairing tool laid out by scripts/run.sh"
# A stand-in appends one line per start to this file at the top of the kit.
STAND_IN_LOG = "stand-in-started.log"
STAND_IN = """#!/bin/sh
# {mark}: a real kit has the {family} family's {tool} here.
folder=$(dirname "$0")
echo "[stand-in] {family} receiver: the pairing tool in {folder}/ would pair it now \\
(started with $# arguments, as user $(id -u))."
# For the tests: family, argument count, session and process ids, user.
echo "{family} args=$# session=$(cut -d' ' -f6 /proc/$$/stat) pid=$$ uid=$(id -u)" \\
    >>"$folder/../{log}"
"""


def lay_out_kit(kit, launcher):
    """The launcher at the top of kit, and a stand-in in every tool folder that has no real tool.
    Earlier stand-ins are rewritten; real tools are left alone."""
    os.makedirs(kit, exist_ok=True)
    shutil.copy(launcher, os.path.join(kit, LINUX_LAUNCHER))
    for family, folder in FAMILIES:
        tool = os.path.join(kit, folder, TOOL_FILE)
        os.makedirs(os.path.dirname(tool), exist_ok=True)
        if os.path.exists(tool):
            with open(tool, "rb") as existing:
                if STAND_IN_MARK.encode() not in existing.read():
                    continue
        with open(tool, "w", encoding="utf-8") as script:
            script.write(STAND_IN.format(mark=STAND_IN_MARK, family=family, tool=TOOL_FILE,
                                         folder=folder, log=STAND_IN_LOG))
        os.chmod(tool, 0o755)


# --- Simulated receivers by the thousand (the benchmarks and the fault tests) ----------------

# Mouse application collection: Usage Page (Generic Desktop), Usage (Mouse), Collection
# (Application), ..., End Collection.
MOUSE = "05010902A1010901A100050919012903150025019503750181029501750581030501093009311581257F750895028106C0C0"
KEYBOARD = "05010906A101050719E029E71500250175019508810295017508810195067508150025650507190029658100C0"


def device_blocks(index, interfaces, ids=("7c2f", "2003")):
    """umockdev blocks of one receiver (or of another device with those USB ids): the USB
    device, and per (interface number, report descriptor) its interface, HID device and hidraw
    node."""
    vid, pid = ids
    VID, PID = vid.upper(), pid.upper()
    bus_port = f"1-{index + 1}"
    usb = f"/devices/pci0000:00/0000:00:14.0/usb1/{bus_port}"
    blocks = [
        f"P: {usb}\nN: bus/usb/001/{index + 2:03d}\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n"
        f"E: PRODUCT={vid}/{pid}/100\nA: idVendor={vid}\nA: idProduct={pid}\nA: bNumInterfaces= {len(interfaces)}\n"
        f"A: bNumConfigurations=1\nA: bDeviceClass=00\nA: busnum=1\nA: devnum={index + 2}\n"
        f"A: manufacturer=Tamsu\nA: product=Receiver\nA: serial=SN{index:06d}\n"
    ]
    for interface, descriptor in interfaces:
        hidraw = 2 * index + interface
        usb_interface = f"{usb}/{bus_port}:1.{interface}"
        hid_name = f"0003:{VID}:{PID}.{hidraw + 1:04X}"
        hid = f"{usb_interface}/{hid_name}"
        blocks.append(
            f"P: {usb_interface}\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nE: INTERFACE=3/1/{interface + 1}\n"
            f"A: bInterfaceNumber={interface:02x}\nA: bInterfaceClass=03\n"
        )
        blocks.append(
            f"P: {hid}\nE: SUBSYSTEM=hid\nE: HID_ID=0003:0000{VID}:0000{PID}\nE: HID_NAME=Tamsu Receiver\n"
            f"E: HID_PHYS=usb-0000:00:14.0-{index + 1}/input{interface}\nE: HID_UNIQ=SN{index:06d}\n"
            f"E: MODALIAS=hid:b0003g0001v0000{VID}p0000{PID}\nH: report_descriptor={descriptor}\n"
        )
        blocks.append(
            f"P: {hid}/hidraw/hidraw{hidraw}\nN: hidraw{hidraw}\nE: SUBSYSTEM=hidraw\n"
            f"E: DEVNAME=/dev/hidraw{hidraw}\nL: device=../../../{hid_name}\n"
        )
    return blocks


def parse_blocks(text):
    """The devices of umockdev text (blocks apart by blank lines, a P: line first): each its
    sysfs path and its (kind, name, value) lines in order."""
    devices = []
    for block in text.split("\n\n"):
        lines = block.strip("\n").split("\n")
        if lines[0].startswith("P: "):
            devices.append((lines[0][3:], [(kind, *rest.partition("=")[::2]) for kind, _, rest in
                                           (line.partition(": ") for line in lines[1:])]))
    return devices


def write_tree(blocks, root):
    """Each block becomes a directory with uevent, attribute files and links, as sysfs has."""
    for path, entries in parse_blocks("\n\n".join(blocks)):
        directory = root + path
        os.makedirs(directory, exist_ok=True)
        uevent = []
        for kind, name, content in entries:
            value = name + "=" + content
            if kind == "E":
                uevent.append(value)
                if value == "SUBSYSTEM=hidraw":
                    os.makedirs(os.path.join(root, "class", "hidraw"), exist_ok=True)
                    os.symlink(os.path.relpath(directory, os.path.join(root, "class", "hidraw")),
                               os.path.join(root, "class", "hidraw", os.path.basename(directory)))
            elif kind == "A":
                with open(os.path.join(directory, name), "w") as out:
                    out.write(content + "\n")
            elif kind == "H":
                with open(os.path.join(directory, name), "wb") as out:
                    out.write(bytes.fromhex(content))
            elif kind == "L":
                os.symlink(content, os.path.join(directory, name))
        with open(os.path.join(directory, "uevent"), "w") as out:
            out.write("".join(entry + "\n" for entry in uevent))


def receiver_blocks(count):
    """count interfaces on two-interface composite receivers (keyboard, mouse); for an odd count
    the last receiver has one interface."""
    blocks = []
    for index in range((count + 1) // 2):
        interfaces = ((0, KEYBOARD), (1, MOUSE)) if 2 * index + 1 < count else ((0, KEYBOARD),)
        blocks.extend(device_blocks(index, interfaces))
    return blocks


# --- Notice boxes on a private X display (the Wine and the native tests) ---------------------

def start_xvfb():
    """A private X display: (process, ":N")."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x600x24",
                                "-nolisten", "tcp"], pass_fds=[write_end],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        return process, ":" + numbers.readline().strip()


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True).stdout.split()


def find_window(display, caption, seconds=90, alive=lambda: True):
    """The first window captioned exactly caption, or None after seconds or once alive() says
    the program that would show it has ended. A box may come late on a busy machine."""
    found = wait_for(lambda: xdotool(display, "search", "--name", "^%s$" % caption)
                     or not alive(), seconds)
    return found[0] if isinstance(found, list) else None


def photograph(display, picture, seconds=90):
    """Photographs the whole screen into picture until it shows more than two colours (the box
    is painted) or seconds pass; returns the number of colours."""
    def colours():
        subprocess.run(["import", "-display", display, "-window", "root", picture], check=True)
        return int(subprocess.run(["identify", "-format", "%k", picture],
                                  capture_output=True, text=True).stdout or 0)
    seen = []
    wait_for(lambda: seen.append(colours()) or seen[-1] > 2, seconds, 0.2)
    return seen[-1]


def main():
    """For scripts/run.sh: lay-out KIT LAUNCHER | devices SIMULATION | stand-in-log."""
    command, args = sys.argv[1], sys.argv[2:]
    if command == "lay-out":
        lay_out_kit(*args)
    elif command == "devices":
        if args[0] not in SIMULATIONS:
            sys.exit("no simulated machine %s" % args[0])
        print("\n".join(simulation_devices(args[0])))
    elif command == "stand-in-log":
        print(STAND_IN_LOG)
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main()
