#include "counters.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

// Paths as SetupDi reports them: lower case, instance part and interface class GUID.
std::wstring SetupDiPath(const std::wstring& hardware)
{
    return L"\\\\?\\hid#" + hardware + L"#7&2b1c3d4e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

// Instance ids as the device manager shows them: upper case, backslash-separated.
std::wstring InstanceId(const std::wstring& hardware)
{
    return L"HID\\" + hardware + L"\\7&2B1C3D4E&0&0000";
}

Counters Count(const std::wstring& path)
{
    return CountsFor(path.c_str());
}

const Counters kNone = {0, 0, 0, 0, 0, 0};
const Counters kSun = {1, 0, 0, 0, 0, 0};
const Counters kSun2 = {0, 1, 0, 0, 0, 0};
const Counters kBk24G = {0, 0, 1, 0, 0, 0};
const Counters kBk5G = {0, 0, 0, 1, 0, 0};
const Counters kSOC = {0, 0, 0, 0, 1, 0};
const Counters kEntry = {0, 0, 0, 0, 0, 1};

TEST(BkRules, EveryInterfaceOfEachProductCounts)
{
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2000")), kBk24G);
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2000&mi_01&col02")), kBk24G);
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2001&mi_00")), kBk5G);
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2002&col03")), kBk5G);
}

TEST(BkRules, MatchingIgnoresCase)
{
    EXPECT_EQ(Count(InstanceId(L"VID_7C2F&PID_2000")), kBk24G);
    EXPECT_EQ(Count(SetupDiPath(L"Vid_7c2F&pID_2002")), kBk5G);
}

TEST(SunRules, CollectionNumberPicksTheCounter)
{
    for (const wchar_t* product :
         {L"vid_1bcf&pid_0501", L"vid_04fc&pid_0538", L"vid_04fc&pid_05da"})
    {
        SCOPED_TRACE(testing::Message() << product);
        const std::wstring identity = product;
        EXPECT_EQ(Count(SetupDiPath(identity + L"&col01")), kSun);
        EXPECT_EQ(Count(SetupDiPath(identity + L"&col02")), kSun2);
        EXPECT_EQ(Count(InstanceId(identity + L"&COL02")), kSun2);
        // A third collection, or no collection at all, is neither.
        EXPECT_EQ(Count(SetupDiPath(identity + L"&col03")), kNone);
        EXPECT_EQ(Count(SetupDiPath(identity)), kNone);
    }
}

TEST(SunRules, InterfaceNumberPicksTheCounter)
{
    for (const wchar_t* product : {L"vid_1bcf&pid_05c2", L"vid_04fc&pid_05d8"})
    {
        SCOPED_TRACE(testing::Message() << product);
        const std::wstring identity = product;
        EXPECT_EQ(Count(SetupDiPath(identity + L"&mi_00")), kSun);
        EXPECT_EQ(Count(SetupDiPath(identity + L"&mi_01&col01")), kSun2);
        EXPECT_EQ(Count(InstanceId(identity + L"&MI_01")), kSun2);
        EXPECT_EQ(Count(SetupDiPath(identity + L"&mi_02")), kNone);
        EXPECT_EQ(Count(SetupDiPath(identity)), kNone);
    }
}

TEST(SunRules, CollectionTextAloneIsNotEnough)
{
    // The collection is searched only as the second half of a pair.
    EXPECT_EQ(Count(SetupDiPath(L"vid_1bcf&pid_0502&col01")), kNone);
    EXPECT_EQ(Count(SetupDiPath(L"vid_04fc&pid_0539&col02")), kNone);
}

TEST(SunRules, TwoCollectionsOfOneReceiverRaiseBothCounters)
{
    const std::wstring first = SetupDiPath(L"vid_1bcf&pid_0501&col01");
    const std::wstring second = SetupDiPath(L"vid_1bcf&pid_0501&col02");
    EXPECT_EQ(CountsFor(first.c_str(), second.c_str()), (Counters{1, 1, 0, 0, 0, 0}));
}

TEST(SocAndEntryRules, ProductsMapToTheirFamily)
{
    for (const wchar_t* product : {L"2003", L"2004", L"2005", L"2006", L"2007", L"2008"})
    {
        SCOPED_TRACE(testing::Message() << product);
        EXPECT_EQ(Count(SetupDiPath(std::wstring(L"vid_7c2f&pid_") + product + L"&mi_00")), kSOC);
    }
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2010")), kEntry);
    EXPECT_EQ(Count(InstanceId(L"VID_7C2F&PID_1100&COL02")), kEntry);
}

TEST(SocAndEntryRules, NeighbouringProductsMatchNothing)
{
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2009")), kNone);
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2f&pid_2011")), kNone);
    EXPECT_EQ(Count(SetupDiPath(L"vid_7c2e&pid_2003")), kNone);
}

TEST(RuleOrder, FirstMatchingRowWinsAndCountsOnce)
{
    // A path naming two identities is counted by the earlier row only.
    EXPECT_EQ(Count(L"vid_7c2f&pid_2003 vid_7c2f&pid_2000"), kBk24G);
    EXPECT_EQ(Count(L"vid_1bcf&pid_0501&col02 col01"), kSun);
    // A receiver's identity after another vendor's is still found.
    EXPECT_EQ(Count(L"vid_046d&pid_c52b vid_7c2f&pid_9999 VID_04fc&pid_05d8&mi_01"), kSun2);
}

TEST(RuleOrder, EachInterfaceCountsSeparately)
{
    const std::wstring a = SetupDiPath(L"vid_7c2f&pid_2003&mi_00");
    const std::wstring b = SetupDiPath(L"vid_7c2f&pid_2003&mi_01&col01");
    const std::wstring c = SetupDiPath(L"vid_7c2f&pid_2003&mi_01&col02");
    EXPECT_EQ(CountsFor(a.c_str(), b.c_str(), c.c_str()), (Counters{0, 0, 0, 0, 3, 0}));
}

TEST(RuleOrder, EachCounterAloneMeansSomethingWasCounted)
{
    // The run's retry hangs on this: any one counter, Sun2 alone included, is a find.
    for (const Counters& one : {kSun, kSun2, kBk24G, kBk5G, kSOC, kEntry})
    {
        SetCounters(one);
        EXPECT_TRUE(AnyDeviceCounted());
    }
    ResetDeviceCounters();
    EXPECT_FALSE(AnyDeviceCounted());
}

TEST(UnrelatedPaths, MatchNothing)
{
    EXPECT_EQ(Count(L""), kNone);
    EXPECT_EQ(Count(SetupDiPath(L"vid_046d&pid_c52b&mi_02&col01")), kNone);
    // Bluetooth and I2C shapes never carry the USB identity text.
    EXPECT_EQ(Count(SetupDiPath(L"{00001124-0000-1000-8000-00805f9b34fb}_vid&00027c2f_pid&2003")),
              kNone);
    EXPECT_EQ(Count(SetupDiPath(L"elan0732&col01")), kNone);
}

TEST(SubstringTest, BehavesLikeTheShellSearch)
{
    EXPECT_TRUE(PathContainsText(L"abcVID_7c2f", L"vid_7C2F"));
    EXPECT_TRUE(PathContainsText(L"COL01", L"col01")); // the whole path
    EXPECT_FALSE(PathContainsText(L"abc", L""));       // an empty pattern is never found
    EXPECT_FALSE(PathContainsText(L"", L""));
    EXPECT_FALSE(PathContainsText(L"col0", L"col01")); // pattern longer than the path
    EXPECT_FALSE(PathContainsText(L"xxcol0", L"col01"));
    EXPECT_TRUE(PathContainsText(L"ccol01", L"col01")); // a false start is retried
}

TEST(SubstringTest, NonAsciiCharactersDoNotFoldOntoAsciiPatterns)
{
    // Full-width letters and accented letters are other characters, in either case.
    EXPECT_FALSE(PathContainsText(L"\xFF36\xFF29\xFF24_7c2f&pid_2003", L"VID_7C2F&PID_2003"));
    EXPECT_FALSE(PathContainsText(L"col\x00D601", L"col01"));
    EXPECT_TRUE(PathContainsText(L"\x5750\x82CF#vid_7c2f&pid_2003", L"VID_7C2F&PID_2003"));
}

} // namespace
