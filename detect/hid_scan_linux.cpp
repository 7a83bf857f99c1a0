// Lists the HID interfaces from sysfs and names each as Windows would. Plain opendir, readdir,
// open, read and readlink on purpose: test harnesses that fake sysfs intercept exactly those.
#include "hid_scan_linux.h"
#include "hid_scan.h"

#include "bounded_format.h"
#include "hid_sysfs_map.h"
#include "text_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// A uevent is at most a couple of kilobytes; a number attribute a few bytes.
constexpr size_t kUeventBytes = 4096;
constexpr size_t kAttributeBytes = 32;

// Reads at most capacity bytes of a file below a device directory. False when it cannot be
// opened or read, as when its device has just gone away.
bool ReadFileBytes(int directoryFd, const char* name, unsigned char* out, size_t capacity,
                   size_t* length)
{
    *length = 0;
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

// A text attribute, terminated; longer texts are cut. An unreadable one reads as empty.
bool ReadFileText(int directoryFd, const char* name, char* out, size_t capacity)
{
    size_t length = 0;
    const bool ok = ReadFileBytes(directoryFd, name, reinterpret_cast<unsigned char*>(out),
                                  capacity - 1, &length);
    out[ok ? length : 0] = '\0';
    return ok;
}

// Follows one relative link lexically: directory is the link's directory below the sysfs
// root ("/class/hidraw"), target the link's text; out is in the same form. Sysfs links point into
// devices/ through directories that are never links themselves, so no component needs to be read;
// this saves the dozen readlink calls per interface that realpath makes.
bool JoinLinkTarget(const char* directory, const char* target, char* out, size_t capacity)
{
    if (target[0] == '/' || !FormatBoundedA(out, capacity, "%s", directory))
        return false;
    size_t length = strlen(out);
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

// The HID device behind one hidraw entry, as a path below the sysfs root ("/devices/...").
bool ResolveHidDevice(const char* classDirectory, const char* name, char* out, size_t capacity)
{
    char path[PATH_MAX];
    char target[PATH_MAX];
    char node[PATH_MAX];
    if (!FormatBoundedA(path, sizeof path, "%s/%s", classDirectory, name))
        return false;
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    if (!JoinLinkTarget("/class/hidraw", target, node, sizeof node) ||
        !FormatBoundedA(path, sizeof path, "%s/%s/device", classDirectory, name))
        return false;
    length = readlink(path, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    return JoinLinkTarget(node, target, out, capacity);
}

// Names every path of one HID device, its facts read relative to its open directory.
void NameHidDevice(int deviceFd, const char* relativeDevice)
{
    char hidUevent[kUeventBytes];
    if (!ReadFileText(deviceFd, "uevent", hidUevent, sizeof hidUevent))
        return;

    // The direct parent, and its parent; neither need be USB, so missing attributes are normal.
    char parentUevent[kUeventBytes];
    char interfaceNumber[kAttributeBytes];
    char interfaceCount[kAttributeBytes];
    ReadFileText(deviceFd, "../uevent", parentUevent, sizeof parentUevent);
    ReadFileText(deviceFd, "../bInterfaceNumber", interfaceNumber, sizeof interfaceNumber);
    ReadFileText(deviceFd, "../../bNumInterfaces", interfaceCount, sizeof interfaceCount);

    // Read last: a device that went away while its other facts were read is caught here.
    unsigned char descriptor[kMaxReportDescriptorBytes];
    size_t descriptorSize = 0;
    if (!ReadFileBytes(deviceFd, "report_descriptor", descriptor, sizeof descriptor,
                       &descriptorSize))
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

// The HID device behind one hidraw entry. A device that is gone, or whose attributes cannot be
// read, yields nothing. Its directory is opened once, so each attribute is a short lookup.
void VisitHidraw(const char* sysfsRoot, const char* classDirectory, const char* name)
{
    char relativeDevice[PATH_MAX];
    char devicePath[PATH_MAX];
    if (!ResolveHidDevice(classDirectory, name, relativeDevice, sizeof relativeDevice) ||
        !FormatBoundedA(devicePath, sizeof devicePath, "%s%s", sysfsRoot, relativeDevice))
        return;
    const int deviceFd = open(devicePath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (deviceFd < 0)
        return;
    NameHidDevice(deviceFd, relativeDevice);
    close(deviceFd);
}

} // namespace

void EnumHidDevicesUnder(const char* sysfsRoot)
{
    char classDirectory[PATH_MAX];
    if (!FormatBoundedA(classDirectory, sizeof classDirectory, "%s/class/hidraw", sysfsRoot))
        return;
    DIR* directory = opendir(classDirectory);
    if (directory == nullptr)
    {
        // A machine that never registered a hidraw device has no list at all: no interfaces.
        if (errno != ENOENT)
        {
            char line[PATH_MAX + 64];
            FormatBoundedA(line, sizeof line, "opendir %s failed: %x\n", classDirectory,
                           static_cast<unsigned>(errno));
            WriteText(STDOUT_FILENO, line);
        }
        return;
    }
    // Sorted, so that a pass lists the same devices in the same order every time.
    std::vector<std::string> names;
    // A read error ends the list as its end would.
    while (const dirent* entry = readdir(directory))
    {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names)
        VisitHidraw(sysfsRoot, classDirectory, name.c_str());
}

void EnumHidDevices()
{
    EnumHidDevicesUnder("/sys");
}
