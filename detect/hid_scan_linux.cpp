// Lists the HID interfaces from sysfs and names each as Windows would. The sysfs root is opened
// by name, as test harnesses that fake sysfs intercept that; everything below it is opened
// relative to it (openat, readlinkat), which costs one path lookup per attribute and no
// directory handle per device.
#include "hid_scan_linux.h"
#include "hid_scan.h"

#include "bounded_format.h"
#include "error_output_linux.h"
#include "hid_sysfs_map.h"
#include "text_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

uint32_t g_dwSysfsOpens;

namespace
{

// A uevent is at most a couple of kilobytes; a number attribute a few bytes.
constexpr size_t kUeventBytes = 4096;
constexpr size_t kAttributeBytes = 32;
// What a parent's uevent says when its bInterfaceNumber has already shown it is an interface.
constexpr char kUsbInterfaceUevent[] = "DEVTYPE=usb_interface\n";

// Reads at most capacity bytes of a file below a device directory. False when it cannot be
// opened or read, as when its device has just gone away.
bool ReadFileBytes(int directoryFd, const char* name, unsigned char* out, size_t capacity,
                   size_t* length)
{
    *length = 0;
    ++g_dwSysfsOpens;
    const int fd = openat(directoryFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    while (*length < capacity)
    {
        const size_t wanted = capacity - *length;
        const ssize_t got = read(fd, out + *length, wanted);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        *length += static_cast<size_t>(got);
        // Sysfs hands over an attribute in one read; a short read is its end.
        if (static_cast<size_t>(got) < wanted)
            break;
    }
    close(fd);
    return ok;
}

// Follows one relative link lexically: directory is the link's directory below the sysfs
// root ("/class/hidraw"), target the link's text; out is in the same form. Sysfs links point into
// devices/ through directories that are never links themselves, so no component needs to be read;
// this saves the dozen readlink calls per interface that realpath makes.
bool JoinLinkTarget(const char* directory, const char* target, char* out, size_t capacity)
{
    size_t length = strlen(directory);
    if (target[0] == '/' || length >= capacity)
        return false;
    memcpy(out, directory, length + 1);
    for (const char* part = target; *part != '\0';)
    {
        const char* end = strchr(part, '/');
        const size_t partLength = end != nullptr ? static_cast<size_t>(end - part) : strlen(part);
        if (partLength == 2 && part[0] == '.' && part[1] == '.')
        {
            char* slash = strrchr(out, '/');
            if (slash == nullptr)
                return false; // would climb above the sysfs root
            *slash = '\0';
            length = static_cast<size_t>(slash - out);
        }
        else if (partLength != 0 && !(partLength == 1 && part[0] == '.'))
        {
            if (length + 1 + partLength >= capacity)
                return false;
            out[length++] = '/';
            memcpy(out + length, part, partLength);
            length += partLength;
            out[length] = '\0';
        }
        part += partLength + (end != nullptr ? 1 : 0);
    }
    return true;
}

// What the interfaces of one USB device share, read once per pass.
struct UsbDeviceFacts
{
    std::string path;
    char interfaceCount[kAttributeBytes];
};

// Where the path's last component starts, at its '/'; 0 when it has none to take off.
size_t ParentLength(const char* path, size_t length)
{
    while (length > 0 && path[--length] != '/')
    {
    }
    return length;
}

// Attribute name of the device whose path below the root is the first length characters of
// devicePath ("devices/..."). False, with nothing read, when it cannot be read.
bool ReadAttributeBytes(int rootFd, const char* devicePath, size_t length, const char* name,
                        unsigned char* out, size_t capacity, size_t* got)
{
    char path[PATH_MAX];
    const size_t nameLength = strlen(name);
    *got = 0;
    if (length + 1 + nameLength >= sizeof path)
        return false;
    memcpy(path, devicePath, length);
    path[length] = '/';
    memcpy(path + length + 1, name, nameLength + 1);
    return ReadFileBytes(rootFd, path, out, capacity, got);
}

// The same as a text, terminated; longer texts are cut. An unreadable one reads as empty.
bool ReadAttributeText(int rootFd, const char* devicePath, size_t length, const char* name,
                       char* out, size_t capacity)
{
    size_t got = 0;
    const bool ok = ReadAttributeBytes(rootFd, devicePath, length, name,
                                       reinterpret_cast<unsigned char*>(out), capacity - 1, &got);
    out[ok ? got : 0] = '\0';
    return ok;
}

// The uevent line HID_ID=BBBB:VVVVVVVV:PPPPPPPP, from the HID device's own name: the kernel
// names it BBBB:VVVV:PPPP.NNNN, in upper-case hex, after the same three numbers. False for a
// name of another shape, whose uevent must be read instead.
bool HidIdFromDeviceName(const char* devicePath, size_t length, char* out, size_t capacity)
{
    const size_t parent = ParentLength(devicePath, length);
    const char* name = devicePath + parent + (devicePath[parent] == '/' ? 1 : 0);
    const char* const shape = "XXXX:XXXX:XXXX.";
    for (size_t i = 0; shape[i] != '\0'; ++i)
    {
        const char c = name[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (shape[i] == 'X' ? !hex : c != shape[i])
            return false;
    }
    static const char kLine[] = "HID_ID=BBBB:0000VVVV:0000PPPP\n";
    if (capacity < sizeof kLine)
        return false;
    memcpy(out, kLine, sizeof kLine);
    memcpy(out + 7, name, 4);
    memcpy(out + 16, name + 5, 4);
    memcpy(out + 25, name + 10, 4);
    return true;
}

// bNumInterfaces of the USB device at the first length characters of usbPath, from this pass's
// earlier reads when there are any. A failed read is not kept: the next interface tries again,
// as it did before it was shared.
void ReadInterfaceCount(int rootFd, const char* usbPath, size_t length,
                        std::vector<UsbDeviceFacts>& usbDevices, char* out, size_t capacity)
{
    for (const UsbDeviceFacts& known : usbDevices)
    {
        if (known.path.compare(0, std::string::npos, usbPath, length) == 0)
        {
            static_assert(sizeof known.interfaceCount == kAttributeBytes);
            memcpy(out, known.interfaceCount,
                   capacity < kAttributeBytes ? capacity : kAttributeBytes);
            out[capacity - 1] = '\0';
            return;
        }
    }
    if (!ReadAttributeText(rootFd, usbPath, length, "bNumInterfaces", out, capacity))
        return;
    UsbDeviceFacts facts;
    facts.path.assign(usbPath, length);
    FormatBoundedA(facts.interfaceCount, sizeof facts.interfaceCount, "%s", out);
    usbDevices.push_back(facts);
}

// Names every path of one HID device; each attribute is opened relative to the sysfs root.
// A device that is gone, or whose attributes cannot be read, yields nothing.
void NameHidDevice(int rootFd, const char* relativeDevice, std::vector<UsbDeviceFacts>& usbDevices)
{
    const char* devicePath = relativeDevice + 1; // below the root, without the leading '/'
    const size_t deviceLength = strlen(devicePath);
    // Only an I2C device (bus 0018) needs more of its uevent than the name says: HID_NAME.
    char hidUevent[kUeventBytes];
    if ((!HidIdFromDeviceName(devicePath, deviceLength, hidUevent, sizeof hidUevent) ||
         strncmp(hidUevent, "HID_ID=0018:", 12) == 0) &&
        !ReadAttributeText(rootFd, devicePath, deviceLength, "uevent", hidUevent, sizeof hidUevent))
        return;

    // Only a USB HID device looks at its parents, which need not be USB, so missing attributes
    // are normal. A bInterfaceNumber is enough to show a usb_interface parent; its uevent is read
    // only when that is in doubt.
    char parentUevent[kUeventBytes];
    char interfaceNumber[kAttributeBytes];
    char interfaceCount[kAttributeBytes];
    parentUevent[0] = '\0';
    interfaceNumber[0] = '\0';
    interfaceCount[0] = '\0';
    const size_t parentLength = ParentLength(devicePath, deviceLength);
    if (IsUsbHidUevent(hidUevent) && parentLength > 0)
    {
        ReadAttributeText(rootFd, devicePath, parentLength, "bInterfaceNumber", interfaceNumber,
                          sizeof interfaceNumber);
        if (IsInterfaceNumberText(interfaceNumber))
            memcpy(parentUevent, kUsbInterfaceUevent, sizeof kUsbInterfaceUevent);
        else
            ReadAttributeText(rootFd, devicePath, parentLength, "uevent", parentUevent,
                              sizeof parentUevent);
        const size_t usbLength = ParentLength(devicePath, parentLength);
        if (IsUsbInterfaceUevent(parentUevent) && usbLength > 0)
            ReadInterfaceCount(rootFd, devicePath, usbLength, usbDevices, interfaceCount,
                               sizeof interfaceCount);
    }

    // Read last: a device that went away while its other facts were read is caught here.
    unsigned char descriptor[kMaxReportDescriptorBytes];
    size_t descriptorSize = 0;
    if (!ReadAttributeBytes(rootFd, devicePath, deviceLength, "report_descriptor", descriptor,
                            sizeof descriptor, &descriptorSize))
        return;

    // The instance is derived from the path below the root, so it does not depend on where
    // sysfs is mounted.
    const HidSysfsFacts facts{hidUevent,  parentUevent,   interfaceNumber, interfaceCount,
                              descriptor, descriptorSize, relativeDevice};
    HidInterfaceIdentity identity;
    DescribeHidInterface(facts, &identity);
    for (int index = 0; index < identity.pathCount; ++index)
    {
        wchar_t interfacePath[kPathChars];
        if (FormatHidInterfacePath(identity, index, interfacePath, kPathChars))
            ReportHidInterfacePath(interfacePath);
    }
}

void ReportUnreadableList(const char* sysfsRoot)
{
    char line[PATH_MAX + 64];
    FormatBoundedA(line, sizeof line, "opendir %s/class/hidraw failed: %x\n", sysfsRoot,
                   static_cast<unsigned>(errno));
    WriteText(STDOUT_FILENO, line);
}

// The hidraw entries, sorted, so that a pass lists the same devices in the same order every time.
void NameHidrawDevices(int rootFd, const char* sysfsRoot)
{
    const int classFd = openat(rootFd, "class/hidraw", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (classFd < 0)
    {
        // A machine that never registered a hidraw device has no list at all: no interfaces.
        if (errno != ENOENT)
            ReportUnreadableList(sysfsRoot);
        return;
    }
    DIR* directory = fdopendir(classFd);
    if (directory == nullptr)
    {
        ReportUnreadableList(sysfsRoot);
        close(classFd);
        return;
    }
    std::vector<std::string> names;
    // A read error ends the list as its end would.
    while (const dirent* entry = readdir(directory))
    {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());

    std::vector<UsbDeviceFacts> usbDevices;
    for (const std::string& name : names)
    {
        char relativeDevice[PATH_MAX];
        if (ResolveHidDevice(classFd, name.c_str(), relativeDevice, sizeof relativeDevice))
            NameHidDevice(rootFd, relativeDevice, usbDevices);
    }
    // Also closes classFd.
    closedir(directory);
}

} // namespace

// The class link's target is <hid>/hidraw/<name>, so the HID device is its grandparent; only a
// target of another shape costs a read of the node's device link.
bool ResolveHidDevice(int classFd, const char* name, char* out, size_t capacity)
{
    char target[PATH_MAX];
    char node[PATH_MAX];
    ssize_t length = readlinkat(classFd, name, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    if (!JoinLinkTarget("/class/hidraw", target, node, sizeof node))
        return false;
    const size_t nodeLength = strlen(node);
    const size_t nameLength = strlen(name);
    const size_t tailLength = sizeof "/hidraw/" - 1 + nameLength;
    if (nodeLength > tailLength && nodeLength - tailLength < capacity &&
        strncmp(node + nodeLength - tailLength, "/hidraw/", 8) == 0 &&
        strcmp(node + nodeLength - nameLength, name) == 0)
    {
        memcpy(out, node, nodeLength - tailLength);
        out[nodeLength - tailLength] = '\0';
        return true;
    }
    char linkName[PATH_MAX];
    if (!FormatBoundedA(linkName, sizeof linkName, "%s/device", name))
        return false;
    length = readlinkat(classFd, linkName, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    return JoinLinkTarget(node, target, out, capacity);
}

void EnumHidDevicesUnder(const char* sysfsRoot)
{
    const int rootFd = open(sysfsRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
    {
        if (errno != ENOENT)
            ReportUnreadableList(sysfsRoot);
        return;
    }
    NameHidrawDevices(rootFd, sysfsRoot);
    close(rootFd);
    // One write for the pass's trace lines, before any wait that follows it.
    FlushErrorText();
}

void EnumHidDevices()
{
    EnumHidDevicesUnder("/sys");
}
