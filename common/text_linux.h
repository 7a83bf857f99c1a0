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

// True for a character a terminal would act on (C0 controls, DEL, the C1 controls U+0080..U+009F),
// a bidi embedding, override or isolate (U+202A..U+202E, U+2066..U+2069), which would reorder
// what a person reads, and a byte of a path that is not valid UTF-8, as Utf8ToWide holds it
// (U+DC80..U+DCFF).
bool IsControlCharacter(wchar_t c);

// text as a person may safely read it on a terminal or in a box: each character IsControlCharacter
// names (C0 controls and DEL as \xHH, the C1 controls and the bidi ones as \uHHHH) and each
// byte of a path that is not valid UTF-8 (U+DC80..U+DCFF) as \xHH, and a backslash as \\, so
// that the form is one to one.
// Returns false when cut (always terminated).
bool QuoteControlCharacters(const wchar_t* text, wchar_t* out, size_t capacity);

// The same for UTF-8 bytes, such as a path: out holds the quoted text, also in UTF-8.
bool QuoteControlBytes(const char* bytes, char* out, size_t capacity);

// Writes one line to fd: before, the path quoted by QuoteControlBytes, after (which ends the line).
void WritePathLine(int fd, const char* before, const char* path, const char* after);
