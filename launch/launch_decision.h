// Which pairing tool to start, or which notice to show, from the receiver counters.
#pragma once

#include <cstdint>

struct ToolTarget
{
    // The family is present when either counter is not 0; the second may be null.
    const uint32_t* counter;
    const uint32_t* otherCounter;
    const wchar_t* subdirectory;
    const wchar_t* pathFormat; // one %s that receives the base directory
    const wchar_t* verb;
};

// The four families' tools, in the order they are tried.
extern const ToolTarget kToolTargets[4];

enum LaunchKind
{
    kLaunchTool,
    kLaunchNoneFound,
    kLaunchManyFound,
};

struct LaunchDecision
{
    LaunchKind kind;
    const ToolTarget* target; // set only for kLaunchTool
};

// Counts the families present, writes the "nFlag" trace line and says whether there is at
// most one.
bool IsSingleFamily();

// Folds the second Sun counter into the first when the first is 0 (the fold stays), then
// picks the tool of the one family present.
LaunchDecision DecideLaunch();
