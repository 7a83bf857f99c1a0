// Administrator rights on Linux, asked for only to start the pairing tool. Detection, the
// decision and the notices run with the caller's own rights; root runs one short step:
//
//   pkexec <launcher> --start-tool <tool> [DISPLAY=... LANG=... LC_ALL=... LC_MESSAGES=...]
//
// by resolved paths that no user other than root and the caller can change, which is also what
// the administrator is shown. The caller's X credentials go to root on standard input, never as
// a file name.
#pragma once

#include <cstddef>
#include <sys/types.h>

constexpr const char* kPkexecPath = "/usr/bin/pkexec";
constexpr const char* kStartToolOption = "--start-tool";

// The caller's side, for a caller who is not root: asks pkexec to start toolPath as root, waits
// and returns 0 when root started it (or there was nothing to start), non-zero otherwise, after
// one line on standard error saying why: rights cannot be gained in this process
// (no_new_privs), another user could change the launcher or the tool, pkexec cannot be run, the
// request was cancelled (126) or not authorised (127), or the root step failed.
int RequestToolStart(const char* pkexecPath, const char* toolPath);

// What the last request returned, 0 when none was made: the Linux launcher's exit code.
int ElevationExitCode();

// Root's side, `--start-tool TOOL [NAME=value...]`: checks the tool's path again for the user
// pkexec names in PKEXEC_UID, takes the credentials from standard input into a descriptor only
// the tool gets (XAUTHORITY=/dev/fd/3), and starts the tool with umask 022 and PID 1's limits
// (TakeFreshRootState). Returns the exit code; refuses with one line when not root or when the
// path is unfit.
int RunToolStart(int argumentCount, char* const arguments[]);

// Starts the tool as root with descriptors 0-2 (and 3 when credentials is not -1) and the given
// environment, in a session of its own; not waited for. Call TakeFreshRootState first.
void StartToolAsRoot(const char* toolPath, char* const environment[], int standardInput,
                     int credentials);

// True when no user other than root and caller can change what path names: an absolute path
// with no link in it, whose file and every folder above it are owned by root or caller, and
// none of them writable by group or others (a folder with the sticky bit may be). Otherwise
// false, with the first unfit part of the path in unfit.
bool IsPathFitForRoot(const char* path, uid_t caller, char* unfit, size_t capacity);

// True for an environment value that may be passed on to root: not empty, and without '/', '%'
// or "..", which would let a display or locale name a file.
bool IsPassableValue(const char* value);
