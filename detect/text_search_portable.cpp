// Substring test for platforms without the shell's StrStrIW.
#include "device_rules.h"

namespace
{

wchar_t FoldAsciiCase(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Case-insensitive comparison of length characters; the pattern is ASCII.
bool SameTextAt(const wchar_t* at, const wchar_t* pattern, int length)
{
    for (int i = 0; i < length; ++i)
    {
        if (at[i] == L'\0' || FoldAsciiCase(at[i]) != FoldAsciiCase(pattern[i]))
            return false;
    }
    return true;
}

} // namespace

uint32_t FindRuleVendors(const wchar_t* path)
{
    // One walk over the path instead of a search per row: at each "VID_" the four characters
    // after it are compared with each vendor's.
    constexpr int kPrefixChars = 4; // "VID_"
    constexpr int kVendorChars = 8; // "VID_7C2F"
    uint32_t found = 0;
    for (const wchar_t* at = path; at != nullptr && *at != L'\0'; ++at)
    {
        // Most characters are ruled out by the first letter alone ('V' or 'v').
        if ((*at | 0x20) != L'v' || !SameTextAt(at, g_ruleVendors[0], kPrefixChars))
            continue;
        for (int vendor = 0; vendor < kRuleVendorCount; ++vendor)
        {
            if (SameTextAt(at + kPrefixChars, g_ruleVendors[vendor] + kPrefixChars,
                           kVendorChars - kPrefixChars))
                found |= 1u << vendor;
        }
    }
    return found;
}

bool PathContainsText(const wchar_t* path, const wchar_t* pattern)
{
    if (path == nullptr || pattern == nullptr || *pattern == L'\0')
        return false;
    const wchar_t first = FoldAsciiCase(*pattern);
    for (; *path != L'\0'; ++path)
    {
        // A start that cannot match is passed over before the full comparison.
        if (FoldAsciiCase(*path) != first)
            continue;
        const wchar_t* p = path;
        const wchar_t* q = pattern;
        while (*p != L'\0' && *q != L'\0' && FoldAsciiCase(*p) == FoldAsciiCase(*q))
        {
            ++p;
            ++q;
        }
        if (*q == L'\0')
            return true;
        if (*p == L'\0')
            return false; // the rest of the path is shorter than the pattern
    }
    return false;
}
