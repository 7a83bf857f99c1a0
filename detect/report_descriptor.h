// Scanning a HID report descriptor for its top-level collections, which decide how many interface
// paths one HID device yields and how each one ends.
#pragma once

#include <cstddef>
#include <cstdint>

// Collections opened deeper than this make a descriptor malformed; real devices nest a few
// levels, and the bound keeps hostile input from counting forever.
constexpr int kMaxCollectionDepth = 64;
// Usage Pages kept by Push items. Linux refuses a descriptor that pushes deeper than 4, so no
// bound device gets near this; a Pop of a push past it leaves the Usage Page as it is.
constexpr size_t kMaxGlobalStackDepth = 16;

constexpr uint16_t kUsagePageGenericDesktop = 0x01;
constexpr uint16_t kUsageKeyboard = 0x06;

// The usage a top-level collection is opened with: the first Usage item since the last Main
// item, with the Usage Page in effect at the Collection item unless the Usage item has 4 data
// bytes, whose high half is its page. No Usage item gives usage 0.
struct HidCollectionUsage
{
    uint16_t page;
    uint16_t usage;
};

// The number of top-level collections in descriptor order, or -1 when the descriptor is
// malformed: item data past the end, a truncated long item, End Collection at depth 0,
// collections left open, or nesting deeper than kMaxCollectionDepth. Empty input is 0
// collections. Reads nothing beyond descriptor[size - 1]. The usages of the first `capacity`
// top-level collections go to usages (which may be null when capacity is 0); after -1 their
// content means nothing.
int ScanTopLevelCollections(const unsigned char* descriptor, size_t size,
                            HidCollectionUsage* usages, size_t capacity);

// ScanTopLevelCollections without the usages.
int CountTopLevelCollections(const unsigned char* descriptor, size_t size);
