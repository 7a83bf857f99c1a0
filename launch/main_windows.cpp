// Entry of the Windows launcher: a GUI-subsystem program with the console-style wide entry.
#include "launcher_run.h"
#include "system_library_windows.h"

#include <windows.h>

#include <delayimp.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>
#include <type_traits>

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

// Why the last library or function could not be bound; the stand-ins below report it.
DWORD g_dwUnboundImportError = ERROR_PROC_NOT_FOUND;

// Stand-ins for a function that cannot be bound (its library is missing or disabled, or lacks
// it). Each fails as the real one does when the system refuses the call, so the pass yields
// nothing, no tool starts and no notice shows, and the run still reaches its decision.
HDEVINFO WINAPI UnboundGetClassDevs(const GUID*, PCWSTR, HWND, DWORD)
{
    SetLastError(g_dwUnboundImportError);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI UnboundEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                        PSP_DEVICE_INTERFACE_DATA)
{
    SetLastError(g_dwUnboundImportError);
    return FALSE;
}

BOOL WINAPI UnboundGetInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                      PSP_DEVINFO_DATA)
{
    SetLastError(g_dwUnboundImportError);
    return FALSE;
}

BOOL WINAPI UnboundDestroyDeviceInfoList(HDEVINFO)
{
    SetLastError(g_dwUnboundImportError);
    return FALSE;
}

PWSTR WINAPI UnboundStrStrI(PCWSTR, PCWSTR)
{
    return nullptr;
}

HINSTANCE WINAPI UnboundShellExecute(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT)
{
    SetLastError(g_dwUnboundImportError);
    return reinterpret_cast<HINSTANCE>(SE_ERR_DLLNOTFOUND);
}

int WINAPI UnboundMessageBox(HWND, LPCWSTR, LPCWSTR, UINT)
{
    SetLastError(g_dwUnboundImportError);
    return 0;
}

// A stdcall stand-in must take exactly the real function's arguments: the callee pops them.
static_assert(std::is_same_v<decltype(&UnboundGetClassDevs), decltype(&SetupDiGetClassDevsW)>);
static_assert(
    std::is_same_v<decltype(&UnboundEnumDeviceInterfaces), decltype(&SetupDiEnumDeviceInterfaces)>);
static_assert(std::is_same_v<decltype(&UnboundGetInterfaceDetail),
                             decltype(&SetupDiGetDeviceInterfaceDetailW)>);
static_assert(std::is_same_v<decltype(&UnboundDestroyDeviceInfoList),
                             decltype(&SetupDiDestroyDeviceInfoList)>);
static_assert(std::is_same_v<decltype(&UnboundStrStrI), decltype(&StrStrIW)>);
static_assert(std::is_same_v<decltype(&UnboundShellExecute), decltype(&ShellExecuteW)>);
static_assert(std::is_same_v<decltype(&UnboundMessageBox), decltype(&MessageBoxW)>);

// Every function the .def files list has its stand-in here.
FARPROC StandInFor(const char* name)
{
    void* standIn = nullptr;
    if (std::strcmp(name, "SetupDiGetClassDevsW") == 0)
        standIn = reinterpret_cast<void*>(UnboundGetClassDevs);
    else if (std::strcmp(name, "SetupDiEnumDeviceInterfaces") == 0)
        standIn = reinterpret_cast<void*>(UnboundEnumDeviceInterfaces);
    else if (std::strcmp(name, "SetupDiGetDeviceInterfaceDetailW") == 0)
        standIn = reinterpret_cast<void*>(UnboundGetInterfaceDetail);
    else if (std::strcmp(name, "SetupDiDestroyDeviceInfoList") == 0)
        standIn = reinterpret_cast<void*>(UnboundDestroyDeviceInfoList);
    else if (std::strcmp(name, "StrStrIW") == 0)
        standIn = reinterpret_cast<void*>(UnboundStrStrI);
    else if (std::strcmp(name, "ShellExecuteW") == 0)
        standIn = reinterpret_cast<void*>(UnboundShellExecute);
    else if (std::strcmp(name, "MessageBoxW") == 0)
        standIn = reinterpret_cast<void*>(UnboundMessageBox);
    return reinterpret_cast<FARPROC>(standIn);
}

// Without this hook the helper raises 0xC06D007E (library) or 0xC06D007F (function), which
// nothing handles: the process would die with no tool and no notice. Instead a library that
// cannot be loaded is replaced by the launcher itself, which exports nothing, so each of its
// functions comes back here as one that cannot be found, and gets its stand-in, once: the
// helper puts it into the import slot.
FARPROC WINAPI BindStandIn(unsigned notification, PDelayLoadInfo info)
{
    const HMODULE launcher = GetModuleHandleW(nullptr);
    if (notification == dliFailLoadLib)
    {
        g_dwUnboundImportError = info->dwLastError;
        return reinterpret_cast<FARPROC>(launcher);
    }
    if (notification != dliFailGetProc || !info->dlp.fImportByName)
        return nullptr;
    if (info->hmodCur != launcher) // the library is there but lacks the function
        g_dwUnboundImportError = info->dwLastError;
    return StandInFor(info->dlp.szProcName);
}

} // namespace

PfnDliHook __pfnDliNotifyHook2 = LoadDelayedLibrary;
PfnDliHook __pfnDliFailureHook2 = BindStandIn;

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
