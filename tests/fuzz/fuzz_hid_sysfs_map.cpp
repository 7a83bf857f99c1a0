// The mapping of one device's sysfs facts to interface paths, on arbitrary texts and bytes.
// Input: uevent \0 parent uevent \0 bInterfaceNumber \0 bNumInterfaces \0 device path \0
// descriptor bytes (missing fields are empty). Checks: every path has the Windows shape in lower
// case (a keyboard's ending in \kbd), paths are distinct, and a device whose direct parent is not
// a USB interface never yields a path that a receiver rule counts.
#include "bounded_format.h"
#include "device_rules.h"
#include "hid_sysfs_map.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const wchar_t kPrefix[] = L"\\\\?\\hid#";
const wchar_t kClassSuffix[] = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t kKeyboardSuffix[] = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}\\kbd";

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string fields[5];
    size_t at = 0;
    for (std::string& field : fields)
    {
        while (at < size && data[at] != 0)
            field.push_back(static_cast<char>(data[at++]));
        if (at < size)
            ++at; // the separator
    }
    const HidSysfsFacts facts = {fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
                                 fields[3].c_str(), data + at,         size - at,
                                 fields[4].c_str()};

    HidInterfaceIdentity identity;
    DescribeHidInterface(facts, &identity);
    if (identity.pathCount < 0)
        abort();

    const bool usbInterfaceParent = fields[1].find("DEVTYPE=usb_interface") != std::string::npos;
    std::vector<std::wstring> paths;
    for (int index = 0; index < identity.pathCount; ++index)
    {
        wchar_t path[kPathChars];
        if (!FormatHidInterfacePath(identity, index, path, kPathChars))
            abort();
        const std::wstring text = path;
        if (text.compare(0, wcslen(kPrefix), kPrefix) != 0 ||
            !(EndsWith(text, kClassSuffix) || EndsWith(text, kKeyboardSuffix)))
            abort();
        for (wchar_t c : text)
        {
            if (c >= L'A' && c <= L'Z')
                abort();
        }
        for (const std::wstring& earlier : paths)
        {
            if (earlier == text)
                abort();
        }
        paths.push_back(text);

        ResetDeviceCounters();
        ClassifyDevicePath(path);
        if (!usbInterfaceParent && AnyDeviceCounted())
            abort();
    }
    wchar_t past[kPathChars];
    if (FormatHidInterfacePath(identity, identity.pathCount, past, kPathChars))
        abort();
    return 0;
}
