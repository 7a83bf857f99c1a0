// A hid.dll as anyone could drop it beside the launcher in a downloads folder. Loading it
// leaves "planted-hid.loaded" beside it; its GUID is not the HID class, so a launcher that
// took it would find no receiver either.
#include <windows.h>

extern "C" __declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID* guid)
{
    *guid = GUID{};
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[MAX_PATH + 32];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\')
        --name;
    lstrcpyW(name, L"planted-hid.loaded");
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
