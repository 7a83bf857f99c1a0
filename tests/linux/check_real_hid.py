#!/usr/bin/env python3
"""Checks the native launcher's interface paths against a folder of real HID device data.

Not part of the test suite: the data is public but is not kept in this repository. The folder
holds descriptors/*.hex, expected.tsv (collection counts from independent parsers),
devices.jsonl (recorded sysfs facts), umockdev/*.umockdev (recorded machines) and
windows_paths.tsv (paths Windows listed).

    python3 tests/linux/check_real_hid.py DATA_FOLDER build/linux/bin/tamsu-launcher

The launcher runs under umockdev-run: once on a testbed holding every descriptor, once per
recorded machine. Its paths are compared with what the Windows naming rules give for the same
facts; the usages behind \\kbd come from a second parser written here. Exits 1 on any
disagreement.
"""
import collections
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kit_description import HID_GUID as GUID  # noqa: E402

PATH = re.compile(r"^\\\\\?\\(hid#.*?)(&col([0-9a-f]{2,}))?#7&([0-9a-f]{8})&0&([0-9a-f]{4})#"
                  + re.escape(GUID) + r"(\\kbd)?$")


def parse_descriptor(data):
    """Top-level collections as (page, usage) pairs, or None when malformed."""
    tops, depth, page, stack, usages, at = [], 0, 0, [], [], 0
    while at < len(data):
        prefix = data[at]
        if prefix == 0xFE:
            if at + 2 >= len(data) or at + 3 + data[at + 1] > len(data):
                return None
            at += 3 + data[at + 1]
            continue
        size = (0, 1, 2, 4)[prefix & 3]
        if at + 1 + size > len(data):
            return None
        value = int.from_bytes(data[at + 1:at + 1 + size], "little")
        kind, tag = (prefix >> 2) & 3, prefix >> 4
        if kind == 0:
            if tag == 0xA:
                if depth == 0:
                    if not usages:
                        tops.append((page, 0))
                    elif usages[0][0] == 4:
                        tops.append((usages[0][1] >> 16, usages[0][1] & 0xFFFF))
                    else:
                        tops.append((page, usages[0][1] & 0xFFFF))
                depth += 1
            elif tag == 0xC:
                if depth == 0:
                    return None
                depth -= 1
            usages = []
        elif kind == 1 and tag == 0:
            page = value & 0xFFFF
        elif kind == 1 and tag == 0xA:
            stack.append(page)
        elif kind == 1 and tag == 0xB and stack:
            page = stack.pop()
        elif kind == 2 and tag == 0:
            usages.append((size, value))
        at += 1 + size
    return tops if depth == 0 else None


def read_umockdev(path):
    """Blocks of a umockdev file as dicts: P, E (dict), A (dict), H (dict), L (dict)."""
    blocks = []
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for chunk in f.read().split("\n\n"):
            block = {"E": {}, "A": {}, "H": {}, "L": {}}
            for line in chunk.splitlines():
                if line.startswith("P: "):
                    block["P"] = line[3:]
                elif line[:3] in ("E: ", "A: ", "H: ", "L: ") and "=" in line:
                    key, value = line[3:].split("=", 1)
                    block[line[0]].setdefault(key, value)
            if "P" in block:
                blocks.append(block)
    return blocks


def facts_from_umockdev(path):
    """The recorded HID devices of one machine, in the shape of devices.jsonl."""
    blocks = {b["P"]: b for b in read_umockdev(path)}
    devices = []
    for p, b in blocks.items():
        if b["E"].get("SUBSYSTEM") != "hid":
            continue
        parents = []
        for up in (p.rsplit("/", 1)[0], p.rsplit("/", 2)[0]):
            u = blocks.get(up, {"E": {}, "A": {}})
            attrs = {k: v.replace("\\n", "") for k, v in u["A"].items()}
            parents.append({"DEVTYPE": u["E"].get("DEVTYPE"),
                            "SUBSYSTEM": u["E"].get("SUBSYSTEM"),
                            "KERNEL": up.rsplit("/", 1)[1], "attrs": attrs})
        devices.append({"hid_path": p, "descriptor": None,
                        "hid_uevent": [f"{k}={v}" for k, v in b["E"].items()],
                        "parents": parents, "descriptor_hex": b["H"].get("report_descriptor", "")})
    return devices


def expected_paths(device, counts, problems):
    """(hardware part with &col, keyboard) per path the Windows rules give for one device."""
    uevent = dict(line.split("=", 1) for line in device["hid_uevent"] if "=" in line)
    name = device["hid_path"].rsplit("/", 1)[1]
    bus, vid, pid = (int(x, 16) for x in uevent.get("HID_ID", name.split(".")[0]).split(":"))
    parent = device["parents"][0] if device["parents"] else {}
    grand = device["parents"][1] if len(device["parents"]) > 1 else {}
    if bus == 3 and parent.get("DEVTYPE") == "usb_interface":
        attrs = grand.get("attrs", {})
        if "idVendor" in attrs and (int(attrs["idVendor"], 16), int(attrs["idProduct"], 16)) != (
                vid & 0xFFFF, pid & 0xFFFF):
            problems.append(f"{name}: HID_ID differs from the USB device's ids")
        hardware = f"hid#vid_{vid & 0xFFFF:04x}&pid_{pid & 0xFFFF:04x}"
        if int(attrs.get("bNumInterfaces", "1").strip() or 1) > 1:
            number = next(v for k, v in parent["attrs"].items() if k.startswith("bInterfaceNu"))
            hardware += f"&mi_{int(number, 16):02x}"
        rule = "usb"
    elif bus == 5:
        hardware = f"hid#{{00001124-0000-1000-8000-00805f9b34fb}}_vid&0002{vid & 0xFFFF:04x}" \
                   f"_pid&{pid & 0xFFFF:04x}"
        rule = "bluetooth"
    elif bus == 0x18:
        acpi = uevent.get("HID_NAME", "").split(":")[0].split(" ")[0]
        hardware = "hid#" + re.sub("[^0-9a-z]", "", acpi.lower())
        rule = "i2c"
        if not acpi:  # the kernel always writes HID_NAME; a recording without it shows none
            hardware = f"hid#bus_0018_vid&{vid & 0xFFFF:04x}_pid&{pid & 0xFFFF:04x}"
            rule = "i2c recorded without HID_NAME"
    else:  # no Windows shape known: the port's own, never a USB one
        hardware = f"hid#bus_{bus & 0xFFFF:04x}_vid&{vid & 0xFFFF:04x}_pid&{pid & 0xFFFF:04x}"
        rule = "other bus"
    tops = parse_descriptor(bytes.fromhex(device["descriptor_hex"]))
    count = counts.get(device["descriptor"]) if device["descriptor"] else None
    if tops is not None and count is not None and len(tops) != count:
        problems.append(f"{name}: second parser counts {len(tops)}, expected.tsv {count}")
    if tops is None or len(tops) < 2:
        keyboard = tops is not None and len(tops) == 1 and tops[0] == (1, 6)
        return rule, [(hardware, keyboard)]
    return rule, [(f"{hardware}&col{i + 1:02x}", top == (1, 6)) for i, top in enumerate(tops)]


def run_launcher(launcher, testbed):
    """The paths of the launcher's first detection pass on a umockdev testbed."""
    result = subprocess.run(["umockdev-run", "-d", testbed, "--", launcher],
                            env={"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"},
                            capture_output=True, text=True, errors="surrogateescape")
    lines = [line[6:] for line in result.stderr.splitlines() if line.startswith("find: ")]
    half = len(lines) // 2
    if len(lines) % 2 == 0 and lines[:half] == lines[half:]:
        lines = lines[:half]  # nothing found: the launcher looked twice
    return lines


def split_paths(paths, problems, where):
    """Launcher paths as (hardware with &col, keyboard), checking shape and instance parts."""
    parts, by_instance = [], collections.defaultdict(list)
    for path in paths:
        match = PATH.match(path)
        if match is None or path != path.lower() or len(path) > 259:
            problems.append(f"{where}: bad path {path}")
            continue
        hardware, col, instance, index = match.group(1, 3, 4, 5)
        parts.append((hardware + (f"&col{col}" if col else ""), bool(match.group(6))))
        by_instance[(hardware, instance)].append((int(col, 16) if col else 1, int(index, 16)))
    for key, numbers in by_instance.items():
        if sorted(n - 1 for n, _ in numbers) != sorted(i for _, i in numbers) or \
                sorted(n for n, _ in numbers) != list(range(1, len(numbers) + 1)):
            problems.append(f"{where}: collection numbers and indexes of {key} disagree")
    return parts


def umockdev_block(path, uevent=None, attrs=None, hexdata=None, links=None, node=None):
    lines = [f"P: {path}"] + [f"E: {k}={v}" for k, v in (uevent or {}).items()]
    lines += [f"A: {k}={v}\\n" for k, v in (attrs or {}).items()]
    lines += [f"H: report_descriptor={hexdata}"] if hexdata else []
    lines += [f"L: {k}={v}" for k, v in (links or {}).items()]
    lines += [f"N: {node}"] if node else []
    return "\n".join(lines) + "\n"


def interface_key(path):
    """A listed path without its collection, its instance's last field and \\kbd."""
    path = re.sub(r"&col[0-9a-f]+", "", path.lower()).removesuffix("\\kbd")
    return re.sub(r"&[0-9a-f]+#\{", "#{", path)


def check_descriptors(data, launcher, counts, problems, notes):
    """Every descriptor on one testbed, each behind its own USB interface (or, for the
    descriptors that Windows listed, the bus and interface Windows showed)."""
    rows = [line.rstrip("\n").split("\t") for line in open(os.path.join(data, "windows_paths.tsv"))]
    anchors = {}  # descriptor name -> the listing row it was taken from
    for line in open(os.path.join(data, "expected.tsv")):
        fields = line.rstrip("\n").split("\t")
        match = re.search(r"([0-9A-F]{4}_[0-9A-F]{4}_[0-9A-F]{4}_[0-9A-F]{4})_real", fields[-2])
        if match:
            anchors[fields[0]] = match.group(1)
    names = sorted(f[:-4] for f in os.listdir(os.path.join(data, "descriptors"))
                   if f.endswith(".hex"))
    blocks, plan = [], {}
    for number, name in enumerate(names, 1):
        hexdata = open(os.path.join(data, "descriptors", name + ".hex")).read().split()
        hexdata = "".join(hexdata).upper()
        bus, vid, pid, mi = 3, 0xFFFF, number, None
        row = next((r for r in rows if r[0] == anchors.get(name)), None)
        if row:
            vid, pid = int(row[0][:4], 16), int(row[0][5:9], 16)
            bus = 5 if "00001124" in row[3] else 3
            mi = int(row[2]) if int(row[2]) >= 0 else None
        usb = f"/devices/pci0000:00/0000:00:14.0/usb1/1-{number}"
        interface = f"{usb}/1-{number}:1.{mi or 0}"
        hid_name = f"{bus:04X}:{vid:04X}:{pid:04X}.{number:04X}"
        hid = (f"{interface}/bluetooth/hci0/hci0:{number}" if bus == 5 else interface) + \
            "/" + hid_name
        blocks.append(umockdev_block(usb, {"SUBSYSTEM": "usb", "DEVTYPE": "usb_device"},
                                     {"bNumInterfaces": " 2" if mi is not None else " 1"}))
        blocks.append(umockdev_block(interface, {"SUBSYSTEM": "usb", "DEVTYPE": "usb_interface"},
                                     {"bInterfaceNumber": f"{mi or 0:02x}"}))
        if bus == 5:
            blocks.append(umockdev_block(hid.rsplit("/", 1)[0], {"SUBSYSTEM": "bluetooth"}))
        blocks.append(umockdev_block(hid, {"SUBSYSTEM": "hid", "HID_ID":
                                           f"{bus:04X}:{vid:08X}:{pid:08X}"}, hexdata=hexdata))
        blocks.append(umockdev_block(f"{hid}/hidraw/hidraw{number}",
                                     {"SUBSYSTEM": "hidraw", "DEVNAME": f"/dev/hidraw{number}"},
                                     links={"device": f"../../../{hid_name}"},
                                     node=f"hidraw{number}"))
        device = {"hid_path": hid, "descriptor": name, "descriptor_hex": hexdata,
                  "hid_uevent": [f"HID_ID={bus:04X}:{vid:08X}:{pid:08X}"],
                  "parents": [{"DEVTYPE": None if bus == 5 else "usb_interface",
                               "attrs": {"bInterfaceNumber": f"{mi or 0:02x}"}},
                              {"attrs": {"bNumInterfaces": "2" if mi is not None else "1"}}]}
        plan[name] = (device, row)
    with tempfile.TemporaryDirectory() as work:
        testbed = os.path.join(work, "descriptors.umockdev")
        with open(testbed, "w") as f:
            f.write("\n".join(blocks))
        got = collections.Counter(split_paths(run_launcher(launcher, testbed), problems,
                                              "descriptor testbed"))
    agree, keyboards, high = 0, 0, 0
    for name, (device, row) in plan.items():
        before = len(problems)
        _, wanted = expected_paths(device, counts, problems)
        count = counts.get(name)
        if count is not None and len(wanted) != max(count, 1):
            problems.append(f"{name}: {len(wanted)} paths, expected.tsv counts {count}")
        for part in wanted:
            if got[part] != 1:
                problems.append(f"{name}: launcher lists {part} {got[part]} times")
        agree += len(problems) == before
        keyboards += any(k for _, k in wanted)
        high += len(wanted) >= 10
    print(f"descriptors: {agree}/{len(plan)} agree ({keyboards} with a keyboard collection,"
          f" {high} with 10 or more collections); launcher listed {sum(got.values())} paths")

    # The listings themselves: each row of a descriptor's interface, usage by usage.
    listed = 0
    for name, (device, row) in plan.items():
        if row is None:
            continue
        tops = parse_descriptor(bytes.fromhex(device["descriptor_hex"]))
        for other in rows:
            if interface_key(other[3]) != interface_key(row[3]):
                continue
            listed += 1
            path = other[3].lower()
            col = re.search(r"&col([0-9a-f]{2})#", path)
            index = int(col.group(1), 16) - 1 if col else 0
            usage = (int(other[0][15:19], 16), int(other[0][10:14], 16))  # VID_PID_UUUU_PPPP
            ours = (path[4:].rsplit("#", 2)[0], path.endswith("\\kbd"))
            if tops[index] != usage:
                problems.append(f"{other[0]}: second parser gives usage {tops[index]}")
            elif got[ours] == 1:
                continue
            elif got[(ours[0], not ours[1])] == 1 and not ours[1]:
                notes.append(f"{other[0]}: listed without \\kbd although a keyboard: {path}")
            elif "&ig_" in path:
                notes.append(f"{other[0]}: a game controller's XInput path, not a HID one: {path}")
            else:
                problems.append(f"{other[0]}: Windows lists {path}, the launcher does not")
    keyboards = [r for r in rows if r[0][10:] == "0006_0001"]
    marked = sum(r[3].endswith("\\kbd") for r in keyboards)
    print(f"windows listings: {listed} paths of {sum(1 for r in plan.values() if r[1])}"
          f" interfaces checked path by path; of {len(rows)} rows {len(keyboards)} are keyboard"
          f" collections, {marked} of them with \\kbd")
    for row in rows:
        col = re.search(r"&col([0-9a-f]+)#", row[3].lower())
        if (row[3].endswith("\\kbd") and row[0][10:] != "0006_0001") or \
                (col and len(col.group(1)) != 2):
            problems.append(f"{row[0]}: listing does not follow the rules: {row[3]}")


def check_machines(data, launcher, counts, jobs, problems):
    folder = os.path.join(data, "umockdev")
    index = {}
    for line in open(os.path.join(folder, "index.tsv")):
        fields = line.rstrip("\n").split("\t")
        index[fields[0]] = fields[2].rsplit(" (", 1)[0]
    recorded = collections.defaultdict(list)
    for line in open(os.path.join(data, "devices.jsonl")):
        device = json.loads(line)
        recorded[device["id"].rsplit("/", 1)[0] + "/"].append(device)
    machines = sorted(f[:-9] for f in os.listdir(folder) if f.endswith(".umockdev"))
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        listed = dict(zip(machines, pool.map(
            lambda m: run_launcher(launcher, os.path.join(folder, m + ".umockdev")), machines)))
    devices = agree = from_jsonl = 0
    rules = collections.Counter()
    for machine in machines:
        got = collections.Counter(split_paths(listed[machine], problems, machine))
        facts = recorded.get(index.get(machine))
        if facts:
            from_jsonl += len(facts)
        else:
            facts = facts_from_umockdev(os.path.join(folder, machine + ".umockdev"))
        wanted_all = collections.Counter()
        for device in facts:
            before = len(problems)
            rule, wanted = expected_paths(device, counts, problems)
            for part in wanted:
                wanted_all[part] += 1
                if got[part] < 1:
                    problems.append(f"{machine}: {device['hid_path']}: no path {part}")
            devices += 1
            agree += len(problems) == before
            rules[rule] += 1
        if got != wanted_all:
            problems.append(f"{machine}: launcher lists {sorted((got - wanted_all).elements())}"
                            f" beyond the recorded devices")
    print(f"machines: {len(machines)} run; {devices} devices ({from_jsonl} from devices.jsonl),"
          f" {agree} agree; by bus: {dict(rules)}")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    data, launcher = sys.argv[1], os.path.abspath(sys.argv[2])
    counts = {}
    for line in open(os.path.join(data, "expected.tsv")):
        fields = line.split("\t")
        if not line.startswith("#") and fields[1].isdigit():
            counts[fields[0]] = int(fields[1])
            if fields[2].isdigit() and int(fields[2]) != counts[fields[0]]:
                counts[fields[0]] = None  # the two parsers disagree: no expectation
    problems, notes = [], []
    check_descriptors(data, launcher, counts, problems, notes)
    check_machines(data, launcher, counts, os.cpu_count() * 4, problems)
    for note in notes:
        print("NOTE:", note)
    for problem in problems:
        print("DISAGREES:", problem)
    print(f"{len(problems)} disagreements")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
