// Bounded, truncating formatting into fixed buffers.
#pragma once

#include <cstddef>

// The platform's path length, terminator included; paths and wide trace lines use it.
constexpr size_t kPathChars = 260;
// Narrow trace lines (the summary and nFlag lines).
constexpr size_t kNarrowTraceBytes = 124;

// printf-like formatting that understands %s (a string of the format's own width), %d, %u,
// %x (lower-case hex) and %%. The result is cut at capacity - 1 characters and always
// terminated. Returns false when it was cut (or capacity is 0), so callers can refuse to use a
// cut path.
bool FormatBoundedW(wchar_t* out, size_t capacity, const wchar_t* format, ...);
bool FormatBoundedA(char* out, size_t capacity, const char* format, ...);
