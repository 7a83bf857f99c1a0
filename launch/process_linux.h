// The launcher's own process state and the processes it starts, on Linux. It runs as root and
// hands that on, so it trusts nothing it inherited and passes nothing of it on.
#pragma once

#include <csignal>
#include <sys/types.h>

// Puts right what the launcher may have inherited: opens /dev/null on whichever of the standard
// descriptors 0-2 are closed, ignores SIGPIPE (a trace line that nobody reads is not a reason to
// stop) and gives SIGCHLD its default action, so that children can be waited for. Call first.
void PrepareProcess();

// posix_spawn of the exact path with default actions for every signal and an empty signal mask,
// whatever this process had; in a session of its own when asked. Returns posix_spawn's error.
int SpawnProcess(pid_t* child, const char* path, char* const arguments[], char* const environment[],
                 bool ownSession);

// Waits until the child has ended and describes how (si_code, si_status, and si_uid, the real
// user it ended as). False when it cannot be waited for.
bool WaitForProcess(pid_t child, siginfo_t* ended);
