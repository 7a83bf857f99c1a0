// The launcher's whole run, from its own path to a started tool or a notice.
#pragma once

// Returns the exit code: StartTool's when a tool was to start (always 0 on Windows; on Linux
// non-zero when the tool needed administrator rights that could not be had), otherwise 0: a
// notice that could not be shown is not the caller's failure.
int RunLauncher();
