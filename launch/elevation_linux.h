// Administrator rights on Linux: the launcher runs itself again as root through pkexec.
#pragma once

constexpr const char* kPkexecPath = "/usr/bin/pkexec";

// Runs "<pkexec> /usr/bin/env VAR=value... /proc/<pid>/exe" with the display and locale
// variables that are set, waits for it and returns its exit code. pkexec gets PATH alone as
// its environment. When pkexec cannot be run, the request was cancelled (126) or not
// authorised (127), or rights were given but the launcher could not be started with them,
// writes one line on standard error saying why and returns non-zero; nothing is started.
int RunElevated(const char* pkexecPath);
