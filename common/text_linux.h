// Wide text and the bytes Linux uses for paths, environment and output.
#pragma once

#include "bounded_format.h"

#include <cstddef>

// Room for the UTF-8 form of any text that fits a path or trace buffer.
constexpr size_t kUtf8PathBytes = kPathChars * 4;

// UTF-8 to wide text. A byte that does not belong to valid UTF-8 becomes U+DC80 + byte, so
// that any path's bytes survive the round trip through WideToUtf8. Returns false when the text
// was cut to fit capacity (it is always terminated).
bool Utf8ToWide(const char* bytes, wchar_t* out, size_t capacity);

// Wide text to UTF-8; U+DC80..U+DCFF give back the byte they stand for, and anything else UTF-8
// cannot carry becomes U+FFFD. Never splits a character. Returns false when cut.
bool WideToUtf8(const wchar_t* text, char* out, size_t capacity);
