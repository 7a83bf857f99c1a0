// The launcher runs elevated from wherever the kit was unpacked, where anyone may have dropped
// a library under a name the system loads.
#include "system_library_windows.h"

#include "bounded_format.h"

// Valid on every version: with a full path, the library's imports are searched from its own
// folder (the system directory) instead of the program's.
DWORD g_dwSystemLibraryFlags = LOAD_WITH_ALTERED_SEARCH_PATH;

void LockLibrarySearch(SetDefaultDllDirectoriesFunction setDefaultDllDirectories)
{
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
        g_dwSystemLibraryFlags = LOAD_LIBRARY_SEARCH_SYSTEM32;
        return;
    }
    // The LOAD_LIBRARY_SEARCH_* flags are refused where the function is missing.
    SetDllDirectoryW(L"");
    g_dwSystemLibraryFlags = LOAD_WITH_ALTERED_SEARCH_PATH;
}

HMODULE LoadSystemLibrary(const char* fileName)
{
    wchar_t path[kPathChars];
    size_t length = GetSystemDirectoryW(path, kPathChars);
    if (length == 0 || length + 1 >= kPathChars)
        return nullptr;
    path[length++] = L'\\';
    for (const char* c = fileName; *c != '\0'; ++c)
    {
        if (length + 1 >= kPathChars)
            return nullptr;
        path[length++] = static_cast<unsigned char>(*c);
    }
    path[length] = L'\0';
    return LoadLibraryExW(path, nullptr, g_dwSystemLibraryFlags);
}
