// Windows path rules for the base directory.
#include "base_directory.h"

namespace
{

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// One non-empty path component followed by a separator; returns what follows it, or nullptr.
const wchar_t* SkipComponent(const wchar_t* text)
{
    const wchar_t* c = text;
    while (*c != L'\0' && !IsPathSeparator(*c))
        ++c;
    return (c != text && *c != L'\0') ? c + 1 : nullptr;
}

} // namespace

bool IsPathSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool IsFullyQualifiedDirectory(const wchar_t* directory)
{
    if (directory == nullptr)
        return false;
    // X:\ or X:/. "X:" alone or "X:dir\" is relative to that drive's current folder.
    if (IsDriveLetter(directory[0]) && directory[1] == L':')
        return IsPathSeparator(directory[2]);
    if (!IsPathSeparator(directory[0]) || !IsPathSeparator(directory[1]))
        return false;
    // \\?\ takes the rest literally.
    if (directory[0] == L'\\' && directory[1] == L'\\' && directory[2] == L'?' &&
        directory[3] == L'\\')
        return true;
    // \\.\X:\ names drive X itself; any other device name (a pipe, a volume) is no folder.
    if (directory[2] == L'.' && IsPathSeparator(directory[3]) && IsDriveLetter(directory[4]) &&
        directory[5] == L':')
        return IsPathSeparator(directory[6]);
    // \\server\share\, both named; a server of "." or "?" is a device namespace, not a share.
    const wchar_t* server = directory + 2;
    const wchar_t* share = SkipComponent(server);
    const bool deviceNamespace = share == server + 2 && (server[0] == L'.' || server[0] == L'?');
    return share != nullptr && !deviceNamespace && SkipComponent(share) != nullptr;
}
