// Counting the top-level collections of a HID report descriptor, which is what decides how many
// interface paths one HID device yields.
#pragma once

#include <cstddef>

// Collections opened deeper than this make a descriptor malformed; real devices nest a few
// levels, and the bound keeps hostile input from counting forever.
constexpr int kMaxCollectionDepth = 64;

// The number of top-level collections in descriptor order, or -1 when the descriptor is
// malformed: item data past the end, a truncated long item, End Collection at depth 0,
// collections left open, or nesting deeper than kMaxCollectionDepth. Empty input is 0
// collections. Reads nothing beyond descriptor[size - 1].
int CountTopLevelCollections(const unsigned char* descriptor, size_t size);
