// Reading the six receiver counters as one value, in summary-line order.
#pragma once

#include "device_rules.h"

#include <array>
#include <cstdint>

using Counters = std::array<uint32_t, 6>; // Sun, Sun2, Bk24G, Bk5G, SOC, Entry

inline Counters CurrentCounters()
{
    return {g_dwSunDevice,  g_dwSunDevice2, g_dwBkDevice24G,
            g_dwBkDevice5G, g_dwSOCDevice,  g_dwEntryDevice};
}

inline void SetCounters(const Counters& c)
{
    g_dwSunDevice = c[0];
    g_dwSunDevice2 = c[1];
    g_dwBkDevice24G = c[2];
    g_dwBkDevice5G = c[3];
    g_dwSOCDevice = c[4];
    g_dwEntryDevice = c[5];
}

// The counters after classifying each path once, from all zero.
template <typename... Paths> Counters CountsFor(Paths... paths)
{
    ResetDeviceCounters();
    (ClassifyDevicePath(paths), ...);
    return CurrentCounters();
}
