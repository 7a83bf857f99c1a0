#include "text_linux.h"

#include "error_output_linux.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace
{

constexpr char32_t kEscapeBase = 0xDC00; // + byte, for bytes 0x80..0xFF
constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at bytes and its code point, or 0 when it is not valid
// (overlong forms, surrogates and values past U+10FFFF included).
int DecodeOne(const unsigned char* bytes, char32_t* codePoint)
{
    const unsigned char lead = bytes[0];
    if (lead < 0x80)
    {
        *codePoint = lead;
        return 1;
    }
    int length;
    char32_t value;
    unsigned char low = 0x80; // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
        value = lead & 0x1F;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    }
    else
    {
        return 0;
    }
    if (bytes[1] < low || bytes[1] > high)
        return 0; // also stops at the terminator
    for (int i = 1; i < length; ++i)
    {
        if (!IsContinuation(bytes[i]))
            return 0;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    *codePoint = value;
    return length;
}

} // namespace

bool Utf8ToWide(const char* bytes, wchar_t* out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return false;
    size_t used = 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
    while (in != nullptr && *in != 0)
    {
        if (used + 1 >= capacity)
        {
            out[used] = L'\0';
            return false;
        }
        char32_t codePoint;
        int length = DecodeOne(in, &codePoint);
        if (length == 0)
        {
            codePoint = kEscapeBase + *in;
            length = 1;
        }
        out[used++] = static_cast<wchar_t>(codePoint);
        in += length;
    }
    out[used] = L'\0';
    return true;
}

bool WideToUtf8(const wchar_t* text, char* out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return false;
    size_t used = 0;
    for (; text != nullptr && *text != L'\0'; ++text)
    {
        char32_t c = static_cast<char32_t>(*text);
        unsigned char encoded[4];
        int length;
        if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF)
        {
            encoded[0] = static_cast<unsigned char>(c - kEscapeBase);
            length = 1;
        }
        else
        {
            if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
                c = kReplacement;
            if (c < 0x80)
            {
                encoded[0] = static_cast<unsigned char>(c);
                length = 1;
            }
            else if (c < 0x800)
            {
                encoded[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
                length = 2;
            }
            else if (c < 0x10000)
            {
                encoded[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
                length = 3;
            }
            else
            {
                encoded[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
                length = 4;
            }
            for (int i = length - 1; i > 0; --i)
            {
                encoded[i] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                c >>= 6;
            }
        }
        if (used + length >= capacity)
        {
            out[used] = '\0';
            return false;
        }
        memcpy(out + used, encoded, length);
        used += length;
    }
    out[used] = '\0';
    return true;
}

bool IsControlCharacter(wchar_t c)
{
    const char32_t code = static_cast<char32_t>(c);
    // The bidi embeddings and overrides (U+202A..U+202E) and isolates (U+2066..U+2069) reorder
    // what follows them: a path holding one reads otherwise than it runs.
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069) ||
           (code >= kEscapeBase + 0x80 && code <= kEscapeBase + 0xFF);
}

bool QuoteControlCharacters(const wchar_t* text, wchar_t* out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return false;
    size_t used = 0;
    for (; text != nullptr && *text != L'\0'; ++text)
    {
        const char32_t c = static_cast<char32_t>(*text);
        const bool rawByte = c >= kEscapeBase + 0x80 && c < kEscapeBase + 0x100;
        const unsigned code = rawByte ? c - kEscapeBase : c;
        wchar_t quoted[7] = {*text};
        if (IsControlCharacter(*text))
        {
            // A byte that is not UTF-8, or a C0 control, \xHH; a character past ASCII, which
            // is UTF-8, \uHHHH.
            const bool unicode = !rawByte && c >= 0x80;
            const int digits = unicode ? 4 : 2;
            quoted[0] = L'\\';
            quoted[1] = unicode ? L'u' : L'x';
            for (int i = 0; i < digits; ++i)
                quoted[2 + i] = L"0123456789abcdef"[code >> (4 * (digits - 1 - i)) & 0xF];
            quoted[2 + digits] = L'\0';
        }
        else if (c == L'\\')
        {
            quoted[1] = L'\\';
        }
        const size_t length = wcslen(quoted);
        if (capacity - used <= length)
        {
            out[used] = L'\0';
            return false;
        }
        wmemcpy(out + used, quoted, length);
        used += length;
    }
    out[used] = L'\0';
    return true;
}

bool QuoteControlBytes(const char* bytes, char* out, size_t capacity)
{
    wchar_t text[kPathChars * 4];
    wchar_t quoted[kPathChars * 16];
    const bool whole = Utf8ToWide(bytes, text, sizeof text / sizeof *text);
    return QuoteControlCharacters(text, quoted, sizeof quoted / sizeof *quoted) &&
           WideToUtf8(quoted, out, capacity) && whole;
}

void WritePathLine(int fd, const char* before, const char* path, const char* after)
{
    char shown[kPathChars * 16];
    char line[sizeof shown + 256];
    QuoteControlBytes(path, shown, sizeof shown);
    FormatBoundedA(line, sizeof line, "%s%s%s", before, shown, after);
    WriteText(fd, line);
}
