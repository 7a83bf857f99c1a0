#include "trace_capture.h"

#include "trace.h"

std::vector<std::string> g_narrowTraceLines;
std::vector<std::wstring> g_wideTraceLines;

void ClearTraceLines()
{
    g_narrowTraceLines.clear();
    g_wideTraceLines.clear();
}

void TraceNarrow(const char* line)
{
    g_narrowTraceLines.emplace_back(line);
}

void TraceWide(const wchar_t* line)
{
    g_wideTraceLines.emplace_back(line);
}
