// Trace lines written during a test, kept in memory in the order they were written.
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> g_narrowTraceLines;
extern std::vector<std::wstring> g_wideTraceLines;

void ClearTraceLines();
