// The platform-independent step of a detection pass.
#include "hid_scan.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "trace.h"

void ReportHidInterfacePath(const wchar_t* path)
{
    wchar_t line[kPathChars];
    FormatBoundedW(line, kPathChars, L"find: %s\n", path);
    TraceWide(line);
    // The rules see the whole path, never the cut trace text.
    ClassifyDevicePath(path);
}
