// Process start-up, child processes and administrator rights on Linux.
#pragma once

#include <sys/types.h>

constexpr const char* kPkexecPath = "/usr/bin/pkexec";

// Puts right what the launcher may have inherited: opens /dev/null on whichever of the standard
// descriptors 0-2 are closed, ignores SIGPIPE (a trace line that nobody reads is not a reason to
// stop) and gives SIGCHLD its default action, so that children can be waited for. Call first.
void PrepareProcess();

// posix_spawn of the exact path with default actions for every signal and an empty signal mask,
// whatever this process had; in a session of its own when asked. Returns posix_spawn's error.
int SpawnProcess(pid_t* child, const char* path, char* const arguments[], char* const environment[],
                 bool ownSession);

// Runs "<pkexec> /usr/bin/env VAR=value... /proc/<pid>/exe" with the display and locale
// variables that are set, waits for it and returns its exit code. pkexec gets PATH alone as
// its environment. When pkexec cannot be run, the request was cancelled (126) or not
// authorised (127), or rights were given but the launcher could not be started with them,
// writes one line on standard error saying why and returns non-zero; nothing is started.
int RunElevated(const char* pkexecPath);
