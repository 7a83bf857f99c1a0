#include "bounded_format.h"

#include <cstdarg>

namespace
{

template <typename Char> struct BoundedWriter
{
    Char* out;
    size_t capacity;
    size_t used;
    bool whole;

    void Put(Char c)
    {
        if (used + 1 < capacity)
            out[used++] = c;
        else
            whole = false;
    }
};

template <typename Char>
void PutUnsigned(BoundedWriter<Char>& writer, unsigned value, unsigned base)
{
    char digits[16];
    int count = 0;
    do
    {
        digits[count++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0)
        writer.Put(static_cast<Char>(digits[--count]));
}

template <typename Char>
bool FormatBounded(Char* out, size_t capacity, const Char* format, va_list args)
{
    if (out == nullptr || capacity == 0)
        return false;
    BoundedWriter<Char> writer{out, capacity, 0, true};
    for (const Char* f = format; *f != 0; ++f)
    {
        if (*f != '%')
        {
            writer.Put(*f);
            continue;
        }
        switch (*++f)
        {
        case 's':
        {
            const Char* text = va_arg(args, const Char*);
            for (; text != nullptr && *text != 0; ++text)
                writer.Put(*text);
            break;
        }
        case 'd':
        {
            const int value = va_arg(args, int);
            if (value < 0)
                writer.Put('-');
            // Negate in unsigned arithmetic so INT_MIN prints correctly.
            PutUnsigned(writer, value < 0 ? 0u - static_cast<unsigned>(value) : value, 10);
            break;
        }
        case 'u':
            PutUnsigned(writer, va_arg(args, unsigned), 10);
            break;
        case 'x':
            PutUnsigned(writer, va_arg(args, unsigned), 16);
            break;
        case '%':
            writer.Put('%');
            break;
        default:
            // Unknown conversions are a programming error; stop rather than read past the format.
            out[writer.used] = 0;
            return false;
        }
    }
    out[writer.used] = 0;
    return writer.whole;
}

} // namespace

bool FormatBoundedW(wchar_t* out, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool whole = FormatBounded(out, capacity, format, args);
    va_end(args);
    return whole;
}

bool FormatBoundedA(char* out, size_t capacity, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool whole = FormatBounded(out, capacity, format, args);
    va_end(args);
    return whole;
}
