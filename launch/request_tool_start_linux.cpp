#include "request_tool_start_linux.h"

#include "bounded_format.h"
#include "process_linux.h"
#include "root_rules_linux.h"
#include "text_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char kWhy[] = "tamsu-launcher: administrator rights are required (the pairing tool must "
                    "open the receiver as root), but";

// The caller's X credentials, read with the caller's own rights, only from a regular file the
// caller owns and never through a link at its end: XAUTHORITY, or .Xauthority at home. Returns
// the byte count, 0 when there are none to pass.
size_t ReadDisplayCredentials(char* out, size_t capacity)
{
    char path[PATH_MAX];
    const char* named = getenv("XAUTHORITY");
    const char* home = getenv("HOME");
    if (home == nullptr || *home == '\0')
    {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : "";
    }
    const bool whole = named != nullptr && *named != '\0'
                           ? FormatBoundedA(path, sizeof path, "%s", named)
                           : FormatBoundedA(path, sizeof path, "%s/.Xauthority", home);
    if (!whole)
        return 0;
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return 0;
    size_t total = 0;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == getuid())
        total = ReadWholeOrNothing(fd, out, capacity);
    close(fd);
    return total;
}

// Standard input for pkexec, handed on to root's step: the caller's credentials, or nothing.
// -1 when no pipe could be made.
int CredentialsInput()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    static char bytes[kMaxCredentialBytes];
    const size_t count = ReadDisplayCredentials(bytes, sizeof bytes);
    const bool whole = count == 0 || WriteIntoPipeWhole(ends[1], bytes, count);
    close(ends[1]);
    if (whole)
        return ends[0];
    // A part of them may be in the pipe: the tool starts without them instead.
    close(ends[0]);
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

bool WriteIntoPipeWhole(int pipeEnd, const char* bytes, size_t count)
{
    const int capacity = fcntl(pipeEnd, F_GETPIPE_SZ);
    const int flags = fcntl(pipeEnd, F_GETFL);
    if (capacity < 0 || count > static_cast<size_t>(capacity) || flags < 0 ||
        fcntl(pipeEnd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    return write(pipeEnd, bytes, count) == static_cast<ssize_t>(count);
}

int RequestToolStart(const char* pkexecPath, const ToolTarget& target, const char* toolPath)
{
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1)
    {
        ReportLine(kWhy,
                   "they cannot be gained in this process (no_new_privs is set), so none "
                   "were asked for.",
                   "");
        return 1;
    }
    // A missing tool is not started, and not worth a password.
    char tool[PATH_MAX];
    if (realpath(toolPath, tool) == nullptr)
        return 0;
    char launcher[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", launcher, sizeof launcher);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof launcher)
        return 1;
    launcher[length] = '\0';
    // Root checks the tool again; asking first would cost the administrator a password for
    // nothing.
    char unfit[PATH_MAX];
    if (!IsPathFitForRoot(launcher, getuid(), unfit, sizeof unfit) ||
        !IsPathFitForRoot(tool, getuid(), unfit, sizeof unfit))
    {
        ReportUnfitPath(kWhy, "they are not asked for: ", unfit);
        return 1;
    }
    char folder[kUtf8PathBytes];
    if (!WideToUtf8(target.subdirectory, folder, sizeof folder))
        return 1;

    char assignments[kPassedCount][PATH_MAX];
    char* arguments[kPassedCount + 5];
    size_t count = 0;
    arguments[count++] = const_cast<char*>(pkexecPath);
    arguments[count++] = launcher;
    arguments[count++] = const_cast<char*>(kStartToolOption);
    arguments[count++] = folder;
    for (size_t i = 0; i < kPassedCount; ++i)
    {
        // A cut value would be a wrong one: leave it out.
        const char* value = getenv(kPassedVariables[i]);
        if (IsPassableValue(value) &&
            FormatBoundedA(assignments[i], PATH_MAX, "%s=%s", kPassedVariables[i], value))
            arguments[count++] = assignments[i];
    }
    arguments[count] = nullptr;

    const int input = CredentialsInput();
    if (input < 0)
        return 1;
    // pkexec refuses before it asks anyone when its own environment looks suspicious to it (a
    // SHELL missing from /etc/shells, a '/' in LANG); it needs nothing from the caller's.
    char searchPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* const environment[] = {searchPath, nullptr};
    pid_t child;
    const int spawnError = SpawnProcess(&child, pkexecPath, arguments, environment, false, input);
    close(input);
    if (spawnError != 0)
    {
        char detail[PATH_MAX + 64];
        FormatBoundedA(detail, sizeof detail, " %s cannot be run (%s).", pkexecPath,
                       strerror(spawnError));
        ReportLine(kWhy, "they cannot be asked for:", detail);
        return 1;
    }
    siginfo_t ended;
    if (!WaitForProcess(child, &ended))
        return 1;
    if (ended.si_code != CLD_EXITED)
    {
        char detail[64];
        FormatBoundedA(detail, sizeof detail, " %d.", ended.si_status);
        ReportLine(kWhy, "the request for them ended with signal", detail);
        return 128 + ended.si_status;
    }
    const int exitCode = ended.si_status;
    if (exitCode != 126 && exitCode != 127)
        return exitCode;
    // pkexec answers a program it cannot run with the same 126 and 127 as "cancelled" and "not
    // authorised". It takes root as its real user only once the request is granted, and waitid
    // reports the real user the child ended with.
    if (ended.si_uid == 0 && getuid() != 0)
    {
        char detail[64];
        FormatBoundedA(detail, sizeof detail, " (pkexec exit %d).", exitCode);
        ReportLine(kWhy, "once they were given the launcher could not be started as root", detail);
    }
    else if (exitCode == 126)
    {
        ReportLine(kWhy, "the request for them was cancelled.", "");
    }
    else
    {
        ReportLine(kWhy, "the request for them was not authorised.", "");
    }
    return exitCode;
}
