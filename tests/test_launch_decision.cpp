#include "counters.h"
#include "launch_decision.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct DecisionCase
{
    const char* name;
    Counters before;
    int nFlag;
    LaunchKind kind;
    const wchar_t* subdirectory; // of the tool started, for kLaunchTool
    uint32_t sunAfterFold;
};

void PrintTo(const DecisionCase& c, std::ostream* os)
{
    *os << c.name;
}

class LaunchDecisionTest : public testing::TestWithParam<DecisionCase>
{
};

TEST_P(LaunchDecisionTest, FoldsCountsFamiliesAndPicksTheTool)
{
    const DecisionCase& c = GetParam();
    SetCounters(c.before);
    ClearTraceLines();

    const LaunchDecision decision = DecideLaunch();

    ASSERT_EQ(g_narrowTraceLines.size(), 1u);
    EXPECT_EQ(g_narrowTraceLines[0], "nFlag: " + std::to_string(c.nFlag) + "\r\n");
    EXPECT_EQ(decision.kind, c.kind);
    if (c.kind == kLaunchTool)
    {
        ASSERT_NE(decision.target, nullptr);
        EXPECT_STREQ(decision.target->subdirectory, c.subdirectory);
        EXPECT_STREQ(decision.target->verb, L"open");
    }
    else
    {
        EXPECT_EQ(decision.target, nullptr);
    }
    // Only the first Sun counter may change, and the fold is kept.
    Counters expected = c.before;
    expected[0] = c.sunAfterFold;
    EXPECT_EQ(CurrentCounters(), expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Outcomes, LaunchDecisionTest,
    testing::Values(
        DecisionCase{"Nothing", {0, 0, 0, 0, 0, 0}, 0, kLaunchNoneFound, nullptr, 0},
        DecisionCase{"SunFirstCollection", {1, 0, 0, 0, 0, 0}, 1, kLaunchTool, L"Alder24", 1},
        DecisionCase{"SunSecondOnlyFolds", {0, 1, 0, 0, 0, 0}, 1, kLaunchTool, L"Alder24", 1},
        DecisionCase{"SunKeepsItsOwnCount", {2, 5, 0, 0, 0, 0}, 1, kLaunchTool, L"Alder24", 2},
        DecisionCase{"Soc", {0, 0, 0, 0, 3, 0}, 1, kLaunchTool, L"NewCedar", 0},
        DecisionCase{"Entry", {0, 0, 0, 0, 0, 1}, 1, kLaunchTool, L"BirchPro", 0},
        DecisionCase{"Bk24G", {0, 0, 1, 0, 0, 0}, 1, kLaunchTool, L"Cedar24", 0},
        DecisionCase{"Bk5G", {0, 0, 0, 4, 0, 0}, 1, kLaunchTool, L"Cedar24", 0},
        DecisionCase{"BkBothCountersOneFamily", {0, 0, 1, 2, 0, 0}, 1, kLaunchTool, L"Cedar24", 0},
        DecisionCase{"SocAndEntry", {0, 0, 0, 0, 1, 1}, 2, kLaunchManyFound, nullptr, 0},
        DecisionCase{"FoldedSunAndBk", {0, 1, 0, 1, 0, 0}, 2, kLaunchManyFound, nullptr, 1},
        DecisionCase{"SunAndSoc", {1, 1, 0, 0, 1, 0}, 2, kLaunchManyFound, nullptr, 1},
        DecisionCase{"AllFour", {1, 1, 1, 1, 1, 1}, 4, kLaunchManyFound, nullptr, 1},
        DecisionCase{"CountsPastIntMax", {0x80000000u, 0, 0, 0, 0, 0xFFFFFFFFu}, 2, kLaunchManyFound,
                     nullptr, 0x80000000u}),
    [](const testing::TestParamInfo<DecisionCase>& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
