#include "elevation_linux.h"

#include "bounded_format.h"
#include "text_linux.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
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

void PrepareProcess()
{
    // open() takes the lowest free number, so in this order each closed one gets /dev/null,
    // which stays open for the life of the process like any standard descriptor.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);
    }
    // A blocked signal holds up neither waitpid nor nanosleep, so the inherited mask can stay
    // for the launcher itself; its children get an empty one.
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    // Ignored, SIGCHLD would have the kernel reap every child, and each wait fail.
    action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &action, nullptr);
}

int SpawnProcess(pid_t* child, const char* path, char* const arguments[], char* const environment[],
                 bool ownSession)
{
    posix_spawnattr_t attributes;
    int error = posix_spawnattr_init(&attributes);
    if (error != 0)
        return error;
    // Every bit set: sigfillset leaves out the two signals glibc reserves (32 and 33), and its
    // posix_spawn would then start the child with them ignored.
    sigset_t all;
    memset(&all, 0xFF, sizeof all);
    sigset_t none;
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (ownSession)
        flags |= POSIX_SPAWN_SETSID;
    error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (error == 0)
        error = posix_spawnattr_setsigmask(&attributes, &none);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes, flags);
    if (error == 0)
        error = posix_spawn(child, path, nullptr, &attributes, arguments, environment);
    posix_spawnattr_destroy(&attributes);
    return error;
}

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
    siginfo_t ended = {};
    while (waitid(P_PID, child, &ended, WEXITED) != 0)
    {
        if (errno != EINTR)
            return 1;
    }
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
