// Classification of arbitrary wide paths: at most one counter moves, by exactly one, and a path
// holding no receiver's identity text moves none.
#include "device_rules.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{

// Every identity text of the rule table, kept apart from the table so the check is independent.
const wchar_t* const kIdentities[] = {
    L"VID_7C2F&PID_2000",       L"VID_7C2F&PID_2001",       L"VID_7C2F&PID_2002",
    L"VID_1BCF&PID_0501",       L"VID_1BCF&PID_05C2&MI_00", L"VID_04FC&PID_0538",
    L"VID_04FC&PID_05DA",       L"VID_04FC&PID_05D8&MI_00", L"VID_1BCF&PID_05C2&MI_01",
    L"VID_04FC&PID_05D8&MI_01", L"VID_7C2F&PID_2003",       L"VID_7C2F&PID_2004",
    L"VID_7C2F&PID_2005",       L"VID_7C2F&PID_2006",       L"VID_7C2F&PID_2007",
    L"VID_7C2F&PID_2008",       L"VID_7C2F&PID_2010",       L"VID_7C2F&PID_1100",
};

std::wstring UpperAscii(std::wstring text)
{
    for (wchar_t& c : text)
    {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

std::array<uint32_t, 6> Counters()
{
    return {g_dwSunDevice,  g_dwSunDevice2, g_dwBkDevice24G,
            g_dwBkDevice5G, g_dwSOCDevice,  g_dwEntryDevice};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Two bytes per character, as a platform path is UTF-16; a zero ends the path early.
    std::wstring path;
    for (size_t i = 0; i + 1 < size; i += 2)
        path.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    path = path.c_str();

    ResetDeviceCounters();
    ClassifyDevicePath(path.c_str());
    uint32_t moved = 0;
    for (uint32_t count : Counters())
    {
        if (count > 1)
            abort();
        moved += count;
    }
    if (moved > 1)
        abort();

    const std::wstring upper = UpperAscii(path);
    bool holdsIdentity = false;
    for (const wchar_t* identity : kIdentities)
        holdsIdentity = holdsIdentity || upper.find(identity) != std::wstring::npos;
    if (!holdsIdentity && moved != 0)
        abort();
    return 0;
}
