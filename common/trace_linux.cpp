// Trace lines go to standard error on Linux, wide ones as UTF-8.
#include "trace.h"

#include "text_linux.h"

#include <unistd.h>

void TraceNarrow(const char* line)
{
    WriteText(STDERR_FILENO, line);
}

void TraceWide(const wchar_t* line)
{
    char bytes[kUtf8PathBytes];
    WideToUtf8(line, bytes, sizeof bytes);
    WriteText(STDERR_FILENO, bytes);
}
