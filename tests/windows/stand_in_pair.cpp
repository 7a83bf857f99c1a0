// Stand-in for a pairing tool in the test kits: records that it started, with its command
// line and working directory, in "<own file name>.started" beside itself (UTF-8).
#include <windows.h>

#include <string>

namespace
{

std::string Utf8(const std::wstring& text)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

int wmain()
{
    // Kits in the tests may lie deeper than the classic path limit.
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    std::wstring directory(32768, L'\0');
    directory.resize(GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data()));

    // Written whole under another name first: a test that sees the marker reads all of it.
    const std::string record = Utf8(GetCommandLineW()) + "\n" + Utf8(directory) + "\n";
    const std::wstring partial = self + L".starting";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
    return MoveFileExW(partial.c_str(), (self + L".started").c_str(), MOVEFILE_REPLACE_EXISTING)
               ? 0
               : 1;
}
