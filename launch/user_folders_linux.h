// The folders of the user the launcher runs as, by the XDG base directory rules.
#pragma once

#include <cstddef>
#include <sys/types.h>

// The data home by the XDG rules: dataHome (XDG_DATA_HOME) when it is an absolute path, else
// <home>/.local/share (an empty or relative XDG_DATA_HOME is ignored). False when home is not
// absolute either, or the path does not fit capacity.
bool DataHomeFolder(const char* dataHome, const char* home, char* out, size_t capacity);

// The data home of the user the launcher runs as: from XDG_DATA_HOME, or HOME when absolute,
// else the user's home in the password file. Root's lies in root's own home from the password
// file, whatever HOME and XDG_DATA_HOME say, so that a root run (sudo -E) leaves nothing of
// root's in another user's home; that home goes into rootHome, which is empty for any other
// user.
bool UserDataHome(char* out, size_t capacity, char* rootHome, size_t rootHomeCapacity);

// The home folder of the user uid in the password file (name:password:uid:gid:comment:home:
// shell lines), read as text. False when there is none, or it is not absolute.
bool PasswordFileHome(const char* passwordFile, uid_t uid, char* out, size_t capacity);

// Makes each missing folder of the absolute path, mode 0700 as the XDG rules ask. False when one
// cannot be made.
bool MakeFolders(const char* path);

// What OpenFolderAt says of a name that is not there: one object, so that a caller may compare
// the pointer (a literal in a header may have another address in each file).
extern const char kFolderMissing[];

// Opens name in the folder at when it is a real folder, not a link to one (nor waited on);
// else -1 with why ("is a symbolic link", kFolderMissing, ...).
int OpenFolderAt(int at, const char* name, const char** why);

// Why the folder fd may not hold what is the user's alone (the user the launcher runs as):
// another user owns it, or others may write it (group or world bits, an ACL's mask). nullptr
// when it may.
const char* OwnFolderFault(int fd);

// Why another user could move a folder out of fd, or put another in its place: fd is neither
// root's nor the user's, or others may write it (group or world) and it is not sticky. nullptr
// when none can.
const char* SharedFolderFault(int fd);

// Opens the folder path (made when missing) by its real path, each folder from the root on
// checked by SharedFolderFault: then no other user can swap it, or a folder on the way to it,
// after the checks. -1 with why, and in walked the folder it names (cut to capacity).
int OpenCheckedFolder(const char* path, char* walked, size_t capacity, const char** why);

// The same walk for a folder's real path (absolute, no link in it), made by no one: each folder
// from the root on checked by SharedFolderFault.
int OpenRealFolder(const char* real, char* walked, size_t capacity, const char** why);

// Makes name in the folder at (mode 0700) when missing and opens it, only when it is a real
// folder (OpenFolderAt) of the user's own that no one else may write (OwnFolderFault); else -1
// with why.
int OpenOwnFolderAt(int at, const char* name, const char** why);
