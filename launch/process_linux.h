// The launcher's own process state and the processes it starts, on Linux. It may run as root
// and hand that on, so it puts right what it inherited and passes on only what it chooses.
#pragma once

#include <csignal>
#include <sys/types.h>

// Puts right what the launcher may have inherited, before it opens anything: opens /dev/null on
// whichever of the standard descriptors 0-2 are closed; raises the soft limits it relies on
// (descriptors, stack) to the hard ones; ignores SIGPIPE and SIGXFSZ (a trace line that cannot
// be written is dropped, not a reason to stop); gives SIGCHLD its default action, so that
// children can be waited for. Call first.
void PrepareProcess();

// posix_spawn of the exact path with default actions for every signal and an empty signal mask,
// whatever this process had, and descriptors 0-2 alone: every other one is marked
// close-on-exec first. standardInput, when not -1, becomes the child's descriptor 0, and
// handedDescriptor, when not -1, its descriptor 3. In a session of its own when asked. Returns
// posix_spawn's error.
int SpawnProcess(pid_t* child, const char* path, char* const arguments[], char* const environment[],
                 bool ownSession, int standardInput = -1, int handedDescriptor = -1);

// Waits until the child has ended and describes how (si_code, si_status, and si_uid, the real
// user it ended as). False when it cannot be waited for.
bool WaitForProcess(pid_t child, siginfo_t* ended);

// For a process about to start a program as root: umask 022 and the resource limits of PID 1,
// which a fresh root session would have, instead of whatever the caller set. A hard limit this
// process cannot raise (without CAP_SYS_RESOURCE) stays where it is, the soft one under it.
void TakeFreshRootState();
