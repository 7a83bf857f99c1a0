// Root's side of the tool's start on Linux: the launcher's one step as root, and the start of a
// kit's tool by a launcher that already runs as root.
#pragma once

#include "launch_decision.h"

// `--start-tool FOLDER [NAME=value...]`, run by pkexec (or sudo). Takes the kit from the
// launcher's own resolved path, never from the caller; accepts only a folder of the tool table;
// checks the tool's path for the user pkexec names in PKEXEC_UID (for root alone without it);
// takes the credentials from standard input into a descriptor only the tool gets
// (XAUTHORITY=/dev/fd/3); starts the tool in the kit's folder with umask 022 and PID 1's limits.
// Returns the exit code: 0 when the tool started, otherwise non-zero after one line on standard
// error. It never detects or shows anything.
int RunToolStart(int argumentCount, char* const arguments[]);

// The launcher's own folder (ending in '/') and target's tool in it, both as the run makes them
// from the launcher's resolved path. False when either cannot be had whole.
bool KitToolPaths(const ToolTarget& target, char* kit, char* tool);

// Starts tool as root in the kit's folder kit, with descriptors 0-2 (standardInput as 0 when not
// -1, and credentials as 3 when not -1) and the given environment, in a session of its own, not
// waited for. Call TakeFreshRootState first. Returns 0, or the error that stopped it.
int StartToolInKit(const char* kit, const char* tool, char* const environment[], int standardInput,
                   int credentials);
