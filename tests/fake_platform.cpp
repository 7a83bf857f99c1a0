#include "fake_platform.h"

#include "bounded_format.h"
#include "hid_scan.h"
#include "platform.h"

std::wstring g_fakeModulePath;
bool g_fakeModulePathWhole;
uint16_t g_fakeLanguageId;
std::vector<std::vector<std::wstring>> g_fakePasses;
std::vector<std::wstring> g_fakeEvents;

namespace
{
size_t g_passesRun;
}

void ResetFakePlatform()
{
    g_fakeModulePath = L"C:\\Tools\\Pair\\TamsuLauncher.exe";
    g_fakeModulePathWhole = true;
    g_fakeLanguageId = 0x0409;
    g_fakePasses.clear();
    g_fakeEvents.clear();
    g_passesRun = 0;
}

bool ReadModulePath(wchar_t* out, size_t capacity)
{
    FormatBoundedW(out, capacity, L"%s", g_fakeModulePath.c_str());
    return g_fakeModulePathWhole;
}

void PauseMilliseconds(unsigned milliseconds)
{
    g_fakeEvents.push_back(L"pause " + std::to_wstring(milliseconds));
}

bool FormatToolPath(const ToolTarget& target, const wchar_t* baseDirectory, wchar_t* out,
                    size_t capacity)
{
    return FormatBoundedW(out, capacity, target.pathFormat, baseDirectory);
}

int StartTool(const ToolTarget& target, const wchar_t* toolPath)
{
    g_fakeEvents.push_back(std::wstring(L"start ") + target.verb + L" " + toolPath);
    return 0;
}

uint16_t SystemLanguageId()
{
    return g_fakeLanguageId;
}

void ShowNotice(const NoticeText& notice)
{
    g_fakeEvents.push_back(std::wstring(L"notice ") + notice.caption + L"|" + notice.text);
}

void EnumHidDevices()
{
    g_fakeEvents.push_back(L"pass");
    if (g_passesRun < g_fakePasses.size())
    {
        for (const std::wstring& path : g_fakePasses[g_passesRun])
            ReportHidInterfacePath(path.c_str());
    }
    ++g_passesRun;
}
