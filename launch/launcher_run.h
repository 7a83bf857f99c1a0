// The launcher's whole run, from its own path to a started tool or a notice.
#pragma once

// Returns the exit code: StartTool's when a tool was to start (always 0 on Windows; on Linux 1
// when the receiver is not open to the caller), otherwise 0: a notice that could not be shown is
// not the caller's failure.
int RunLauncher();
