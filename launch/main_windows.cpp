// Entry of the Windows launcher: a GUI-subsystem program with the console-style wide entry.
#include "launcher_run.h"

#include <windows.h>

extern "C" int wmain(int, wchar_t**, wchar_t**)
{
    // The launcher runs elevated from the kit's folder, where anyone may have dropped a DLL;
    // every later load (the shell loads many when it starts the tool) comes from the system
    // directory only.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return RunLauncher();
}
