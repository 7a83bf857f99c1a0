"""Mechanical mutants (tests/mutation/operators.py) shown not to change what the product does.
A sampled one is listed, not run and not counted.

Each entry: the file; the source line as it stands, stripped; the change as `scripts/mutate.sh
--list` shows it; why no test can tell. An entry that matches no mutant any more is reported as
stale.
"""

import collections

Equivalent = collections.namedtuple("Equivalent", "file site change reason")

EQUIVALENT = [
    Equivalent("common/text_linux.cpp", "else if (lead >= 0xE0 && lead <= 0xEF)", "0xE0 -> 0xDF",
               "a lead byte 0xDF never gets here: the two-byte branch before takes it"),
    Equivalent("common/text_linux.cpp", "if (written <= 0)", "<= -> <",
               "write(2) returns 0 only when asked for 0 bytes, and the loop never asks for 0"),
    Equivalent("detect/hid_scan_linux.cpp", "constexpr size_t kAttributeBytes = 32;", "32 -> 31",
               "the number attributes sysfs gives hold 3 bytes (\"%02x\\n\", \"%2d\\n\"); only a "
               "text of 30 bytes or more would tell the bound"),
    Equivalent("detect/hid_scan_linux.cpp", "out[capacity - 1] = '\\0';", "1 -> 2",
               "the copied count text is already terminated; only a text of 30 bytes or more "
               "would be cut (sysfs gives 3)"),
    Equivalent("detect/hid_sysfs_map.cpp",
               "while (dot > devicePath && dot[-1] != '/' && dot[-1] != '.')", "> -> >=",
               "every device path begins with '/', where the walk stops before the start"),
    Equivalent("detect/hid_sysfs_map.cpp", "if (dot > devicePath && dot[-1] == '.')", "> -> >=",
               "every device path begins with '/', so the walk never reaches its start"),
    Equivalent("detect/hid_sysfs_map.cpp", "identity->hardwareId[0] = L'\\0';", "0 -> 1",
               "an identity without paths is never formatted: nothing reads its hardware part"),
    Equivalent("detect/hid_sysfs_map.cpp", "identity->instanceHash = 0;", "0 -> 1",
               "set again before any path is made; an identity without paths is never formatted"),
    Equivalent("detect/hid_sysfs_map.h", "constexpr size_t kHardwareIdChars = 96;", "96 -> 97",
               "the longest hardware part (Bluetooth's) has 64 characters, an I2C one at most 36"),
    Equivalent("detect/text_search_portable.cpp",
               "if (at[i] == L'\\0' || FoldAsciiCase(at[i]) != FoldAsciiCase(pattern[i]))",
               "|| -> &&",
               "the vendor bits only let rows be passed over: more rows are searched, each still "
               "for its whole text, and count the same"),
    Equivalent("launch/base_directory.cpp", "return true;", "true -> false",
               "no caller passes a null module path (each passes its own buffer)"),
]
