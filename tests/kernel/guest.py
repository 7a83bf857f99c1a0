"""The kernel stage's guest: a busybox initramfs holding the launcher with its loader and libc,
a kit with stand-in tools, the kit's udev rule, the USB gadget, HID, virtio and 9p modules and
the gadgets to make, booted once in QEMU with the host's root (and any other whose Wine a
scenario runs) as a read-only 9p share; and each scenario's outcome, read back from the serial
console."""

import collections
import contextlib
import os
import re
import shutil
import subprocess
import tempfile
import time

import kit_description  # on the path: the tests put tests/ there

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# In load order; hidraw is built into hid, and without hid-generic no hidraw node appears. The
# virtio and 9p modules mount the host's root.
MODULES = ("usb-common", "usbcore", "udc-core", "configfs", "libcomposite", "usb_f_hid", "hid",
           "hid-generic", "usbhid", "dummy_hcd", "virtio_ring", "virtio", "virtio_pci_legacy_dev",
           "virtio_pci_modern_dev", "virtio_pci", "netfs", "fscache", "9pnet", "9pnet_virtio", "9p")
# TCG only: /dev/kvm on these machines is a nested hypervisor that aborts or crawls. Wine wants
# 2 GB. The roots the guest runs programs from are shares of the host's, read-only.
QEMU = ("qemu-system-x86_64", "-accel", "tcg", "-smp", "1", "-m", "2048", "-nographic",
        "-no-reboot", "-nic", "none")
# Each root the guest runs programs from is shared as root-TAG, and the seat's user's home for
# it as home-TAG; the guest mounts the host's own root ("host": udev, and Wine unless a scenario
# names another root) at /host, another at /TAG.
# The unprivileged user of the guest's chroot: the seat's active user. No account of the host's
# may have the name or the number (build_initramfs checks).
USER_ID = 4711
USER_NAME = "guest"
# The kit's Wine prefix in the user's home, where the Linux launcher keeps it; made bare, for
# the launcher to give it its settings, and the file it keeps there as their record. 32-bit, as
# the launcher and the probe are: half the size of a 64-bit one, and only Wine's 32-bit half loads.
WINE_PREFIX = os.path.join(".local", "share", "tamsu-pair-kit", "wine")
WINE_SETTINGS_RECORD = "tamsu-settings.reg"
MARK = "@@ "


class GuestError(Exception):
    """The guest could not be built, or did not come up or finish in time."""


Gadget = collections.namedtuple("Gadget", "vendor product name descriptors")


def read_umockdev(path):
    """The device blocks of a umockdev description: sysfs path -> {"E"|"A"|"H": {key: value}}."""
    devices = {}
    with open(path, encoding="utf-8") as description:
        for sysfs_path, entries in kit_description.parse_blocks(description.read()):
            device = devices[sysfs_path] = collections.defaultdict(dict)
            for kind, key, value in entries:
                device[kind][key] = value
    return devices


def usb_gadget(description, vendor=None, product=None):
    """The USB HID device of a description file (the one with that VID/PID when it holds
    several) as a gadget: its ids, name and one report descriptor per interface, in order."""
    devices = read_umockdev(os.path.join(ROOT, "tests", "linux", "devices", description))
    found = collections.defaultdict(list)
    for path, device in devices.items():
        parent = devices.get(os.path.dirname(path), {})
        if "HID_ID" not in device["E"] or parent.get("E", {}).get("DEVTYPE") != "usb_interface":
            continue
        _, vid, pid = (int(part, 16) for part in device["E"]["HID_ID"].split(":"))
        if vendor is None or (vid, pid) == (vendor, product):
            number = int(parent["A"]["bInterfaceNumber"].replace("\\n", ""), 16)
            found[(vid, pid, device["E"]["HID_NAME"])].append(
                (number, bytes.fromhex(device["H"]["report_descriptor"])))
    if len(found) != 1:
        raise GuestError("%s: expected one USB HID device, found %d" % (description, len(found)))
    (vid, pid, name), interfaces = found.popitem()
    if [number for number, _ in sorted(interfaces)] != list(range(len(interfaces))):
        # A gadget numbers its interfaces from 0 in the order its functions are linked.
        raise GuestError("%s: interfaces not numbered 0, 1, ..." % description)
    return Gadget(vid, pid, name, [descriptor for _, descriptor in sorted(interfaces)])


def top_level_collections(descriptor):
    """A report descriptor's top-level collections, each with the items before it."""
    parts, start, depth, at = [], 0, 0, 0
    while at < len(descriptor):
        prefix = descriptor[at]
        # A long item (FE) gives its data's size; a short one's size code 3 means 4 bytes.
        if prefix == 0xFE:
            size = 3 + descriptor[at + 1]
        else:
            size = 1 + (4 if prefix & 3 == 3 else prefix & 3)
        if prefix & 0xFC == 0xA0:
            depth += 1
        elif prefix & 0xFC == 0xC0:
            depth -= 1
            if depth == 0:
                parts.append(descriptor[start:at + size])
                start = at + size
        at += size
    return parts


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as out:
        out.write(data)


def _libraries(program):
    """The shared objects the program loads, its loader among them, as ldd lists them."""
    listing = subprocess.run(["ldd", program], check=True, capture_output=True, text=True).stdout
    return re.findall(r"(/\S+) \(0x", listing)


# Runs a command in a root ("/": the host's own) in a mount namespace of its own, as root, with
# HOME at the seat's user's home there, bound from the host's folder: /proc, /dev and a /tmp of
# its own, and /home a tmpfs holding that home alone. The home is bound first (at /mnt), for
# the tmpfs would hide a home that lies under /tmp or /home.
IN_ROOT = """root=$1 home=$2 user_home=$3
shift 3
mount --bind "$home" "$root/mnt" && mount -t tmpfs tmpfs "$root/tmp" &&
    mount -t tmpfs tmpfs "$root/home" && mkdir -p "$root$user_home" &&
    mount --move "$root/mnt" "$root$user_home" || exit 90
if [ "$root" != / ]; then
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" || exit 90
fi
exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME="$user_home" USER="$USER_NAME" \
    LOGNAME="$USER_NAME" "$@"
"""
USER_HOME = "/home/" + USER_NAME


def _in_root(root, home, command, **variables):
    """Runs the command in the root with that home; its output, or GuestError."""
    env = dict(PATH="/usr/sbin:/usr/bin:/sbin:/bin", USER_NAME=USER_NAME)
    # Wine's services run on after the command, holding its output: files, not pipes.
    with tempfile.TemporaryFile() as out:
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                               IN_ROOT, "sh", root, os.path.abspath(home), USER_HOME, "env"]
                              + ["%s=%s" % pair for pair in variables.items()] + command,
                              env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        out.seek(0)
        text = out.read().decode(errors="replace")
    if done.returncode != 0:
        raise GuestError("%s in %s failed: %s" % (" ".join(command), root, text[-300:]))
    return text


def prefix_registries(home):
    """The system registry of the kit's Wine prefix in that home as it was made, and now."""
    return os.path.join(home, ".system.reg.bare"), os.path.join(home, WINE_PREFIX, "system.reg")


@contextlib.contextmanager
def wine_home(home, root="/"):
    """The guest user's home folder for the Wine of a root, shared writable with the guest,
    holding a bare Wine prefix where the Linux launcher keeps the kit's, for as long as the guest
    runs. It is made here (a few hundred MB: never copied), by root with the root's Wine, then
    given to the user, once every Wine program of it has ended (wineserver -w). A later boot
    reuses it while Wine's version is the same, unless this one did not end cleanly, with its
    registry as it was made and without the launcher's record of its settings: so the first Wine
    scenario of every boot has the launcher bring them in."""
    os.makedirs(home, exist_ok=True)
    made = _in_root(root, home, ["wine", "--version"])
    stamp = os.path.join(home, ".prefix-made")
    bare, registry = prefix_registries(home)
    try:
        with open(stamp, encoding="utf-8") as existing:
            reuse = existing.read() == made
    except OSError:
        reuse = False
    if reuse:
        os.remove(stamp)  # written again once the guest has ended cleanly
        shutil.copy(bare, registry)
        os.chown(registry, USER_ID, USER_ID)
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(home, WINE_PREFIX, WINE_SETTINGS_RECORD))
    else:
        _make_wine_home(home, root)
        shutil.copy(registry, bare)
    yield made.strip()
    _write(stamp, made)


def _make_wine_home(home, root):
    for name in os.listdir(home):
        path = os.path.join(home, name)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
    os.makedirs(os.path.join(home, WINE_PREFIX))
    _in_root(root, home, ["sh", "-c", "wineboot -i && wineserver -w"],
             WINEPREFIX=os.path.join(USER_HOME, WINE_PREFIX), WINEARCH="win32", WINEDEBUG="-all",
             WINEDLLOVERRIDES="mscoree,mshtml=")
    for folder, folders, files in os.walk(home):
        for name in [folder] + [os.path.join(folder, name) for name in folders + files]:
            os.lchown(name, USER_ID, USER_ID)


def build_initramfs(work, launcher, rule, probe, windows_launcher, modules, gadgets, scenarios,
                    udcs):
    """Lays out the guest in WORK/root and packs it into WORK/initramfs.cpio (uncompressed:
    nothing to unpack under emulation). rule: the kit's udev rules file; probe: the Windows HID
    probe, each family's tool in the Wine scenarios' kit; windows_launcher: run beside no tools;
    gadgets: name -> Gadget; scenarios: lines of /scenarios; udcs: how many gadgets may be bound
    at once."""
    with open("/etc/passwd", encoding="utf-8") as accounts:
        if any(line.split(":")[0] == USER_NAME or line.split(":")[2:3] == [str(USER_ID)]
               for line in accounts):
            raise GuestError("user %s (%d) has an account on this machine" % (USER_NAME, USER_ID))
    root = os.path.join(work, "root")
    shutil.rmtree(root, ignore_errors=True)
    for folder in ("bin", "proc", "sys", "dev", "tmp", "modules", "rules", "windows"):
        os.makedirs(os.path.join(root, folder))
    shutil.copy(rule, os.path.join(root, "rules"))
    for folder in kit_description.FAMILY_FOLDERS:
        os.makedirs(os.path.join(root, "wine-kit", folder))
        shutil.copy(probe, os.path.join(root, "wine-kit", folder, kit_description.TOOL_FILE))
    kit_description.lay_out_kit(os.path.join(root, "wine-kit"), launcher)
    shutil.copy(windows_launcher, os.path.join(root, "windows"))
    shutil.copy(os.path.join(HERE, "guest_wine.sh"), root)
    _write(os.path.join(root, "user"), "%d %s\n" % (USER_ID, USER_NAME))
    busybox = shutil.which("busybox")
    shutil.copy(busybox, os.path.join(root, "bin", "busybox"))
    applets = subprocess.run([busybox, "--list"], check=True, capture_output=True,
                             text=True).stdout.split()
    for applet in applets:
        if applet != "busybox":
            os.symlink("busybox", os.path.join(root, "bin", applet))
    for library in _libraries(launcher):
        os.makedirs(os.path.dirname(root + library), exist_ok=True)
        shutil.copy(library, root + library)  # with its mode: the loader must be executable
    # The kit as scripts/run.sh lays it out, stand-ins and their log included.
    kit_description.lay_out_kit(os.path.join(root, "kit"), launcher)

    order = []
    for module in MODULES:
        paths = [os.path.join(folder, name) for folder, _, names in os.walk(modules)
                 for name in names if name == module + ".ko"]
        if len(paths) != 1:
            raise GuestError("module %s.ko: %d found under %s" % (module, len(paths), modules))
        shutil.copy(paths[0], os.path.join(root, "modules"))
        # Each dummy_hcd instance is one UDC and one host controller.
        order.append(module + (" num=%d" % udcs if module == "dummy_hcd" else ""))
    _write(os.path.join(root, "modules", "order"), "\n".join(order) + "\n")

    for name, gadget in gadgets.items():
        folder = os.path.join(root, "gadgets", name)
        _write(os.path.join(folder, "idVendor"), "0x%04x\n" % gadget.vendor)
        _write(os.path.join(folder, "idProduct"), "0x%04x\n" % gadget.product)
        _write(os.path.join(folder, "product"), gadget.name + "\n")
        for number, descriptor in enumerate(gadget.descriptors):
            function = os.path.join(folder, "hid.%d" % number)
            # No boot protocol: usbhid and hid-generic bind by the descriptor alone.
            for attribute, value in (("subclass", "0\n"), ("protocol", "0\n"),
                                     ("report_length", "64\n"), ("report_desc", descriptor)):
                _write(os.path.join(function, attribute), value)
    _write(os.path.join(root, "scenarios"), "".join(line + "\n" for line in scenarios))
    # The stand-ins' process name, which /init waits on.
    _write(os.path.join(root, "tool-name"), kit_description.TOOL_FILE + "\n")
    shutil.copy(os.path.join(HERE, "guest_init.sh"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)

    initramfs = os.path.join(work, "initramfs.cpio")
    with open(initramfs, "wb") as out:
        subprocess.run("find . | busybox cpio -o -H newc", shell=True, cwd=root, stdout=out,
                       stderr=subprocess.DEVNULL, check=True)
    return initramfs


def boot(image, initramfs, roots, console, come_up, finish):
    """Boots the guest once, with roots (tag -> (root, the seat's user's home there)), its serial
    console written to CONSOLE, and returns the console's text when the guest has run every
    scenario, with the seconds until it came up and until it ended. Raises GuestError when it
    does not come up within COME_UP seconds, or does not finish within FINISH."""
    command = QEMU
    for tag, (root, home) in roots.items():
        # The home is written by the guest as its user, with that user's id on the host.
        for name, path, mode in (("root", root, ",readonly=on"), ("home", home, "")):
            command += ("-virtfs", "local,path=%s,mount_tag=%s-%s,security_model=none,"
                        "multidevs=remap%s" % (os.path.abspath(path).replace(",", ",,"), name,
                                               tag, mode))
    command += ("-kernel", image, "-initrd", initramfs, "-append", "console=ttyS0 quiet panic=-1")
    start = time.monotonic()
    with open(console, "wb") as out:
        qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)
    try:
        ready = None
        while qemu.poll() is None:
            text = _console_text(console)
            elapsed = time.monotonic() - start
            if ready is None and "\n@@ ready\n" in text:
                ready = elapsed
            if ready is None and elapsed > come_up:
                raise GuestError("the guest did not come up within %d s (console: %s)"
                                 % (come_up, console))
            if elapsed > finish:
                raise GuestError("the guest did not finish its scenarios within %d s (console: %s)"
                                 % (finish, console))
            time.sleep(0.2)
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()
    text = _console_text(console)
    fatal = re.search(r"^@@ fatal (.*)$", text, re.M)
    if fatal:
        raise GuestError("the guest stopped: %s (console: %s)" % (fatal.group(1), console))
    if "\n@@ done" not in text:
        last = ([line for line in text.split("\n") if line.strip()] or ["nothing"])[-1]
        raise GuestError("QEMU ended (exit %d) before the guest finished; its last line: %s"
                         % (qemu.returncode, last.strip()))
    # QEMU may end between two looks: then the guest came up no later than it ended.
    done = time.monotonic() - start
    return text, ready or done, done


def _console_text(console):
    # The serial line ends each line in CRLF; a launcher's own "\r" stays before it.
    with open(console, "rb") as log:
        return log.read().decode("utf-8", "replace").replace("\r\n", "\n")


class Outcome:
    def __init__(self):
        self.out, self.err, self.started, self.events = [], [], [], []
        self.rc = self.elapsed_ms = None
        # Per hidraw node of a rule scenario: its `udevadm info` lines, and "rw" or "none".
        self.udev = collections.defaultdict(list)
        self.access = {}
        # A Wine scenario's lines of the probe, of the Windows launcher's trace and of the bus
        # driver, and per gadget function ("bk.hid.1") the report it read, in hex.
        self.probe, self.trace, self.winebus = [], [], []
        self.reports = {}


def read_outcomes(text):
    """Scenario name -> Outcome, from the console's marked lines."""
    outcomes = {}
    current = None
    for line in text.split("\n"):
        if not line.startswith(MARK):
            continue
        kind, _, rest = line[len(MARK):].partition(" ")
        if kind == "begin":
            current = outcomes[rest] = Outcome()
        elif kind == "end":
            current = None
        elif current is None:
            continue
        elif kind in ("out", "err", "started", "probe", "trace", "winebus"):
            getattr(current, kind).append(rest)
        elif kind in ("rc", "elapsed_ms"):
            setattr(current, kind, int(rest))
        elif kind == "udev":
            node, _, info = rest.partition(" ")
            current.udev[node].append(info)
        elif kind == "access":
            node, _, access = rest.partition(" ")
            current.access[node] = access
        elif kind == "report":
            function, _, report = rest.partition(" ")
            current.reports[function] = report
        else:
            current.events.append(line[len(MARK):])
    return outcomes
