// Entry of the Windows launcher: a GUI-subsystem program with the console-style wide entry.
#include "launcher_run.h"
#include "system_library_windows.h"

#include <windows.h>

#include <delayimp.h>

namespace
{

// setupapi, shell32, shlwapi and user32 are delay-loaded (cmake/Windows.cmake): each is bound
// at its first call, after the search is locked, from the system directory by full path. Were
// that to fail, the helper would try the plain name, which the lock (or, on systems without
// it, the system's list of known libraries) keeps in the system directory too. Like any
// import they stay for the process: the shell may still run threads in shell32 after
// ShellExecuteW returns, and the process ends right after.
FARPROC WINAPI LoadDelayedLibrary(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary)
        return nullptr;
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(info->szDll));
}

} // namespace

PfnDliHook __pfnDliNotifyHook2 = LoadDelayedLibrary;

extern "C" int wmain(int, wchar_t**, wchar_t**)
{
    // The launcher runs elevated from the kit's folder, where anyone may have dropped a
    // library; every later load (the shell loads many when it starts the tool) comes from the
    // system directory only. Only KERNEL32 and the C runtime are bound before this line.
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    LockLibrarySearch(reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories"))));
    return RunLauncher();
}
