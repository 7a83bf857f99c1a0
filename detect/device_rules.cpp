#include "device_rules.h"

#include <cwchar>

uint32_t g_dwSunDevice;
uint32_t g_dwSunDevice2;
uint32_t g_dwBkDevice24G;
uint32_t g_dwBkDevice5G;
uint32_t g_dwSOCDevice;
uint32_t g_dwEntryDevice;

const wchar_t* const g_ruleVendors[kRuleVendorCount] = {L"VID_7C2F", L"VID_1BCF", L"VID_04FC"};

namespace
{

enum RuleKind
{
    kRuleSingle, // patterns[0] must occur
    kRuleAnyOf,  // at least one pattern must occur, tried in order
    kRulePair,   // identity patterns[0], then collection patterns[1]
};

struct ReceiverRule
{
    RuleKind kind;
    int vendor; // index in g_ruleVendors: every pattern of the row begins with that text
    const wchar_t* patterns[6];
    uint32_t* counter;
};

// Evaluated top to bottom; the first row that holds wins.
const ReceiverRule kReceiverRules[] = {
    {kRuleSingle, 0, {L"VID_7C2F&PID_2000"}, &g_dwBkDevice24G},
    {kRuleAnyOf, 0, {L"VID_7C2F&PID_2001", L"VID_7C2F&PID_2002"}, &g_dwBkDevice5G},
    {kRulePair, 1, {L"VID_1BCF&PID_0501", L"COL01"}, &g_dwSunDevice},
    {kRuleSingle, 1, {L"VID_1BCF&PID_05C2&MI_00"}, &g_dwSunDevice},
    {kRulePair, 2, {L"VID_04FC&PID_0538", L"COL01"}, &g_dwSunDevice},
    {kRulePair, 2, {L"VID_04FC&PID_05DA", L"COL01"}, &g_dwSunDevice},
    {kRuleSingle, 2, {L"VID_04FC&PID_05D8&MI_00"}, &g_dwSunDevice},
    {kRulePair, 1, {L"VID_1BCF&PID_0501", L"COL02"}, &g_dwSunDevice2},
    {kRuleSingle, 1, {L"VID_1BCF&PID_05C2&MI_01"}, &g_dwSunDevice2},
    {kRulePair, 2, {L"VID_04FC&PID_0538", L"COL02"}, &g_dwSunDevice2},
    {kRulePair, 2, {L"VID_04FC&PID_05DA", L"COL02"}, &g_dwSunDevice2},
    {kRuleSingle, 2, {L"VID_04FC&PID_05D8&MI_01"}, &g_dwSunDevice2},
    {kRuleAnyOf,
     0,
     {L"VID_7C2F&PID_2003", L"VID_7C2F&PID_2004", L"VID_7C2F&PID_2005", L"VID_7C2F&PID_2006",
      L"VID_7C2F&PID_2007", L"VID_7C2F&PID_2008"},
     &g_dwSOCDevice},
    {kRuleAnyOf, 0, {L"VID_7C2F&PID_2010", L"VID_7C2F&PID_1100"}, &g_dwEntryDevice},
};

bool RuleHolds(const ReceiverRule& rule, const wchar_t* devicePath)
{
    switch (rule.kind)
    {
    case kRuleSingle:
        return PathContainsText(devicePath, rule.patterns[0]);
    case kRulePair:
        // The collection text is looked for only once the identity text is there.
        return PathContainsText(devicePath, rule.patterns[0]) &&
               PathContainsText(devicePath, rule.patterns[1]);
    case kRuleAnyOf:
        for (const wchar_t* pattern : rule.patterns)
        {
            if (pattern != nullptr && PathContainsText(devicePath, pattern))
                return true;
        }
        return false;
    }
    return false;
}

// The value of 4 hex digits, or -1 when text does not begin with them.
int HexValue(const wchar_t* text)
{
    int value = 0;
    for (int i = 0; i < 4; ++i)
    {
        const wchar_t c = text[i];
        int digit = -1;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The pair at the start of a pattern ("VID_7C2F&PID_2000..."); false when it names none.
bool PatternUsbId(const wchar_t* pattern, UsbDeviceId* id)
{
    static const wchar_t kVendor[] = L"VID_";
    static const wchar_t kProduct[] = L"&PID_";
    const size_t vendorLength = sizeof kVendor / sizeof kVendor[0] - 1;
    const size_t productLength = sizeof kProduct / sizeof kProduct[0] - 1;
    if (pattern == nullptr || wcsncmp(pattern, kVendor, vendorLength) != 0)
        return false;
    const int vendor = HexValue(pattern + vendorLength);
    const wchar_t* rest = pattern + vendorLength + 4;
    if (vendor < 0 || wcsncmp(rest, kProduct, productLength) != 0)
        return false;
    const int product = HexValue(rest + productLength);
    if (product < 0)
        return false;
    *id = {static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
    return true;
}

} // namespace

size_t ListReceiverUsbIds(UsbDeviceId* out, size_t capacity)
{
    size_t count = 0;
    for (const ReceiverRule& rule : kReceiverRules)
    {
        for (const wchar_t* pattern : rule.patterns)
        {
            UsbDeviceId id;
            if (!PatternUsbId(pattern, &id))
                continue;
            bool listed = false;
            for (size_t i = 0; i < count && !listed; ++i)
                listed = out[i].vendor == id.vendor && out[i].product == id.product;
            if (!listed && count < capacity)
                out[count++] = id;
        }
    }
    return count;
}

bool IsReceiverUsbId(UsbDeviceId id)
{
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    for (size_t i = 0; i < count; ++i)
    {
        if (ids[i].vendor == id.vendor && ids[i].product == id.product)
            return true;
    }
    return false;
}

void ResetDeviceCounters()
{
    g_dwSunDevice = 0;
    g_dwSunDevice2 = 0;
    g_dwBkDevice24G = 0;
    g_dwBkDevice5G = 0;
    g_dwSOCDevice = 0;
    g_dwEntryDevice = 0;
}

bool AnyDeviceCounted()
{
    return g_dwSunDevice != 0 || g_dwSunDevice2 != 0 || g_dwBkDevice24G != 0 ||
           g_dwBkDevice5G != 0 || g_dwSOCDevice != 0 || g_dwEntryDevice != 0;
}

void ClassifyDevicePath(const wchar_t* devicePath)
{
    // A row of a vendor the path cannot hold is passed over without a search.
    const uint32_t vendors = FindRuleVendors(devicePath);
    for (const ReceiverRule& rule : kReceiverRules)
    {
        if (((vendors >> rule.vendor) & 1u) != 0 && RuleHolds(rule, devicePath))
        {
            ++*rule.counter;
            return;
        }
    }
}
