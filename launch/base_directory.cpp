#include "base_directory.h"

#include "bounded_format.h"

bool MakeBaseDirectory(const wchar_t* modulePath, wchar_t* out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return false;
    out[0] = L'\0';
    if (modulePath == nullptr)
        return true;

    const bool hasDrive = modulePath[0] != L'\0' && modulePath[1] == L':';
    const wchar_t* directory = modulePath + (hasDrive ? 2 : 0);
    const wchar_t* directoryEnd = directory; // one past the last separator
    for (const wchar_t* c = directory; *c != L'\0'; ++c)
    {
        if (IsPathSeparator(*c))
            directoryEnd = c + 1;
    }

    wchar_t drive[3] = {};
    if (hasDrive)
    {
        drive[0] = modulePath[0];
        drive[1] = L':';
    }
    wchar_t directoryPart[kPathChars] = {};
    bool whole = true;
    size_t length = 0;
    for (const wchar_t* c = directory; c < directoryEnd; ++c)
    {
        if (length + 1 >= kPathChars)
        {
            whole = false;
            break;
        }
        directoryPart[length++] = *c;
    }
    directoryPart[length] = L'\0';

    const wchar_t* trailer =
        (length == 0 || IsPathSeparator(directoryPart[length - 1])) ? L"" : L"\\";
    return FormatBoundedW(out, capacity, L"%s%s%s", drive, directoryPart, trailer) && whole;
}
