// Receiver family rules: which counter one HID interface path raises.
#pragma once

#include <cstdint>

// Process-wide receiver counters, in the order of the summary trace line.
extern uint32_t g_dwSunDevice;
extern uint32_t g_dwSunDevice2;
extern uint32_t g_dwBkDevice24G;
extern uint32_t g_dwBkDevice5G;
extern uint32_t g_dwSOCDevice;
extern uint32_t g_dwEntryDevice;

void ResetDeviceCounters();
bool AnyDeviceCounted();

// Raises at most one counter, by one, for the first rule the terminated path meets.
void ClassifyDevicePath(const wchar_t* devicePath);

// The vendor text every rule's patterns begin with ("VID_7C2F").
constexpr int kRuleVendorCount = 3;
extern const wchar_t* const g_ruleVendors[kRuleVendorCount];

// Bit i clear only when the path surely does not hold g_ruleVendors[i] (in any case), so that
// rules of that vendor need not be tried. Where each substring test is the platform's own call,
// every bit is set and every row is tried, as before.
uint32_t FindRuleVendors(const wchar_t* path);

// Case-insensitive substring test with the semantics of the shell's StrStrIW for ASCII
// patterns: an empty pattern is never found, and only ASCII letters fold.
bool PathContainsText(const wchar_t* path, const wchar_t* pattern);
