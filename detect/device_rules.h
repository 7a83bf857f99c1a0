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

// Case-insensitive substring test with the semantics of the shell's StrStrIW for ASCII
// patterns: an empty pattern is never found, and only ASCII letters fold.
bool PathContainsText(const wchar_t* path, const wchar_t* pattern);
