// The launcher's whole run, from its own path to a started tool or a notice.
#pragma once

// Returns the exit code: 0, or StartTool's (on Linux, non-zero when the tool needed
// administrator rights that could not be had).
int RunLauncher();
