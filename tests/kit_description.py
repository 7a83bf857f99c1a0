"""What every test harness knows of the pairing kit, said once: the families and their folders,
the tool's file name, the version, the notices, the summary line and the shape of an interface
path. The Wine harness, the Linux end-to-end tests and the kernel stage all read it from here.
"""

import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Family, kit folder, in the launcher's tool-table order.
FAMILIES = (("Sun", "Alder24"), ("SOC", "NewCedar"), ("Entry", "BirchPro"), ("Bk", "Cedar24"))
FOLDER_OF = dict(FAMILIES)
FAMILY_FOLDERS = tuple(folder for _, folder in FAMILIES)
TOOL_FILE = "TamsuPair.exe"


def _project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"^project\(\w+ VERSION ([0-9.]+)", cmake.read(), re.M).group(1)


VERSION = _project_version()  # "1.5.0"

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
