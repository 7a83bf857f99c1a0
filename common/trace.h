// Trace lines for whoever watches the launcher: the debug output on Windows, standard error on
// Linux. Each platform supplies both functions; the texts are formatted by the callers.
#pragma once

void TraceNarrow(const char* line);
void TraceWide(const wchar_t* line);
