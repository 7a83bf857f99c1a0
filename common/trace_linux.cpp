// Trace lines go to standard error on Linux, wide ones as UTF-8. The interface lines of a pass
// are gathered and written together; the rarer narrow lines (the summary, the decision) are
// written at once, with whatever was gathered before them.
#include "trace.h"

#include "error_output_linux.h"
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
    BufferErrorText(bytes);
}
