#include "elevation_linux.h"

#include "bounded_format.h"
#include "process_linux.h"
#include "text_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace
{

// The display and the language of the notices; nothing else of the caller's reaches root.
const char* const kPassedVariables[] = {"DISPLAY", "LANG", "LC_ALL", "LC_MESSAGES"};
constexpr size_t kPassedCount = sizeof kPassedVariables / sizeof kPassedVariables[0];
// More than any real .Xauthority, and less than a pipe holds, so the caller writes it whole
// before pkexec starts.
constexpr size_t kMaxCredentialBytes = 16384;
// Root's tool gets pkexec's environment, less what is set here, plus these.
constexpr size_t kMaxEnvironment = 64;

const char kWhy[] = "tamsu-launcher: administrator rights are required (the pairing tool must "
                    "open the receiver as root), but";

int g_elevationExitCode = 0;

void ReportLine(const char* start, const char* reason, const char* detail)
{
    char line[PATH_MAX + 256];
    FormatBoundedA(line, sizeof line, "%s %s%s\n", start, reason, detail);
    WriteText(STDERR_FILENO, line);
}

bool IsPassedName(const char* assignment)
{
    for (const char* name : kPassedVariables)
    {
        const size_t length = strlen(name);
        if (strncmp(assignment, name, length) == 0 && assignment[length] == '=')
            return true;
    }
    return false;
}

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
    {
        ssize_t got;
        while (total < capacity && (got = read(fd, out + total, capacity - total)) > 0)
            total += static_cast<size_t>(got);
        // Cut credentials are no credentials.
        char more;
        if (got < 0 || (total == capacity && read(fd, &more, 1) != 0))
            total = 0;
    }
    close(fd);
    return total;
}

void ReportUnfitPath(const char* start, const char* reason, const char* unfit)
{
    char detail[PATH_MAX + 64];
    FormatBoundedA(detail, sizeof detail, "another user could change %s.", unfit);
    ReportLine(start, reason, detail);
}

} // namespace

bool IsPassableValue(const char* value)
{
    return value != nullptr && *value != '\0' && strpbrk(value, "/%") == nullptr &&
           strstr(value, "..") == nullptr;
}

bool IsPathFitForRoot(const char* path, uid_t caller, char* unfit, size_t capacity)
{
    char part[PATH_MAX];
    if (path[0] != '/' || !FormatBoundedA(part, sizeof part, "%s", path))
    {
        FormatBoundedA(unfit, capacity, "%s", path);
        return false;
    }
    // Each folder from / down, then the file itself.
    for (size_t end = 1;; ++end)
    {
        const char kept = part[end];
        if (kept != '/' && kept != '\0')
            continue;
        part[end] = '\0';
        struct stat status;
        const bool last = kept == '\0';
        const bool fit =
            lstat(part, &status) == 0 && (status.st_uid == 0 || status.st_uid == caller) &&
            (last ? S_ISREG(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0
                  : S_ISDIR(status.st_mode) && ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0 ||
                                                (status.st_mode & S_ISVTX) != 0));
        if (!fit)
        {
            FormatBoundedA(unfit, capacity, "%s", part);
            return false;
        }
        if (last)
            return true;
        part[end] = kept;
    }
}

int RequestToolStart(const char* pkexecPath, const char* toolPath)
{
    g_elevationExitCode = 1;
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1)
    {
        ReportLine(kWhy,
                   "they cannot be gained in this process (no_new_privs is set), so none "
                   "were asked for.",
                   "");
        return g_elevationExitCode;
    }
    // A missing tool is not started, and not worth a password.
    char tool[PATH_MAX];
    if (realpath(toolPath, tool) == nullptr)
        return g_elevationExitCode = 0;
    char launcher[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", launcher, sizeof launcher);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof launcher)
        return g_elevationExitCode;
    launcher[length] = '\0';
    // Root runs these by name: nobody but root and the caller may be able to change either.
    char unfit[PATH_MAX];
    if (!IsPathFitForRoot(launcher, getuid(), unfit, sizeof unfit) ||
        !IsPathFitForRoot(tool, getuid(), unfit, sizeof unfit))
    {
        ReportUnfitPath(kWhy, "they are not asked for: ", unfit);
        return g_elevationExitCode;
    }

    char assignments[kPassedCount][PATH_MAX];
    char* arguments[kPassedCount + 5];
    size_t count = 0;
    arguments[count++] = const_cast<char*>(pkexecPath);
    arguments[count++] = launcher;
    arguments[count++] = const_cast<char*>(kStartToolOption);
    arguments[count++] = tool;
    for (size_t i = 0; i < kPassedCount; ++i)
    {
        // A cut value would be a wrong one: leave it out.
        const char* value = getenv(kPassedVariables[i]);
        if (IsPassableValue(value) &&
            FormatBoundedA(assignments[i], PATH_MAX, "%s=%s", kPassedVariables[i], value))
            arguments[count++] = assignments[i];
    }
    arguments[count] = nullptr;

    // The credentials go whole into the pipe before pkexec starts, so nothing waits on anything.
    int credentials[2];
    if (pipe2(credentials, O_CLOEXEC) != 0)
        return g_elevationExitCode;
    static char bytes[kMaxCredentialBytes];
    const size_t byteCount = ReadDisplayCredentials(bytes, sizeof bytes);
    const bool written = byteCount == 0 ||
                         write(credentials[1], bytes, byteCount) == static_cast<ssize_t>(byteCount);
    close(credentials[1]);

    // pkexec refuses before it asks anyone when its own environment looks suspicious to it (a
    // SHELL missing from /etc/shells, a '/' in LANG); it needs nothing from the caller's.
    char searchPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* const environment[] = {searchPath, nullptr};
    pid_t child;
    const int spawnError =
        written ? SpawnProcess(&child, pkexecPath, arguments, environment, false, credentials[0])
                : EIO;
    close(credentials[0]);
    if (spawnError != 0)
    {
        char detail[PATH_MAX + 64];
        FormatBoundedA(detail, sizeof detail, " %s cannot be run (%s).", pkexecPath,
                       strerror(spawnError));
        ReportLine(kWhy, "they cannot be asked for:", detail);
        return g_elevationExitCode;
    }
    siginfo_t ended;
    if (!WaitForProcess(child, &ended))
        return g_elevationExitCode;
    if (ended.si_code != CLD_EXITED)
        return g_elevationExitCode = 128 + ended.si_status;
    g_elevationExitCode = ended.si_status;
    if (g_elevationExitCode != 126 && g_elevationExitCode != 127)
        return g_elevationExitCode;
    // pkexec answers a program it cannot run with the same 126 and 127 as "cancelled" and "not
    // authorised". It takes root as its real user only once the request is granted, and waitid
    // reports the real user the child ended with.
    if (ended.si_uid == 0 && getuid() != 0)
    {
        char detail[64];
        FormatBoundedA(detail, sizeof detail, " (pkexec exit %d).", g_elevationExitCode);
        ReportLine(kWhy, "once they were given the launcher could not be started as root", detail);
    }
    else if (g_elevationExitCode == 126)
    {
        ReportLine(kWhy, "the request for them was cancelled.", "");
    }
    else
    {
        ReportLine(kWhy, "the request for them was not authorised.", "");
    }
    return g_elevationExitCode;
}

int ElevationExitCode()
{
    return g_elevationExitCode;
}

void StartToolAsRoot(const char* toolPath, char* const environment[], int standardInput,
                     int credentials)
{
    char* const arguments[] = {const_cast<char*>(toolPath), nullptr};
    pid_t child;
    SpawnProcess(&child, toolPath, arguments, environment, true, standardInput, credentials);
}

int RunToolStart(int argumentCount, char* const arguments[])
{
    const char kRefused[] = "tamsu-launcher: the pairing tool is not started as root:";
    if (getuid() != 0 || geteuid() != 0)
    {
        ReportLine(kRefused, kStartToolOption, " is the launcher's own step as root.");
        return 1;
    }
    if (argumentCount < 1)
    {
        ReportLine(kRefused, "no tool was named.", "");
        return 2;
    }
    // Before the credentials' copy is written, which the caller's file-size limit would stop.
    TakeFreshRootState();
    const char* tool = arguments[0];
    const char* callerText = getenv("PKEXEC_UID");
    const uid_t caller =
        callerText != nullptr ? static_cast<uid_t>(strtoul(callerText, nullptr, 10)) : 0;
    char unfit[PATH_MAX];
    if (!IsPathFitForRoot(tool, caller, unfit, sizeof unfit))
    {
        ReportUnfitPath(kRefused, "", unfit);
        return 1;
    }

    // pkexec's own environment, then the display and language the caller passed, then the
    // credentials' descriptor.
    char* environment[kMaxEnvironment + kPassedCount + 2];
    size_t count = 0;
    for (char** entry = environ; *entry != nullptr && count < kMaxEnvironment; ++entry)
    {
        if (!IsPassedName(*entry) && strncmp(*entry, "XAUTHORITY=", 11) != 0)
            environment[count++] = *entry;
    }
    for (int i = 1; i < argumentCount; ++i)
    {
        const char* equals = strchr(arguments[i], '=');
        if (equals != nullptr && IsPassedName(arguments[i]) && IsPassableValue(equals + 1) &&
            count < kMaxEnvironment + kPassedCount)
            environment[count++] = arguments[i];
    }

    // Only root and the tool can read the copy: a sealed memory file on the tool's descriptor 3.
    static char bytes[kMaxCredentialBytes];
    size_t total = 0;
    struct stat input;
    if (fstat(STDIN_FILENO, &input) == 0 && S_ISFIFO(input.st_mode))
    {
        ssize_t got;
        while (total < sizeof bytes &&
               (got = read(STDIN_FILENO, bytes + total, sizeof bytes - total)) > 0)
            total += static_cast<size_t>(got);
    }
    int credentials = -1;
    if (total > 0 && total < sizeof bytes)
    {
        const int memory = memfd_create("display-credentials", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        // Above 3, so that handing it to the tool as 3 is a real copy.
        if (memory >= 0)
        {
            if (write(memory, bytes, total) == static_cast<ssize_t>(total) &&
                fcntl(memory, F_ADD_SEALS,
                      F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0)
                credentials = fcntl(memory, F_DUPFD_CLOEXEC, 10);
            close(memory);
        }
    }
    char xauthority[] = "XAUTHORITY=/dev/fd/3";
    if (credentials >= 0)
        environment[count++] = xauthority;
    environment[count] = nullptr;

    // Standard input carried the credentials; the tool reads nothing from it.
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    StartToolAsRoot(tool, environment, nothing, credentials);
    if (nothing >= 0)
        close(nothing);
    if (credentials >= 0)
        close(credentials);
    return 0;
}
