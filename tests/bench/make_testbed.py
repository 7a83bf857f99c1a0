#!/usr/bin/env python3
"""Writes a umockdev description of COUNT HID interfaces to standard output, or with
--tree DIR lays the same devices out as a plain sysfs tree under DIR (devices/, class/hidraw/),
for runs that bind-mount it over /sys instead of intercepting file access.

Receivers are two-interface composite USB devices, each interface with one top-level
collection, as a keyboard-and-mouse receiver would have; for an odd COUNT the last receiver has
one interface.
Used by the detection benchmark, so that both scanners see the same testbed.
"""
import os
import sys

# Mouse application collection: Usage Page (Generic Desktop), Usage (Mouse), Collection
# (Application), ..., End Collection.
MOUSE = "05010902A1010901A100050919012903150025019503750181029501750581030501093009311581257F750895028106C0C0"
KEYBOARD = "05010906A101050719E029E71500250175019508810295017508810195067508150025650507190029658100C0"


def device_blocks(index, interfaces):
    bus_port = f"1-{index + 1}"
    usb = f"/devices/pci0000:00/0000:00:14.0/usb1/{bus_port}"
    blocks = [
        f"P: {usb}\nN: bus/usb/001/{index + 2:03d}\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n"
        f"E: PRODUCT=7c2f/2003/100\nA: idVendor=7c2f\nA: idProduct=2003\nA: bNumInterfaces= {len(interfaces)}\n"
        f"A: bNumConfigurations=1\nA: bDeviceClass=00\nA: busnum=1\nA: devnum={index + 2}\n"
        f"A: manufacturer=Tamsu\nA: product=Receiver\nA: serial=SN{index:06d}\n"
    ]
    for interface, descriptor in interfaces:
        hidraw = 2 * index + interface
        usb_interface = f"{usb}/{bus_port}:1.{interface}"
        hid_name = f"0003:7C2F:2003.{hidraw + 1:04X}"
        hid = f"{usb_interface}/{hid_name}"
        blocks.append(
            f"P: {usb_interface}\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nE: INTERFACE=3/1/{interface + 1}\n"
            f"A: bInterfaceNumber={interface:02x}\nA: bInterfaceClass=03\n"
        )
        blocks.append(
            f"P: {hid}\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00007C2F:00002003\nE: HID_NAME=Tamsu Receiver\n"
            f"E: HID_PHYS=usb-0000:00:14.0-{index + 1}/input{interface}\nE: HID_UNIQ=SN{index:06d}\n"
            f"E: MODALIAS=hid:b0003g0001v00007C2Fp00002003\nH: report_descriptor={descriptor}\n"
        )
        blocks.append(
            f"P: {hid}/hidraw/hidraw{hidraw}\nN: hidraw{hidraw}\nE: SUBSYSTEM=hidraw\n"
            f"E: DEVNAME=/dev/hidraw{hidraw}\nL: device=../../../{hid_name}\n"
        )
    return blocks


def write_tree(blocks, root):
    """Each block becomes a directory with uevent, attribute files and links, as sysfs has."""
    for block in blocks:
        lines = block.strip("\n").split("\n")
        directory = root + lines[0][3:]
        os.makedirs(directory, exist_ok=True)
        uevent = []
        for line in lines[1:]:
            kind, _, value = line.partition(": ")
            name, _, content = value.partition("=")
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


def main():
    count = int(sys.argv[1])
    blocks = []
    for index in range((count + 1) // 2):
        interfaces = ((0, KEYBOARD), (1, MOUSE)) if 2 * index + 1 < count else ((0, KEYBOARD),)
        blocks.extend(device_blocks(index, interfaces))
    if len(sys.argv) > 3 and sys.argv[2] == "--tree":
        write_tree(blocks, sys.argv[3])
    else:
        sys.stdout.write("\n".join(blocks))


if __name__ == "__main__":
    main()
