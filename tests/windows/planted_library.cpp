// A library as anyone could drop it beside the launcher in a downloads folder, under the name
// of one the system, the shell or the launcher loads (hid.dll, uxtheme.dll, shell32.dll...).
// Loading it leaves "<its file name>.loaded" beside it. As hid.dll its GUID is not the HID
// class, so a launcher that took it would find no receiver either.
#include <windows.h>

extern "C" __declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID* guid)
{
    *guid = GUID{};
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcpyW(path + length, L".loaded");
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
