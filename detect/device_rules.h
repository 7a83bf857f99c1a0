// Receiver family rules: which counter one HID interface path raises.
#pragma once

#include <cstddef>
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

// A USB device's vendor and product ids, as a rule names them ("VID_7C2F&PID_2000").
struct UsbDeviceId
{
    uint16_t vendor;
    uint16_t product;
};

// Room for every pair the rules name.
constexpr size_t kMaxReceiverUsbIds = 32;

// The pairs the rules name, each once, in the rules' order. Returns how many were written.
size_t ListReceiverUsbIds(UsbDeviceId* out, size_t capacity);

// True when a rule names the pair.
bool IsReceiverUsbId(UsbDeviceId id);

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
