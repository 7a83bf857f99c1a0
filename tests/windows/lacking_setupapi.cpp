// A setupapi.dll that lists one interface but lacks the functions that read and free the list,
// as an old or damaged system library might: the launcher binds its stand-ins for those two.
// The test puts it in the system directory of its Wine prefix for one run.
// Declared here as this library's own exports, not imports.
#define _SETUPAPI_
#include <windows.h>

#include <setupapi.h>

extern "C"
{

    __declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD)
    {
        static int list;
        return &list;
    }

    __declspec(dllexport) BOOL WINAPI
        SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                    PSP_DEVICE_INTERFACE_DATA)
    {
        if (index == 0)
            return TRUE;
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
}
