#include "hid_sysfs_map.h"

#include "bounded_format.h"
#include "report_descriptor.h"

namespace
{

constexpr unsigned kBusUsb = 0x0003;
constexpr unsigned kBusBluetooth = 0x0005;
constexpr unsigned kBusI2c = 0x0018;
// ACPI hardware ids are eight characters; the cap only keeps odd names from growing the path.
constexpr size_t kMaxAcpiNameChars = 32;

const char* TextOrEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool IsLineEnd(char c)
{
    return c == '\0' || c == '\n';
}

// The value of KEY=value on its own line of a uevent text, or null.
const char* FindUeventValue(const char* uevent, const char* key)
{
    for (const char* line = uevent; *line != '\0';)
    {
        const char* k = key;
        const char* c = line;
        while (*k != '\0' && *c == *k)
        {
            ++c;
            ++k;
        }
        if (*k == '\0' && *c == '=')
            return c + 1;
        while (!IsLineEnd(*line))
            ++line;
        if (*line == '\n')
            ++line;
    }
    return nullptr;
}

// Up to maxDigits hex digits ending at a stop character; false on anything else.
bool ParseHexField(const char*& text, int maxDigits, char stop, uint32_t* value)
{
    uint32_t result = 0;
    int digits = 0;
    for (; IsHexDigit(*text); ++text)
    {
        if (++digits > maxDigits)
            return false;
        result = (result << 4) | HexValue(*text);
    }
    if (digits == 0 || !(stop == '\n' ? IsLineEnd(*text) : *text == stop))
        return false;
    *value = result;
    return true;
}

// HID_ID=BBBB:VVVVVVVV:PPPPPPPP
bool ParseHidId(const char* uevent, uint32_t* bus, uint32_t* vendor, uint32_t* product)
{
    const char* text = FindUeventValue(uevent, "HID_ID");
    if (text == nullptr || !ParseHexField(text, 8, ':', bus))
        return false;
    ++text;
    if (!ParseHexField(text, 8, ':', vendor))
        return false;
    ++text;
    return ParseHexField(text, 8, '\n', product);
}

// A sysfs attribute holding one number: optional leading blanks, digits, optional line end.
bool ParseAttributeNumber(const char* text, unsigned base, uint32_t* value)
{
    while (*text == ' ')
        ++text;
    uint32_t result = 0;
    int digits = 0;
    for (; IsHexDigit(*text) && HexValue(*text) < base; ++text)
    {
        if (++digits > 8)
            return false;
        result = result * base + HexValue(*text);
    }
    if (*text == '\n')
        ++text;
    if (digits == 0 || *text != '\0')
        return false;
    *value = result;
    return true;
}

// Fixed-width lower-case hex, as %0Nx would give.
void HexText(uint32_t value, int digits, wchar_t* out)
{
    for (int i = digits - 1; i >= 0; --i)
    {
        out[i] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    }
    out[digits] = L'\0';
}

// The ACPI name an I2C device is known by: HID_NAME up to the first ':' or blank ("ELAN0732:00
// 04F3:22E1" gives "elan0732"), letters and digits only, lower case.
void AcpiName(const char* uevent, wchar_t* out, size_t capacity)
{
    size_t length = 0;
    const char* name = FindUeventValue(uevent, "HID_NAME");
    for (; name != nullptr && !IsLineEnd(*name) && *name != ':' && *name != ' '; ++name)
    {
        const char c = *name;
        const bool alphanumeric =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (alphanumeric && length + 1 < capacity)
            out[length++] = static_cast<wchar_t>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
    }
    out[length] = L'\0';
}

// FNV-1a over the device path. The kernel's sequence number at the end of a HID device's name
// (".0003") changes at every plug-in; where the device is the only HID device of its USB
// interface, it is left out so the instance stays the same on the same port, as on Windows.
uint32_t InstanceHash(const char* devicePath, bool dropSequence)
{
    const char* end = devicePath;
    while (*end != '\0')
        ++end;
    if (dropSequence)
    {
        const char* dot = end;
        while (dot > devicePath && dot[-1] != '/' && dot[-1] != '.')
            --dot;
        if (dot > devicePath && dot[-1] == '.')
            end = dot - 1;
    }
    uint32_t hash = 2166136261u;
    for (const char* c = devicePath; c < end; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    return hash;
}

} // namespace

bool IsUsbInterfaceUevent(const char* parentUevent)
{
    const char* type = FindUeventValue(TextOrEmpty(parentUevent), "DEVTYPE");
    if (type == nullptr)
        return false;
    const char* expected = "usb_interface";
    while (*expected != '\0' && *type == *expected)
    {
        ++type;
        ++expected;
    }
    return *expected == '\0' && IsLineEnd(*type);
}

bool IsUsbHidUevent(const char* hidUevent)
{
    uint32_t bus = 0;
    uint32_t vendor = 0;
    uint32_t product = 0;
    return ParseHidId(TextOrEmpty(hidUevent), &bus, &vendor, &product) && (bus & 0xFFFF) == kBusUsb;
}

bool IsInterfaceNumberText(const char* text)
{
    uint32_t number = 0;
    return ParseAttributeNumber(TextOrEmpty(text), 16, &number) && number <= 0xFF;
}

// The hardware part of the device's paths ("hid#vid_7c2f&pid_2003&mi_01"), in the shape
// Windows gives its bus. False when it did not fit.
bool FormatHardwareId(const HidSysfsFacts& facts, uint32_t bus, uint32_t vendor, uint32_t product,
                      bool usbInterface, wchar_t* out)
{
    wchar_t busText[5];
    wchar_t vendorText[5];
    wchar_t productText[5];
    HexText(bus, 4, busText);
    HexText(vendor, 4, vendorText);
    HexText(product, 4, productText);

    wchar_t acpiName[kMaxAcpiNameChars + 1];
    AcpiName(TextOrEmpty(facts.hidUevent), acpiName, sizeof acpiName / sizeof acpiName[0]);

    if (usbInterface)
    {
        uint32_t interfaceCount = 0;
        uint32_t interfaceNumber = 0;
        const bool composite =
            ParseAttributeNumber(TextOrEmpty(facts.interfaceCount), 10, &interfaceCount) &&
            interfaceCount > 1 &&
            ParseAttributeNumber(TextOrEmpty(facts.interfaceNumber), 16, &interfaceNumber) &&
            interfaceNumber <= 0xFF;
        wchar_t interfaceText[3];
        HexText(interfaceNumber, 2, interfaceText);
        return FormatBoundedW(out, kHardwareIdChars, L"hid#vid_%s&pid_%s%s%s", vendorText,
                              productText, composite ? L"&mi_" : L"",
                              composite ? interfaceText : L"");
    }
    if (bus == kBusBluetooth)
    {
        return FormatBoundedW(out, kHardwareIdChars,
                              L"hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002%s_pid&%s",
                              vendorText, productText);
    }
    if (bus == kBusI2c && acpiName[0] != L'\0')
    {
        return FormatBoundedW(out, kHardwareIdChars, L"hid#%s", acpiName);
    }
    return FormatBoundedW(out, kHardwareIdChars, L"hid#bus_%s_vid&%s_pid&%s", busText, vendorText,
                          productText);
}

void DescribeHidInterface(const HidSysfsFacts& facts, HidInterfaceIdentity* identity)
{
    identity->hardwareId[0] = L'\0';
    identity->instanceHash = 0;
    identity->pathCount = 0;
    identity->perCollection = false;
    for (uint32_t& bits : identity->keyboardPaths)
        bits = 0;

    uint32_t bus = 0;
    uint32_t vendor = 0;
    uint32_t product = 0;
    const char* hidUevent = TextOrEmpty(facts.hidUevent);
    if (!ParseHidId(hidUevent, &bus, &vendor, &product))
        return;
    bus &= 0xFFFF;
    vendor &= 0xFFFF;
    product &= 0xFFFF;

    // Only a direct usb_interface parent gives USB facts: a HID device that a driver creates
    // under a receiver must not take on the receiver's interface or product.
    const bool usbInterface = bus == kBusUsb && IsUsbInterfaceUevent(facts.parentUevent);
    if (!FormatHardwareId(facts, bus, vendor, product, usbInterface, identity->hardwareId))
        return;

    const size_t descriptorSize = facts.descriptorSize < kMaxReportDescriptorBytes
                                      ? facts.descriptorSize
                                      : kMaxReportDescriptorBytes;
    HidCollectionUsage usages[kMaxTopLevelCollections];
    const int collections =
        ScanTopLevelCollections(facts.descriptor, descriptorSize, usages, kMaxTopLevelCollections);
    identity->perCollection = collections >= 2;
    identity->pathCount = identity->perCollection ? collections : 1;
    for (int i = 0; i < collections && i < kMaxTopLevelCollections; ++i)
    {
        if (usages[i].page == kUsagePageGenericDesktop && usages[i].usage == kUsageKeyboard)
            identity->keyboardPaths[i / 32] |= 1u << (i % 32);
    }
    identity->instanceHash = InstanceHash(TextOrEmpty(facts.devicePath), usbInterface);
}

bool FormatHidInterfacePath(const HidInterfaceIdentity& identity, int index, wchar_t* out,
                            size_t capacity)
{
    if (out != nullptr && capacity > 0)
        out[0] = L'\0';
    if (index < 0 || index >= identity.pathCount)
        return false;

    // Collections are numbered from 01 in hex, at least two digits: the tenth is &col0a.
    wchar_t collection[16] = L"";
    if (identity.perCollection)
    {
        const unsigned number = static_cast<unsigned>(index) + 1;
        FormatBoundedW(collection, sizeof collection / sizeof collection[0], L"&col%s%x",
                       number < 0x10 ? L"0" : L"", number);
    }
    const bool keyboard = (identity.keyboardPaths[index / 32] >> (index % 32)) & 1u;
    wchar_t hash[9];
    wchar_t instanceIndex[5];
    HexText(identity.instanceHash, 8, hash);
    HexText(static_cast<uint32_t>(index), 4, instanceIndex);
    return FormatBoundedW(
        out, capacity, L"\\\\?\\%s%s#7&%s&0&%s#{4d1e55b2-f16f-11cf-88cb-001111000030}%s",
        identity.hardwareId, collection, hash, instanceIndex, keyboard ? L"\\kbd" : L"");
}
