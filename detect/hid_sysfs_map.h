// For one device: fill HidSysfsFacts, call DescribeHidInterface, then FormatHidInterfacePath for
// each index below pathCount.
#pragma once

#include <cstddef>
#include <cstdint>

// The kernel keeps report descriptors of at most this many bytes; nothing beyond is read.
constexpr size_t kMaxReportDescriptorBytes = 4096;
// Each top-level collection takes at least a Collection and an End Collection byte.
constexpr int kMaxTopLevelCollections = static_cast<int>(kMaxReportDescriptorBytes / 2);
// Room for the longest hardware part this mapping produces (the Bluetooth one), terminator
// included.
constexpr size_t kHardwareIdChars = 96;

// What sysfs says about one HID device, as plain texts and bytes. A null text counts as empty.
struct HidSysfsFacts
{
    const char* hidUevent;       // <hid>/uevent: HID_ID, HID_NAME
    const char* parentUevent;    // the direct parent's uevent; DEVTYPE=usb_interface for USB
    const char* interfaceNumber; // <parent>/bInterfaceNumber, hex ("01\n")
    const char* interfaceCount;  // <parent>/../bNumInterfaces, decimal (" 2\n")
    const unsigned char* descriptor;
    size_t descriptorSize;
    // The HID device's real path below the sysfs root, "/devices/.../0003:1BCF:0501.0003";
    // the instance part is derived from it.
    const char* devicePath;
};

// One HID device as Windows would list it: the hardware part shared by its paths, the
// instance hash, and how many paths it yields.
struct HidInterfaceIdentity
{
    wchar_t hardwareId[kHardwareIdChars]; // "hid#vid_1bcf&pid_0501&mi_00", lower case
    uint32_t instanceHash;
    int pathCount;      // 0 when the device has no usable HID_ID
    bool perCollection; // each path names its collection (&colnn)
    // Bit i set: path i is a keyboard collection (Generic Desktop / Keyboard).
    uint32_t keyboardPaths[kMaxTopLevelCollections / 32];
};

// What decides which parent facts a pass reads: a USB HID device (HID_ID bus 0003) takes them
// only from a usb_interface parent (DEVTYPE=usb_interface), and only such a parent has a
// bInterfaceNumber ("01\n", hex, at most ff).
bool IsUsbHidUevent(const char* hidUevent);
bool IsUsbInterfaceUevent(const char* parentUevent);
bool IsInterfaceNumberText(const char* text);

// Shapes of the hardware part, by bus:
//   USB with a usb_interface as direct parent: hid#vid_vvvv&pid_pppp, plus &mi_nn when the USB
//     device has more than one interface;
//   Bluetooth (0005): hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002vvvv_pid&pppp;
//   I2C (0018): hid#<ACPI name from HID_NAME>;
//   anything else, including HID devices a driver creates under a receiver: hid#bus_bbbb_vid&
//     vvvv_pid&pppp, which no receiver rule can match.
// Two or more top-level collections give one path per collection; none, one or a malformed
// descriptor give one path without &col. A path whose collection is a keyboard ends in \kbd.
void DescribeHidInterface(const HidSysfsFacts& facts, HidInterfaceIdentity* identity);

// The whole interface path of collection index (0-based):
// \\?\<hardware>[&colnn]#7&<hash>&0&<index>#{4d1e55b2-f16f-11cf-88cb-001111000030}[\kbd],
// nn being the 1-based collection number in hex, at least two digits.
// Returns false when index is out of range or the path did not fit capacity.
bool FormatHidInterfacePath(const HidInterfaceIdentity& identity, int index, wchar_t* out,
                            size_t capacity);
