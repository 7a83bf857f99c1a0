// The launcher's own process state and the processes it starts, on Linux. It puts right what it
// inherited and passes on only what it chooses.
#pragma once

#include <csignal>
#include <cstddef>
#include <sys/types.h>

// Puts right what the launcher may have inherited, before it opens anything: opens /dev/null on
// whichever of the standard descriptors 0-2 are closed; raises a soft limit it relies on
// (descriptors, stack) that is below the usual default to that default, as far as the hard one
// allows, and no further, since the tool inherits them; ignores SIGPIPE and SIGXFSZ (a trace line
// that cannot be written is dropped, not a reason to stop); gives SIGCHLD its default action, so
// that children can be waited for. Call first.
void PrepareProcess();

// posix_spawn of the exact path with default actions for every signal and an empty signal mask,
// whatever this process had, and descriptors 0-2 alone: every other one is marked
// close-on-exec first. In a session of its own when asked; with standardInput (when not -1) as its
// descriptor 0. Returns posix_spawn's error.
int SpawnProcess(pid_t* child, const char* path, char* const arguments[], char* const environment[],
                 bool ownSession, int standardInput = -1);

// SpawnProcess (in this session), waited for: the program's exit status once it has ended, or -1
// when it could not start or did not exit.
int RunProcess(const char* path, char* const arguments[], char* const environment[]);

// Ends child, a process this one started, in bounded time: waits graceMilliseconds for it to end
// by itself, then as long again after SIGTERM, then after SIGKILL. True once it has been reaped.
bool EndProcess(pid_t child, unsigned graceMilliseconds);

// Room for the environment handed to a child: the caller's variables and the launcher's own.
constexpr size_t kEnvironmentEntries = 1024;

// The caller's environment with variables (NAME=value entries, null-terminated) in place of any
// of those names; an entry NAME without '=' only leaves that name out. False when it does not
// fit capacity entries and the terminating null.
bool EnvironmentWith(char* const variables[], char* out[], size_t capacity);
