#include "counters.h"
#include "fake_platform.h"
#include "launcher_run.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

namespace
{

using Events = std::vector<std::wstring>;

const std::wstring kSunPath =
    L"\\\\?\\hid#vid_1bcf&pid_0501&col01#7&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::wstring kSocPath =
    L"\\\\?\\hid#vid_7c2f&pid_2003&mi_00#7&2&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::wstring kEntryPath =
    L"\\\\?\\hid#vid_7c2f&pid_2010#7&3&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::wstring kOtherPath =
    L"\\\\?\\hid#vid_046d&pid_c52b&mi_00#7&4&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

const std::wstring kNoneFoundEnglish =
    L"notice Tips|      No Tamsu Wireless Device detected!      ";

class LauncherRun : public testing::Test
{
  protected:
    void SetUp() override
    {
        ResetFakePlatform();
        ClearTraceLines();
        SetCounters({9, 9, 9, 9, 9, 9}); // left over: the run must reset them
    }
};

TEST_F(LauncherRun, ReceiverAtFirstPassStartsItsToolWithoutRetry)
{
    g_fakePasses = {{kOtherPath, kSocPath}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents, (Events{L"pause 500", L"pass",
                                    L"start open C:\\Tools\\Pair\\NewCedar\\TamsuPair.exe"}));
    EXPECT_EQ(g_wideTraceLines,
              (Events{L"find: " + kOtherPath + L"\n", L"find: " + kSocPath + L"\n"}));
    EXPECT_EQ(g_narrowTraceLines,
              (std::vector<std::string>{"Pair: SunDevice=0, SunDevice2=0, BkDevice24G=0, "
                                        "BkDevice5G=0 g_dwSOCDevice=1 g_dwEntryDevice=0\n",
                                        "nFlag: 1\r\n"}));
}

TEST_F(LauncherRun, ReceiverArrivingDuringTheWaitIsFoundByTheSecondPass)
{
    g_fakePasses = {{kOtherPath}, {kOtherPath, kSunPath}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents, (Events{L"pause 500", L"pass", L"pause 3000", L"pass",
                                    L"start open C:\\Tools\\Pair\\Alder24\\TamsuPair.exe"}));
}

TEST_F(LauncherRun, NothingFoundAfterTwoPassesShowsTheNotice)
{
    g_fakePasses = {{}, {}, {kSunPath}}; // a third pass would find it: there is none
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents,
              (Events{L"pause 500", L"pass", L"pause 3000", L"pass", kNoneFoundEnglish}));
    EXPECT_EQ(g_narrowTraceLines.back(), "nFlag: 0\r\n");
}

TEST_F(LauncherRun, NoticesFollowTheSystemLanguage)
{
    g_fakePasses = {{kSocPath, kEntryPath}};
    g_fakeLanguageId = 0x0804;
    EXPECT_EQ(RunLauncher(), 0);
    ASSERT_EQ(g_fakeEvents.size(), 3u);
    EXPECT_EQ(g_fakeEvents[2], L"notice \u63D0\u793A|      \u68C0\u6D4B\u5230\u591A\u4E2A\u5766"
                               L"\u82CF\u63A5\u6536\u5668\uFF0C\u8BF7\u53EA\u4FDD\u7559\u4E00"
                               L"\u4E2A\u5766\u82CF\u63A5\u6536\u5668      ");

    ResetFakePlatform();
    g_fakeLanguageId = 0x0404;
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents.back(), kNoneFoundEnglish);
}

TEST_F(LauncherRun, SummaryShowsTheCountsBeforeTheFold)
{
    g_fakePasses = {{L"hid#vid_1bcf&pid_0501&col02"}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_narrowTraceLines.front(), "Pair: SunDevice=0, SunDevice2=1, BkDevice24G=0, "
                                          "BkDevice5G=0 g_dwSOCDevice=0 g_dwEntryDevice=0\n");
    EXPECT_EQ(g_fakeEvents.back(), L"start open C:\\Tools\\Pair\\Alder24\\TamsuPair.exe");
}

TEST_F(LauncherRun, NetworkShareKit)
{
    g_fakeModulePath = L"\\\\server\\share\\kit\\TamsuLauncher.exe";
    g_fakePasses = {{kEntryPath}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents.back(), L"start open \\\\server\\share\\kit\\BirchPro\\TamsuPair.exe");
}

TEST_F(LauncherRun, CutModulePathStartsNothing)
{
    g_fakeModulePathWhole = false;
    g_fakePasses = {{kSocPath}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents, (Events{L"pause 500", L"pass"}));
}

TEST_F(LauncherRun, ToolPathOverTheLimitStartsNothing)
{
    // Base directory of 239 characters: the NewCedar tool path would take 261.
    const std::wstring base = L"C:\\" + std::wstring(235, L'k') + L"\\";
    g_fakeModulePath = base + L"x.exe";
    g_fakePasses = {{kSocPath}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents, (Events{L"pause 500", L"pass"}));

    // Two characters shorter, the whole path fits in 259 and is started.
    const std::wstring shorter = L"C:\\" + std::wstring(233, L'k') + L"\\";
    ResetFakePlatform();
    g_fakeModulePath = shorter + L"x.exe";
    g_fakePasses = {{kSocPath}};
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(g_fakeEvents.back(), L"start open " + shorter + L"NewCedar\\TamsuPair.exe");
}

TEST_F(LauncherRun, RelativeBaseDirectoryStartsNothing)
{
    // Each would resolve against the current folder, where another TamsuPair.exe may wait.
    for (const wchar_t* modulePath :
         {L"x.exe", L"C:x.exe", L"\\kit\\x.exe", L"UNC\\srv\\share\\x.exe"})
    {
        SCOPED_TRACE(modulePath);
        ResetFakePlatform();
        g_fakeModulePath = modulePath;
        g_fakePasses = {{kSocPath}};
        EXPECT_EQ(RunLauncher(), 0);
        EXPECT_EQ(g_fakeEvents, (Events{L"pause 500", L"pass"}));
    }
}

} // namespace
