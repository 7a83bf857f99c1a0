#include "receiver_nodes_linux.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "hid_scan_linux.h"

#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// The value of 4 upper-case hex digits, or -1.
int HexValue(const char* text)
{
    int value = 0;
    for (int i = 0; i < 4; ++i)
    {
        const char c = text[i];
        if (c >= '0' && c <= '9')
            value = value * 16 + (c - '0');
        else if (c >= 'A' && c <= 'F')
            value = value * 16 + (c - 'A' + 10);
        else
            return -1;
    }
    return value;
}

// The ids in a HID device's name, which the kernel writes BBBB:VVVV:PPPP.NNNN on every bus.
bool UsbIdOfHidDevice(const char* devicePath, UsbDeviceId* id)
{
    const char* slash = strrchr(devicePath, '/');
    const char* name = slash != nullptr ? slash + 1 : devicePath;
    if (strlen(name) < 15 || name[4] != ':' || name[9] != ':' || name[14] != '.')
        return false;
    const int vendor = HexValue(name + 5);
    const int product = HexValue(name + 10);
    if (vendor < 0 || product < 0)
        return false;
    *id = {static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
    return true;
}

// False, with the node's path in refused, when name is a receiver's node the caller cannot open.
bool NodeOpenToCaller(int classFd, int deviceFd, const char* deviceRoot, const char* name,
                      char* refused, size_t capacity)
{
    char device[PATH_MAX];
    UsbDeviceId id;
    if (!ResolveHidDevice(classFd, name, device, sizeof device) || !UsbIdOfHidDevice(device, &id) ||
        !IsReceiverUsbId(id))
        return true;
    // By the real user, as the tool will open it; an ACL that logind keeps counts.
    if (faccessat(deviceFd, name, R_OK | W_OK, 0) == 0)
        return true;
    FormatBoundedA(refused, capacity, "%s/%s", deviceRoot, name);
    return false;
}

} // namespace

bool CanOpenReceiverNodes(const char* sysfsRoot, const char* deviceRoot, char* refused,
                          size_t capacity)
{
    char classPath[PATH_MAX];
    if (!FormatBoundedA(classPath, sizeof classPath, "%s/class/hidraw", sysfsRoot))
        return true;
    const int deviceFd = open(deviceRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* list = opendir(classPath);
    bool open = true;
    while (list != nullptr && deviceFd >= 0 && open)
    {
        const dirent* entry = readdir(list);
        if (entry == nullptr)
            break;
        if (entry->d_name[0] != '.')
            open = NodeOpenToCaller(dirfd(list), deviceFd, deviceRoot, entry->d_name, refused,
                                    capacity);
    }
    if (list != nullptr)
        closedir(list);
    if (deviceFd >= 0)
        close(deviceFd);
    return open;
}
