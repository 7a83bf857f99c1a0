// The launcher's whole run, from its own path to a started tool or a notice.
#pragma once

// Returns 0, whatever happened: a tool that could not be started or a notice that could not be
// shown is not the caller's failure. That is the Windows launcher's exit code; the Linux entry
// (main_linux.cpp) exits instead with the code of a request for rights that failed.
int RunLauncher();
