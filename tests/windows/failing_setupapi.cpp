// A setupapi.dll whose device list can never be obtained, for the failure line of the scan.
// The test puts it in the system directory of its Wine prefix for one run.
// Declared here as this library's own exports, not imports.
#define _SETUPAPI_
#include <windows.h>

#include <setupapi.h>

// Any error code will do; this one has letters, to show the line's lower-case hex.
constexpr DWORD kListError = ERROR_NO_SYSTEM_RESOURCES; // 0x5aa

extern "C"
{

    __declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD)
    {
        SetLastError(kListError);
        return INVALID_HANDLE_VALUE;
    }

    __declspec(dllexport) BOOL WINAPI
        SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                    PSP_DEVICE_INTERFACE_DATA)
    {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }

    __declspec(dllexport) BOOL WINAPI
        SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                         PSP_DEVINFO_DATA)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }

    __declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
}
