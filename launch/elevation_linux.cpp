#include "elevation_linux.h"

#include "bounded_format.h"
#include "text_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
    // env would take a path with '=' in it for one more variable; /proc/<pid>/exe names the same
    // file and stays valid while this process waits.
    char ownPath[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", ownPath, sizeof ownPath);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof ownPath ||
        memchr(ownPath, '=', static_cast<size_t>(length)) != nullptr)
    {
        FormatBoundedA(ownPath, sizeof ownPath, "/proc/%d/exe", static_cast<int>(getpid()));
    }
    else
    {
        ownPath[length] = '\0';
    }

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

    pid_t child;
    const int spawnError = posix_spawn(&child, pkexecPath, nullptr, nullptr, arguments, environ);
    if (spawnError != 0)
    {
        char detail[PATH_MAX + 64];
        FormatBoundedA(detail, sizeof detail, " %s cannot be run (%s).", pkexecPath,
                       strerror(spawnError));
        ReportRefusal("they cannot be asked for:", detail);
        return 1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
    {
        if (errno != EINTR)
            return 1;
    }
    if (!WIFEXITED(status))
        return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    const int exitCode = WEXITSTATUS(status);
    if (exitCode == 126)
        ReportRefusal("the request for them was cancelled.", "");
    else if (exitCode == 127)
        ReportRefusal("the request for them was not authorised.", "");
    return exitCode;
}
