#!/usr/bin/env python3
"""Writes a umockdev description of COUNT HID interfaces to standard output, or with
--tree DIR lays the same devices out as a plain sysfs tree under DIR (devices/, class/hidraw/),
for runs that bind-mount it over /sys instead of intercepting file access. The tree also gets the
`subsystem` link of each device, as the kernel makes it, which libudev (and so hidapi) needs to
walk from a hidraw node to its HID and USB parents.

Receivers are two-interface composite USB devices, each interface with one top-level
collection, as a keyboard-and-mouse receiver would have; for an odd COUNT the last receiver has
one interface.
Used by the detection benchmark, so that both scanners see the same testbed.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kit_description import receiver_blocks, write_tree  # noqa: E402


def add_subsystem_links(blocks, root):
    for block in blocks:
        lines = block.strip("\n").split("\n")
        directory = root + lines[0][3:]
        for line in lines[1:]:
            if line.startswith("E: SUBSYSTEM="):
                subsystem = line[len("E: SUBSYSTEM="):]
                kind = "class" if subsystem == "hidraw" else "bus"
                target = os.path.join(root, kind, subsystem)
                os.makedirs(target, exist_ok=True)
                os.symlink(os.path.relpath(target, directory), os.path.join(directory, "subsystem"))


def main():
    count = int(sys.argv[1])
    blocks = receiver_blocks(count)
    if len(sys.argv) > 3 and sys.argv[2] == "--tree":
        write_tree(blocks, sys.argv[3])
        add_subsystem_links(blocks, sys.argv[3])
    else:
        sys.stdout.write("\n".join(blocks))


if __name__ == "__main__":
    main()
