// The run's platform half on Windows: own path, delays, the shell and the notices.
#include "platform.h"

#include "bounded_format.h"

#include <windows.h>

#include <shellapi.h>

bool ReadModulePath(wchar_t* out, size_t capacity)
{
    if (capacity == 0)
        return false;
    const DWORD length = GetModuleFileNameW(nullptr, out, static_cast<DWORD>(capacity));
    // A result of capacity means the path was cut, and older systems then leave it
    // unterminated.
    const bool whole = length != 0 && length < capacity;
    if (length == 0)
        out[0] = L'\0';
    else if (!whole)
        out[capacity - 1] = L'\0';
    return whole;
}

void PauseMilliseconds(unsigned milliseconds)
{
    Sleep(milliseconds);
}

bool FormatToolPath(const ToolTarget& target, const wchar_t* baseDirectory, wchar_t* out,
                    size_t capacity)
{
    return FormatBoundedW(out, capacity, target.pathFormat, baseDirectory);
}

int StartTool(const ToolTarget& target, const wchar_t* toolPath)
{
    // The result is not examined: the launcher exits 0 whatever happened.
    ShellExecuteW(nullptr, target.verb, toolPath, nullptr, nullptr, SW_SHOWNORMAL);
    return 0;
}

uint16_t SystemLanguageId()
{
    return GetSystemDefaultLangID();
}

void ShowNotice(const NoticeText& notice)
{
    MessageBoxW(nullptr, notice.text, notice.caption, MB_OK);
}
