// The caller's side of the tool's start on Linux: a caller who is not root asks pkexec for one
// short step of the launcher as root,
//
//   pkexec <launcher> --start-tool <folder> [DISPLAY=... LANG=... LC_ALL=... LC_MESSAGES=...]
//
// by the launcher's resolved path, which is also what the administrator is shown. The caller's X
// credentials go to root on standard input, never as a file name.
#pragma once

#include "launch_decision.h"

#include <cstddef>

// Asks pkexec to start target's tool (at toolPath) as root and waits for the answer. Returns 0
// when root started it (or there was nothing to start), non-zero otherwise, after one line on
// standard error saying why: rights cannot be gained in this process (no_new_privs), another user
// could change the launcher or the tool, pkexec cannot be run, the request was cancelled (126),
// not authorised (127) or ended by a signal (128 + its number), or root's step failed (its own
// line and exit code).
int RequestToolStart(const char* pkexecPath, const ToolTarget& target, const char* toolPath);

// Writes count bytes into the pipe whole and without waiting, or not at all: false when they do
// not fit its capacity or would need a blocking write. Nobody reads the pipe until pkexec runs.
bool WriteIntoPipeWhole(int pipeEnd, const char* bytes, size_t count);
