// The directory the kit was unpacked to, derived from the launcher's own path.
#pragma once

#include <cstddef>

// Splits a Windows-style module path into drive and directory and joins them again: drive
// letter and colon when the second character is a colon, then everything up to and including
// the last \ or /, with a \ appended when the directory does not already end in a separator.
// A bare file name gives an empty result. Returns false when the result had to be cut to
// fit capacity (it is still terminated).
bool MakeBaseDirectory(const wchar_t* modulePath, wchar_t* out, size_t capacity);
