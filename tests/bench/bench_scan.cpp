// One detection pass against hidapi's hid_enumerate, alternating, in the same process and over
// the same umockdev testbed. Prints: interfaces seen by each, then the median microseconds of
// each, for ROUNDS rounds (first argument, default 50). Trace lines go to standard error;
// send it to /dev/null so both sides pay only for their own work.
//
//   bench_scan --only ours|hidapi PASSES
//
// runs PASSES passes of one side and nothing else, for counting its system calls (strace -c -f):
// the difference between one pass and none is the pass's own.
#include "device_rules.h"
#include "hid_scan.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double MicrosecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

} // namespace

int OnlyOneSide(const char* side, int passes)
{
    const bool ours = strcmp(side, "ours") == 0;
    if (!ours && hid_init() != 0)
        return 1;
    for (int pass = 0; pass < passes; ++pass)
    {
        if (ours)
        {
            EnumHidDevices();
            continue;
        }
        hid_free_enumeration(hid_enumerate(0, 0));
    }
    if (!ours)
        hid_exit();
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "--only") == 0)
        return OnlyOneSide(argv[2], atoi(argv[3]));
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 50;
    if (hid_init() != 0)
        return 1;

    std::vector<double> ours;
    std::vector<double> theirs;
    unsigned ourCount = 0;
    unsigned theirCount = 0;
    for (int round = 0; round < rounds; ++round)
    {
        Clock::time_point start = Clock::now();
        ResetDeviceCounters();
        EnumHidDevices();
        ours.push_back(MicrosecondsSince(start));
        ourCount = g_dwSunDevice + g_dwSunDevice2 + g_dwBkDevice24G + g_dwBkDevice5G +
                   g_dwSOCDevice + g_dwEntryDevice;

        start = Clock::now();
        hid_device_info* list = hid_enumerate(0, 0);
        theirCount = 0;
        for (hid_device_info* info = list; info != nullptr; info = info->next)
            ++theirCount;
        hid_free_enumeration(list);
        theirs.push_back(MicrosecondsSince(start));
    }
    hid_exit();
    printf("%u %u %.1f %.1f\n", ourCount, theirCount, Median(ours), Median(theirs));
    return 0;
}
