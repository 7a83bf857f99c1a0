#include "launch_decision.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "trace.h"

const ToolTarget kToolTargets[4] = {
    {&g_dwSunDevice, nullptr, L"Alder24", L"%sAlder24\\TamsuPair.exe", L"open"},
    {&g_dwSOCDevice, nullptr, L"NewCedar", L"%sNewCedar\\TamsuPair.exe", L"open"},
    {&g_dwEntryDevice, nullptr, L"BirchPro", L"%sBirchPro\\TamsuPair.exe", L"open"},
    {&g_dwBkDevice24G, &g_dwBkDevice5G, L"Cedar24", L"%sCedar24\\TamsuPair.exe", L"open"},
};

namespace
{

bool FamilyPresent(const ToolTarget& target)
{
    return *target.counter != 0 || (target.otherCounter != nullptr && *target.otherCounter != 0);
}

} // namespace

bool IsSingleFamily()
{
    // g_dwSunDevice2 counts only through the fold, so Sun counts once whatever its two
    // counters hold.
    int nFlag = 0;
    if (g_dwSunDevice > 0)
        ++nFlag;
    if (g_dwBkDevice24G > 0 || g_dwBkDevice5G > 0)
        ++nFlag;
    if (g_dwSOCDevice > 0)
        ++nFlag;
    if (g_dwEntryDevice > 0)
        ++nFlag;

    char line[kNarrowTraceBytes];
    FormatBoundedA(line, sizeof line, "nFlag: %d\r\n", nFlag);
    TraceNarrow(line);
    return nFlag <= 1;
}

LaunchDecision DecideLaunch()
{
    if (g_dwSunDevice == 0)
        g_dwSunDevice = g_dwSunDevice2;

    if (!IsSingleFamily())
        return {kLaunchManyFound, nullptr};
    for (const ToolTarget& target : kToolTargets)
    {
        if (FamilyPresent(target))
            return {kLaunchTool, &target};
    }
    return {kLaunchNoneFound, nullptr};
}
