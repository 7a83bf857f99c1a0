#include "launcher_run.h"

#include "base_directory.h"
#include "bounded_format.h"
#include "device_rules.h"
#include "hid_scan.h"
#include "platform.h"
#include "run_text.h"
#include "trace.h"

namespace
{

// Receivers need a moment after the launcher starts (often right after plugging in); when the
// first pass finds nothing, one later pass catches a receiver that was still arriving.
constexpr unsigned kSettleMilliseconds = 500;
constexpr unsigned kRetryMilliseconds = 3000;

} // namespace

int RunLauncher()
{
    // Later reused for the tool path.
    wchar_t modulePath[kPathChars];
    const bool moduleWhole = ReadModulePath(modulePath, kPathChars);
    wchar_t baseDirectory[kPathChars];
    const bool baseWhole = MakeBaseDirectory(modulePath, baseDirectory, kPathChars) && moduleWhole;

    PauseMilliseconds(kSettleMilliseconds);
    ResetDeviceCounters();
    EnumHidDevices();
    if (!AnyDeviceCounted())
    {
        PauseMilliseconds(kRetryMilliseconds);
        EnumHidDevices();
    }

    char summary[kNarrowTraceBytes];
    FormatSummaryLine(summary, sizeof summary);
    TraceNarrow(summary);

    const LaunchDecision decision = DecideLaunch();
    switch (decision.kind)
    {
    case kLaunchTool:
        // The launcher runs elevated: a cut path could name another file, and a relative one
        // would be searched for, so neither is handed on.
        if (baseWhole && IsFullyQualifiedDirectory(baseDirectory) &&
            FormatToolPath(*decision.target, baseDirectory, modulePath, kPathChars))
            return StartTool(*decision.target, modulePath);
        break;
    case kLaunchManyFound:
        ShowNotice(SelectNotice(kNoticeManyFound, SystemLanguageId()));
        break;
    case kLaunchNoneFound:
        ShowNotice(SelectNotice(kNoticeNoneFound, SystemLanguageId()));
        break;
    }
    return 0;
}
