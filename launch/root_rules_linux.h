// What root may be asked to run on Linux, and what it may be handed. Both sides of the tool's
// start apply these rules: the caller before it asks pkexec (request_tool_start_linux.cpp) and
// root's step before it starts anything (start_tool_as_root_linux.cpp).
#pragma once

#include "launch_decision.h"

#include <cstddef>
#include <sys/types.h>

constexpr const char* kPkexecPath = "/usr/bin/pkexec";
// Root's step: `<launcher> --start-tool FOLDER [NAME=value...]`, FOLDER one of the kit's tool
// folders.
constexpr const char* kStartToolOption = "--start-tool";
// The display and the language of the notices; nothing else of the caller's reaches root.
constexpr const char* kPassedVariables[] = {"DISPLAY", "LANG", "LC_ALL", "LC_MESSAGES"};
constexpr size_t kPassedCount = sizeof kPassedVariables / sizeof kPassedVariables[0];
// More than any real .Xauthority; credentials that do not fit are not passed at all.
constexpr size_t kMaxCredentialBytes = 16384;

// True when no user other than root and caller can change what path names: an absolute path
// with no link in it, whose file and every folder above it are owned by root or caller, and
// writable by neither others nor a group (a folder with the sticky bit may be, and so may any
// part whose group is the caller's private group, see PrivateGroupOf). Otherwise false, with the
// first unfit part of the path in unfit.
bool IsPathFitForRoot(const char* path, uid_t caller, char* unfit, size_t capacity);

// True, with the group in group, when user's primary group belongs to that user alone, as the
// private groups of Debian's accounts do: it has the user's name, lists no other member, and no
// other account has it as its primary group.
bool PrivateGroupOf(uid_t user, gid_t* group);

// True for an environment value that may be passed on to root: not empty, and without '/', '%'
// or "..", which would let a display or locale name a file.
bool IsPassableValue(const char* value);

// True when assignment is NAME=... for one of kPassedVariables.
bool IsPassedName(const char* assignment);

// The tool table's row whose folder is exactly folder, or null.
const ToolTarget* ToolTargetOfFolder(const char* folder);

// Reads fd to its end into out. Returns the byte count, or 0 when it could not be read whole or
// held more than capacity bytes: cut credentials are no credentials.
size_t ReadWholeOrNothing(int fd, char* out, size_t capacity);

// One line on standard error: start, reason and detail as they are, then a newline.
void ReportLine(const char* start, const char* reason, const char* detail);

// The line for a path IsPathFitForRoot refused: start, reason, "another user could change
// <unfit>.".
void ReportUnfitPath(const char* start, const char* reason, const char* unfit);
