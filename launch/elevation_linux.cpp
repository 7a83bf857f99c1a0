#include "elevation_linux.h"

#include "bounded_format.h"
#include "process_linux.h"
#include "text_linux.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

// pkexec clears the environment; these carry the display (for the notices) and the language.
const char* const kPassedVariables[] = {
    "DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "LANG", "LC_ALL", "LC_MESSAGES"};
constexpr size_t kPassedCount = sizeof kPassedVariables / sizeof kPassedVariables[0];

const char kEnvPath[] = "/usr/bin/env";
const char kWhy[] = "tamsu-launcher: administrator rights are required (the pairing tool must "
                    "open the receiver as root), but";

void ReportRefusal(const char* reason, const char* detail)
{
    char line[PATH_MAX + 256];
    FormatBoundedA(line, sizeof line, "%s %s%s\n", kWhy, reason, detail);
    WriteText(STDERR_FILENO, line);
}

} // namespace

int RunElevated(const char* pkexecPath)
{
    // Not the path: the kit could be renamed or replaced while the user is asked, and another
    // file run as root. /proc/<pid>/exe names this very file for as long as this process waits.
    char ownPath[64];
    FormatBoundedA(ownPath, sizeof ownPath, "/proc/%d/exe", static_cast<int>(getpid()));

    char assignments[kPassedCount][PATH_MAX];
    char* arguments[kPassedCount + 4];
    size_t count = 0;
    arguments[count++] = const_cast<char*>(pkexecPath);
    arguments[count++] = const_cast<char*>(kEnvPath);
    for (size_t i = 0; i < kPassedCount; ++i)
    {
        const char* value = getenv(kPassedVariables[i]);
        // A cut value would be a wrong one: leave it out.
        if (value != nullptr &&
            FormatBoundedA(assignments[i], PATH_MAX, "%s=%s", kPassedVariables[i], value))
            arguments[count++] = assignments[i];
    }
    arguments[count++] = ownPath;
    arguments[count] = nullptr;

    // pkexec refuses before it asks anyone when its own environment looks suspicious to it (a
    // SHELL missing from /etc/shells, a '/' in LANG); it needs nothing from the caller's.
    char searchPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* const environment[] = {searchPath, nullptr};
    pid_t child;
    const int spawnError = SpawnProcess(&child, pkexecPath, arguments, environment, false);
    if (spawnError != 0)
    {
        char detail[PATH_MAX + 64];
        FormatBoundedA(detail, sizeof detail, " %s cannot be run (%s).", pkexecPath,
                       strerror(spawnError));
        ReportRefusal("they cannot be asked for:", detail);
        return 1;
    }
    siginfo_t ended;
    if (!WaitForProcess(child, &ended))
        return 1;
    if (ended.si_code != CLD_EXITED)
        return 128 + ended.si_status;
    const int exitCode = ended.si_status;
    if (exitCode != 126 && exitCode != 127)
        return exitCode;
    // env answers "cannot run" and "not found" with the same 126 and 127 as pkexec's "cancelled"
    // and "not authorised". pkexec takes root as its real user only once the request is granted
    // (and env keeps it), and waitid reports the real user the child ended with.
    if (ended.si_uid == 0 && getuid() != 0)
    {
        char detail[64];
        FormatBoundedA(detail, sizeof detail, " (%s exit %d).", kEnvPath, exitCode);
        ReportRefusal("once they were given the launcher could not be started as root", detail);
    }
    else if (exitCode == 126)
    {
        ReportRefusal("the request for them was cancelled.", "");
    }
    else
    {
        ReportRefusal("the request for them was not authorised.", "");
    }
    return exitCode;
}
