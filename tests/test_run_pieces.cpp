#include "base_directory.h"
#include "bounded_format.h"
#include "counters.h"
#include "run_text.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::wstring BaseDirectoryOf(const wchar_t* modulePath)
{
    wchar_t out[kPathChars];
    EXPECT_TRUE(MakeBaseDirectory(modulePath, out, kPathChars));
    return out;
}

TEST(BaseDirectory, DrivePath)
{
    EXPECT_EQ(BaseDirectoryOf(L"C:\\Tools\\Pair\\x.exe"), L"C:\\Tools\\Pair\\");
    EXPECT_EQ(BaseDirectoryOf(L"D:\\TamsuLauncher.exe"), L"D:\\");
    EXPECT_EQ(BaseDirectoryOf(L"C:x.exe"), L"C:"); // drive-relative: drive only
}

TEST(BaseDirectory, NetworkShareHasNoDrive)
{
    EXPECT_EQ(BaseDirectoryOf(L"\\\\server\\share\\kit\\x.exe"), L"\\\\server\\share\\kit\\");
}

TEST(BaseDirectory, EitherSlashSeparates)
{
    EXPECT_EQ(BaseDirectoryOf(L"C:/Tools/Pair/x.exe"), L"C:/Tools/Pair/");
    EXPECT_EQ(BaseDirectoryOf(L"C:\\Tools/Pair\\x.v2.exe"), L"C:\\Tools/Pair\\");
    EXPECT_EQ(BaseDirectoryOf(L"/opt/kit/tamsu-launcher"), L"/opt/kit/");
}

TEST(BaseDirectory, BareFileNameGivesNothing)
{
    EXPECT_EQ(BaseDirectoryOf(L"x.exe"), L"");
    EXPECT_EQ(BaseDirectoryOf(L""), L"");
    EXPECT_EQ(BaseDirectoryOf(L"\0:\\x.exe"), L""); // empty: nothing past its end is read
}

TEST(BaseDirectory, DirectoryCutToAPathIsNotWhole)
{
    // Even when the result would fit the caller's buffer: the directory alone is cut at 259
    // characters, its separators included.
    wchar_t out[2 * kPathChars];
    for (size_t length : {257u, 258u})
    {
        const std::wstring modulePath = L"C:\\" + std::wstring(length, L'k') + L"\\x.exe";
        EXPECT_EQ(MakeBaseDirectory(modulePath.c_str(), out, 2 * kPathChars), length == 257)
            << length;
    }
}

TEST(BaseDirectory, OnlyFullyQualifiedOnesAreUsable)
{
    for (const wchar_t* base :
         {L"C:\\Tools\\", L"a:/", L"z:/", L"A:\\", L"Z:\\", L"\\\\server\\share\\kit\\",
          L"//srv/share/", L"\\\\s\\share\\", L"\\\\?\\C:\\kit\\", L"\\\\?\\UNC\\srv\\share\\",
          L"\\\\.\\C:\\kit\\"})
        EXPECT_TRUE(IsFullyQualifiedDirectory(base)) << base;
    for (const wchar_t* base :
         {L"", L"C:", L"C:kit\\", L"\\kit\\", L"kit\\", L"UNC\\srv\\share\\", L"\\\\server\\",
          L"\\\\\\share\\", L"\\\\.\\pipe\\", L"\\\\.\\C:kit\\", L"1:\\", L"\\\\.\\1:\\kit\\",
          L"k\\srv\\share\\"})
        EXPECT_FALSE(IsFullyQualifiedDirectory(base)) << base;
}

TEST(BoundedFormat, CutsAtTheBufferAndSaysSo)
{
    for (size_t length : {258u, 259u, 260u, 400u})
    {
        SCOPED_TRACE(length);
        const std::wstring text(length, L'x');
        wchar_t out[kPathChars];
        out[kPathChars - 1] = L'?';
        const bool whole = FormatBoundedW(out, kPathChars, L"%s", text.c_str());
        EXPECT_EQ(whole, length <= kPathChars - 1);
        EXPECT_EQ(std::wstring(out), text.substr(0, kPathChars - 1));
    }
}

TEST(BoundedFormat, Conversions)
{
    char out[64];
    EXPECT_TRUE(
        FormatBoundedA(out, sizeof out, "%d|%d|%u|%x|%%|%s", -12, 0, 4000000000u, 0xBEEFu, "ok"));
    EXPECT_STREQ(out, "-12|0|4000000000|beef|%|ok");
    EXPECT_TRUE(FormatBoundedA(out, sizeof out, "%d", -2147483647 - 1));
    EXPECT_STREQ(out, "-2147483648");
    EXPECT_FALSE(FormatBoundedA(out, sizeof out, "bad %q"));
    EXPECT_FALSE(FormatBoundedA(out, 0, "x"));
    EXPECT_TRUE(FormatBoundedA(out, 1, ""));
    EXPECT_FALSE(FormatBoundedA(out, 1, "x"));
    EXPECT_STREQ(out, "");
}

TEST(SummaryLine, HugeCountsAreCutNotOverrun)
{
    SetCounters({4000000000u, 4000000000u, 4000000000u, 4000000000u, 4000000000u, 4000000000u});
    char line[kNarrowTraceBytes];
    EXPECT_FALSE(FormatSummaryLine(line, sizeof line));
    EXPECT_EQ(std::string(line).size(), kNarrowTraceBytes - 1);
}

} // namespace
