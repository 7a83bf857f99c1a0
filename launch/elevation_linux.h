// Administrator rights on Linux: the launcher runs itself again as root through pkexec.
#pragma once

constexpr const char* kPkexecPath = "/usr/bin/pkexec";

// Runs "<pkexec> /usr/bin/env VAR=value... <own path>" with the display and locale variables
// that are set, waits for it and returns its exit code. When pkexec cannot be run, or it says
// the request was cancelled (126) or not authorised (127), writes one line on standard error
// saying why administrator rights could not be had and returns non-zero; nothing is started.
int RunElevated(const char* pkexecPath);
