// The library search lock where SetDefaultDllDirectories is missing (Vista, Windows 7 without
// its loader update). Wine always has it, so the test hands the lock no function.
#include "bounded_format.h"
#include "system_library_windows.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

namespace
{

// The cross-built tests run under Wine, whose drive Z: is the Unix root.
std::wstring ProbeLibraryPath()
{
    std::wstring path = L"Z:";
    for (const char* c = TAMSU_PROBE_LIBRARY; *c != '\0'; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring ModuleFile(HMODULE module)
{
    wchar_t path[kPathChars];
    const DWORD length = GetModuleFileNameW(module, path, kPathChars);
    return Lower(std::wstring(path, length < kPathChars ? length : 0));
}

// Wine's shlwapi imports shcore, and Wine, like Windows for any library that is not a known
// one, looks for a library's imports beside the program first. (Wine keeps the current folder
// in the search after SetDllDirectoryW(L""), so that half of the fallback is Windows' alone.)
TEST(SystemLibrary, WithoutDefaultDirectoriesImportsStillComeFromTheSystemDirectory)
{
    wchar_t program[kPathChars];
    const DWORD length = GetModuleFileNameW(nullptr, program, kPathChars);
    ASSERT_TRUE(length > 0 && length < kPathChars);
    std::wstring planted(program);
    planted.resize(planted.rfind(L'\\') + 1);
    planted += L"shcore.dll";
    ASSERT_TRUE(CopyFileW(ProbeLibraryPath().c_str(), planted.c_str(), FALSE));

    LockLibrarySearch(nullptr);
    // No LOAD_LIBRARY_SEARCH_* flag: Vista and un-updated Windows 7 refuse them.
    EXPECT_EQ(g_dwSystemLibraryFlags & 0xFF00u, 0u);
    HMODULE shell = LoadSystemLibrary("shlwapi.dll");
    EXPECT_NE(shell, nullptr);
    wchar_t system[kPathChars];
    ASSERT_GT(GetSystemDirectoryW(system, kPathChars), 0u);
    EXPECT_EQ(ModuleFile(shell), Lower(std::wstring(system) + L"\\shlwapi.dll"));
    EXPECT_EQ(ModuleFile(GetModuleHandleW(L"shcore.dll")),
              Lower(std::wstring(system) + L"\\shcore.dll"));
    EXPECT_EQ(GetFileAttributesW((planted + L".loaded").c_str()), INVALID_FILE_ATTRIBUTES);

    if (shell != nullptr)
        FreeLibrary(shell);
    SetDllDirectoryW(nullptr);
    DeleteFileW(planted.c_str());
    DeleteFileW((planted + L".loaded").c_str());
}

} // namespace
