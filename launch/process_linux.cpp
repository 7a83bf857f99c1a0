// The launcher's own process state and the processes it starts.
#include "process_linux.h"

#include "error_output_linux.h"
#include "text_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{

// Nothing the launcher holds beyond 0-2 is meant for a child; inherited descriptors least of all.
void MarkDescriptorsCloseOnExec()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels before 5.11: walk the open ones.
    DIR* open = opendir("/proc/self/fd");
    if (open == nullptr)
        return;
    while (const dirent* entry = readdir(open))
    {
        const int fd = atoi(entry->d_name);
        if (fd > STDERR_FILENO && fd != dirfd(open))
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    closedir(open);
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
    // A soft limit of a few descriptors would make a pass find nothing, a small stack would crash
    // it: one below the usual default is raised to it, as far as the hard one allows. Never
    // further: the tool inherits them, and an unlimited stack, for one, changes how the kernel
    // lays out a 32-bit program's memory (Wine's, among them).
    const struct
    {
        int resource;
        rlim_t floor;
    } floors[] = {{RLIMIT_NOFILE, 1024}, {RLIMIT_STACK, 8 << 20}};
    for (const auto& [resource, floor] : floors)
    {
        rlimit limit;
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur < floor)
        {
            limit.rlim_cur = std::min(floor, limit.rlim_max);
            setrlimit(resource, &limit);
        }
    }
    // A blocked signal holds up neither waitpid nor nanosleep, so the inherited mask can stay
    // for the launcher itself; its children get an empty one.
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    // A file-size limit makes a trace write to a file fail instead of ending the run.
    sigaction(SIGXFSZ, &action, nullptr);
    // Ignored, SIGCHLD would have the kernel reap every child, and each wait fail.
    action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &action, nullptr);
}

int SpawnProcess(pid_t* child, const char* path, char* const arguments[], char* const environment[],
                 bool ownSession, int standardInput)
{
    // The child writes to the same standard error: the trace lines gathered so far come first.
    FlushErrorText();
    MarkDescriptorsCloseOnExec();
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
    posix_spawn_file_actions_t actions;
    if (error == 0)
        error = posix_spawn_file_actions_init(&actions);
    if (error != 0)
    {
        posix_spawnattr_destroy(&attributes);
        return error;
    }
    if (standardInput >= 0)
        error = posix_spawn_file_actions_adddup2(&actions, standardInput, STDIN_FILENO);
    if (error == 0)
        error = posix_spawn(child, path, &actions, &attributes, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

namespace
{

// Waits until the child has ended and describes how (si_code, si_status). False when it cannot
// be waited for.
bool WaitForProcess(pid_t child, siginfo_t* ended)
{
    while (waitid(P_PID, child, ended, WEXITED) != 0)
    {
        if (errno != EINTR)
            return false;
    }
    return true;
}

} // namespace

int RunProcess(const char* path, char* const arguments[], char* const environment[])
{
    pid_t child;
    siginfo_t ended;
    if (SpawnProcess(&child, path, arguments, environment, false) != 0 ||
        !WaitForProcess(child, &ended))
        return -1;
    return ended.si_code == CLD_EXITED ? ended.si_status : -1;
}

bool EndProcess(pid_t child, unsigned graceMilliseconds)
{
    // Its own end first, then asked to end, then made to: a hung child never holds the launcher.
    constexpr unsigned kPollMilliseconds = 50;
    for (const int ending : {0, SIGTERM, SIGKILL})
    {
        if (ending != 0)
            kill(child, ending);
        for (unsigned waited = 0; waited < graceMilliseconds; waited += kPollMilliseconds)
        {
            const pid_t ended = waitpid(child, nullptr, WNOHANG);
            if (ended != 0)
                return ended == child;
            const timespec pause{0, kPollMilliseconds * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    return false;
}

bool EnvironmentWith(char* const variables[], char* out[], size_t capacity)
{
    size_t used = 0;
    for (char* const* entry = environ; *entry != nullptr; ++entry)
    {
        bool replaced = false;
        for (char* const* variable = variables; *variable != nullptr && !replaced; ++variable)
        {
            const size_t name = strcspn(*variable, "=");
            replaced = strncmp(*entry, *variable, name) == 0 && (*entry)[name] == '=';
        }
        if (replaced)
            continue;
        if (used + 1 >= capacity)
            return false;
        out[used++] = *entry;
    }
    for (char* const* variable = variables; *variable != nullptr; ++variable)
    {
        if (strchr(*variable, '=') == nullptr)
            continue;
        if (used + 1 >= capacity)
            return false;
        out[used++] = *variable;
    }
    out[used] = nullptr;
    return true;
}
