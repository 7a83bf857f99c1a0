// Trace lines go to the debug output, where a debugger or a debug viewer shows them.
#include "trace.h"

#include <windows.h>

void TraceNarrow(const char* line)
{
    OutputDebugStringA(line);
}

void TraceWide(const wchar_t* line)
{
    OutputDebugStringW(line);
}
