// System libraries by full path, and a library search that never reaches the launcher's folder.
#pragma once

#include <windows.h>

// SetDefaultDllDirectories as looked up at run time: Vista and Windows 7 without its loader
// update lack it, and a program that imports it statically does not load there at all.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD directoryFlags);

// How LoadSystemLibrary asks for a library's own imports; set by LockLibrarySearch.
extern DWORD g_dwSystemLibraryFlags;

// Restricts every later library search to the system directory, through the looked-up
// function when there is one. Without it only the current folder can be taken out of the
// search; libraries loaded with LoadSystemLibrary still come from the system directory, with
// everything they import.
void LockLibrarySearch(SetDefaultDllDirectoriesFunction setDefaultDllDirectories);

// Loads the library of this (ASCII) file name from the system directory by its full path.
// Returns null when it cannot.
HMODULE LoadSystemLibrary(const char* fileName);
