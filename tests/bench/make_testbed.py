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

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kit_description import receiver_blocks, write_tree  # noqa: E402


def main():
    count = int(sys.argv[1])
    blocks = receiver_blocks(count)
    if len(sys.argv) > 3 and sys.argv[2] == "--tree":
        write_tree(blocks, sys.argv[3])
    else:
        sys.stdout.write("\n".join(blocks))


if __name__ == "__main__":
    main()
