// The launcher's own process state and the processes it starts.
#include "process_linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool WaitForProcess(pid_t child, siginfo_t* ended)
{
    while (waitid(P_PID, child, ended, WEXITED) != 0)
    {
        if (errno != EINTR)
            return false;
    }
    return true;
}
