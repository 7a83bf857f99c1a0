// Linux path rules for the base directory.
#include "base_directory.h"

bool IsPathSeparator(wchar_t c)
{
    return c == L'/';
}

bool IsFullyQualifiedDirectory(const wchar_t* directory)
{
    return directory != nullptr && directory[0] == L'/';
}
