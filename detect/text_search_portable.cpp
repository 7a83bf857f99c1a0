// Substring test for platforms without the shell's StrStrIW.
#include "device_rules.h"

namespace
{

wchar_t FoldAsciiCase(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

} // namespace

bool PathContainsText(const wchar_t* path, const wchar_t* pattern)
{
    if (path == nullptr || pattern == nullptr || *pattern == L'\0')
        return false;
    for (; *path != L'\0'; ++path)
    {
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
