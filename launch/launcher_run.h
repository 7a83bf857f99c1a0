// The launcher's whole run, from its own path to a started tool or a notice.
#pragma once

// Returns the exit code, always 0.
int RunLauncher();
