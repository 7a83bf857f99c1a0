#include "device_rule_linux.h"

#include "bounded_format.h"
#include "error_output_linux.h"
#include "file_linux.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Four lower-case hex digits, as sysfs writes idVendor and idProduct.
void FormatUsbIdText(uint16_t value, char out[5])
{
    for (int i = 0; i < 4; ++i)
        out[i] = "0123456789abcdef"[(value >> (12 - 4 * i)) & 0xF];
    out[4] = '\0';
}

enum class RuleFile
{
    kAbsent,
    kOwn,
    kOther,
};

// Whether folder holds the rules file at all, and if so whether it is the launcher's own.
RuleFile ReadRuleFile(const char* folder)
{
    char path[PATH_MAX];
    if (!FormatBoundedA(path, sizeof path, "%s/%s", folder, kDeviceRuleFileName))
        return RuleFile::kOther;
    struct stat status;
    if (lstat(path, &status) != 0 && errno == ENOENT)
        return RuleFile::kAbsent;
    // A link is not followed (to another user's file, or /etc/shadow) and a FIFO not waited on.
    char own[kDeviceRuleBytes];
    return FormatDeviceRule(own, sizeof own) && FileHoldsText(AT_FDCWD, path, own)
               ? RuleFile::kOwn
               : RuleFile::kOther;
}

} // namespace

bool FormatDeviceRule(char* out, size_t capacity)
{
    bool whole = FormatBoundedA(
        out, capacity, "%s",
        "# The hidraw nodes of Tamsu receivers, opened to the person at the seat while they\n"
        "# are there. Written by `tamsu-launcher --device-rule`; install it as\n"
        "# /etc/udev/rules.d/70-tamsu-receivers.rules.\n");
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    for (size_t i = 0; i < count && whole; ++i)
    {
        // udev compares the attributes' text; all keys that look at parents must match on the same
        // one, here the USB device.
        char vendor[5];
        char product[5];
        FormatUsbIdText(ids[i].vendor, vendor);
        FormatUsbIdText(ids[i].product, product);
        const size_t used = strlen(out);
        whole =
            FormatBoundedA(out + used, capacity - used,
                           "SUBSYSTEM==\"hidraw\", SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"%s\", "
                           "ATTRS{idProduct}==\"%s\", TAG+=\"uaccess\"\n",
                           vendor, product);
    }
    return whole;
}

void WriteDeviceRule(int fd)
{
    char text[kDeviceRuleBytes];
    FormatDeviceRule(text, sizeof text);
    WriteText(fd, text);
}

bool FolderHoldsDeviceRule(const char* folder)
{
    return ReadRuleFile(folder) == RuleFile::kOwn;
}

bool IsDeviceRuleInstalled()
{
    // udev's folders in the order it reads them; a file in /etc replaces (or, as a link to
    // /dev/null, masks) one of the same name in the others.
    static const char* const kRuleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                               "/usr/lib/udev/rules.d"};
    for (const char* folder : kRuleFolders)
    {
        const RuleFile file = ReadRuleFile(folder);
        if (file != RuleFile::kAbsent)
            return file == RuleFile::kOwn;
    }
    return false;
}
