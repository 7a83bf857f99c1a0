"""Mechanical mutants (tests/mutation/operators.py) shown not to change what the product does.
A sampled one is listed, not run and not counted.

Each entry: the file; the source line as it stands, stripped; the change as `scripts/mutate.sh
--list` shows it ('*' in either stands for any text); why no test can tell; the platform where
that holds, when only one; which of the file's equal lines, counted from 0, when not all; the
function they are in, when that matters. An entry that matches no mutant any more is reported
as stale.
"""

import collections

Equivalent = collections.namedtuple("Equivalent",
                                    "file site change reason platform occurrence function",
                                    defaults=(None, None, None))

EQUIVALENT = [
    Equivalent("common/text_linux.cpp", "else if (lead >= 0xE0 && lead <= 0xEF)", "0xE0 -> 0xDF",
               "a lead byte 0xDF never gets here: the two-byte branch before takes it"),
    *[Equivalent("common/error_output_linux.cpp", site, change,
                 "write(2) returns 0 only when asked for 0 bytes, and the loop never asks for 0")
      for site, change in (("if (written <= 0)", "<= -> <"),
                           ("if (written < 0 && errno == EINTR)", "0 -> 1"))],
    Equivalent("detect/receiver_nodes_linux.cpp",
               "if (strlen(name) < 15 || name[4] != ':' || name[9] != ':' || name[14] != '.')",
               "15 -> 14", "a name of 14 characters ends at name[14], which is then no '.'"),
    # hid-core names every HID device "%04X:%04X:%04X.%04X", and a hidraw node's device is its
    # HID device: no name of another shape, and no letter past 'F', reaches these.
    Equivalent("detect/receiver_nodes_linux.cpp", "else if (c >= 'A' && c <= 'F')", "&& -> ||",
               "after the digits, the kernel's names hold only the letters 'A' to 'F'"),
    Equivalent("detect/receiver_nodes_linux.cpp", "return false;", "false -> true",
               "every HID device name has the kernel's shape, so the check never fails",
               occurrence=0),
    Equivalent("launch/user_folders_linux.cpp", "return false;", "false -> true",
               "the path comes from a buffer of the same size, bounded: it always fits",
               function="MakeFolders"),
    Equivalent("launch/windows_program_linux.cpp", "if (fd < 0)", "0 -> 1",
               "the launcher's standard descriptors are open (PrepareProcess fills closed ones), "
               "so open never gives 0", function="WindowsProgramMachine"),
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
    Equivalent("launch/base_directory.cpp", "out[0] = L'\\0';", "removed: out[0] = L'\\0';",
               "the path is written whole below, unless it is null, which no caller passes"),
    Equivalent("common/bounded_format.cpp",
               "PutUnsigned(writer, value < 0 ? 0u - static_cast<unsigned>(value) : value, 10);",
               "0 -> 1", "for 0 both branches give 0"),
    Equivalent("common/bounded_format.cpp", "va_end(args);", "removed: va_end(args);",
               "va_end does nothing with gcc on x86-64 and i686, the two targets built"),
    Equivalent("common/bounded_format.h", "constexpr size_t kNarrowTraceBytes = 124;", "124 -> *",
               "only a summary line past 123 characters would show the bound: its 89 fixed "
               "characters leave 34 for the six counts, hundreds of thousands of interfaces "
               "each; the other narrow lines are shorter"),
    Equivalent("detect/device_rules.cpp", "return false;", "false -> true",
               "after the switch, which returns for every kind of rule", occurrence=1),
    # On Windows all three vendors count as present (text_search_windows.cpp): a row that names
    # another of them is searched as before.
    *[Equivalent("detect/device_rules.cpp", site, change, "on Windows every vendor is present",
                 "windows") for site, changes in (("{kRule*", ("0 -> 1", "1 -> 0", "1 -> 2", "2 -> 1")),
                                                   ("0,", ("0 -> 1",)))
      for change in changes],
    # The receivers' USB ids serve the Linux access check and udev rule alone: the Windows build
    # carries these functions and never calls them.
    *[Equivalent("detect/device_rules.cpp", "*", "*", "never called on Windows", "windows",
                 function=function)
      for function in ("HexValue", "PatternUsbId", "ListReceiverUsbIds", "IsReceiverUsbId")],
    Equivalent("detect/device_rules.h", "constexpr int kRuleVendorCount = 3;", "3 -> 4",
               "on Windows a fourth vendor bit is set and read by no row", "windows"),
    Equivalent("detect/text_search_windows.cpp", "return (1u << kRuleVendorCount) - 1;",
               "1u -> 0u", "0 - 1 sets every bit, those of the three vendors too", "windows"),
    Equivalent("detect/hid_scan_windows.cpp",
               "if (requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))", "< -> <=",
               "only an interface path of one character needs exactly the structure's size; "
               "every interface path begins \\\\?\\", "windows"),
    Equivalent("common/system_library_windows.cpp",
               "g_dwSystemLibraryFlags = LOAD_WITH_ALTERED_SEARCH_PATH;",
               "removed: g_dwSystemLibraryFlags = LOAD_WITH_ALTERED_SEARCH_PATH;",
               "the flag starts with that value, and the search is locked once, before any load",
               "windows"),
    *[Equivalent("common/system_library_windows.cpp", site, "1 -> 0",
                 "only a system folder of 258 characters or more would tell", "windows")
      for site in ("if (length == 0 || length + 1 >= kPathChars)", "if (length + 1 >= kPathChars)")],
    Equivalent("launch/base_directory_windows.cpp",
               "if (directory[0] == L'\\\\' && directory[1] == L'\\\\' && directory[2] == L'?' &&",
               "1 -> 0", "differs only for a \\\\?\\ prefix with '/' as its second character, "
               "which no module path Windows gives has", "windows"),
    # The stand-ins of SetupDiEnumDeviceInterfaces and SetupDiGetDeviceInterfaceDetailW.
    *[Equivalent("launch/main_windows.cpp", "SetLastError(g_dwUnboundImportError);", "removed: *",
                 "the pass reads no error code after this call", "windows", occurrence)
      for occurrence in (1, 2)],
    *[Equivalent("launch/platform_windows.cpp", site, "0 -> 1",
                 "differs only when GetModuleFileNameW fails or gives one character: either way "
                 "the base is no fully qualified folder and nothing starts", "windows")
      for site in ("const bool whole = length != 0 && length < capacity;", "if (length == 0)")],
]
