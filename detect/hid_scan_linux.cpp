// Lists the HID interfaces from sysfs and names each as Windows would. Plain opendir, readdir,
// open, read and realpath on purpose: test harnesses that fake sysfs intercept exactly those.
#include "hid_scan_linux.h"
#include "hid_scan.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "hid_sysfs_map.h"
#include "text_linux.h"
#include "trace.h"

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

// Reads at most capacity bytes of a file. False when it cannot be opened or read, as when its
// device has just gone away.
bool ReadFileBytes(const char* path, unsigned char* out, size_t capacity, size_t* length)
{
    *length = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = true;
    while (*length < capacity)
    {
        const ssize_t got = read(fd, out + *length, capacity - *length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        *length += static_cast<size_t>(got);
    }
    close(fd);
    return ok;
}

// A text attribute, terminated; longer texts are cut. An unreadable one reads as empty.
bool ReadFileText(const char* path, char* out, size_t capacity)
{
    size_t length = 0;
    const bool ok =
        ReadFileBytes(path, reinterpret_cast<unsigned char*>(out), capacity - 1, &length);
    out[ok ? length : 0] = '\0';
    return ok;
}

// Names every path of the HID device behind one hidraw entry. A device that is gone, or whose
// attributes cannot be read, yields nothing.
void VisitHidraw(const char* classDirectory, const char* name, const char* realRoot)
{
    char path[PATH_MAX];
    char devicePath[PATH_MAX];
    if (!FormatBoundedA(path, sizeof path, "%s/%s/device", classDirectory, name) ||
        realpath(path, devicePath) == nullptr)
        return;

    char hidUevent[kUeventBytes];
    if (!FormatBoundedA(path, sizeof path, "%s/uevent", devicePath) ||
        !ReadFileText(path, hidUevent, sizeof hidUevent))
        return;

    // The direct parent, and its parent; neither need be USB, so missing attributes are normal.
    char parentPath[PATH_MAX];
    FormatBoundedA(parentPath, sizeof parentPath, "%s", devicePath);
    char* slash = strrchr(parentPath, '/');
    if (slash == nullptr || slash == parentPath)
        return;
    *slash = '\0';
    char parentUevent[kUeventBytes];
    char interfaceNumber[kAttributeBytes];
    char interfaceCount[kAttributeBytes];
    FormatBoundedA(path, sizeof path, "%s/uevent", parentPath);
    ReadFileText(path, parentUevent, sizeof parentUevent);
    FormatBoundedA(path, sizeof path, "%s/bInterfaceNumber", parentPath);
    ReadFileText(path, interfaceNumber, sizeof interfaceNumber);
    FormatBoundedA(path, sizeof path, "%s/../bNumInterfaces", parentPath);
    ReadFileText(path, interfaceCount, sizeof interfaceCount);

    // Read last: a device that went away while its other facts were read is caught here.
    unsigned char descriptor[kMaxReportDescriptorBytes];
    size_t descriptorSize = 0;
    if (!FormatBoundedA(path, sizeof path, "%s/report_descriptor", devicePath) ||
        !ReadFileBytes(path, descriptor, sizeof descriptor, &descriptorSize))
        return;

    // The instance is derived from the path below the root, so it does not depend on where
    // sysfs is mounted.
    const size_t rootLength = strcmp(realRoot, "/") == 0 ? 0 : strlen(realRoot);
    const char* relativePath =
        strncmp(devicePath, realRoot, rootLength) == 0 && devicePath[rootLength] == '/'
            ? devicePath + rootLength
            : devicePath;

    const HidSysfsFacts facts{hidUevent,  parentUevent,   interfaceNumber, interfaceCount,
                              descriptor, descriptorSize, relativePath};
    HidInterfaceIdentity identity;
    DescribeHidInterface(facts, &identity);
    for (int index = 0; index < identity.pathCount; ++index)
    {
        wchar_t interfacePath[kPathChars];
        if (FormatHidInterfacePath(identity, index, interfacePath, kPathChars))
            ReportHidInterfacePath(interfacePath);
    }
}

} // namespace

void ReportHidInterfacePath(const wchar_t* path)
{
    wchar_t line[kPathChars];
    FormatBoundedW(line, kPathChars, L"find: %s\n", path);
    TraceWide(line);
    ClassifyDevicePath(path);
}

void EnumHidDevicesUnder(const char* sysfsRoot)
{
    char classDirectory[PATH_MAX];
    char realRoot[PATH_MAX];
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

    if (realpath(sysfsRoot, realRoot) == nullptr)
        return;
    for (const std::string& name : names)
        VisitHidraw(classDirectory, name.c_str(), realRoot);
}

void EnumHidDevices()
{
    EnumHidDevicesUnder("/sys");
}
