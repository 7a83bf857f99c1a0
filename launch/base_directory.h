// The directory the kit was unpacked to, derived from the launcher's own path.
#pragma once

#include <cstddef>

// Splits a module path into drive and directory and joins them again: drive letter and colon
// when the second character is a colon, then everything up to and including the last path
// separator, with a \ appended when the directory does not already end in a separator.
// A bare file name gives an empty result. Returns false when the result had to be cut to
// fit capacity (it is still terminated).
bool MakeBaseDirectory(const wchar_t* modulePath, wchar_t* out, size_t capacity);

// The platform's path separators: \ and / on Windows, only / on Linux, where \ is an ordinary
// file-name character.
bool IsPathSeparator(wchar_t c);

// Whether a base directory names one place whatever the current folder and search path are.
// A tool under a relative base would be searched for and could be another program, started
// with the launcher's rights.
bool IsFullyQualifiedDirectory(const wchar_t* directory);
