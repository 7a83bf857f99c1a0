// The report-descriptor scanner on arbitrary bytes: never reads outside the input (the
// sanitizers watch that), a count it gives is possible for the input's length, and the usages it
// reports do not depend on how many it was asked for.
#include "report_descriptor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int count = CountTopLevelCollections(data, size);
    // Every collection needs at least its Collection and End Collection prefixes.
    if (count < -1 || (count > 0 && static_cast<size_t>(count) * 2 > size))
        abort();
    // The scanner is a pure function of its input.
    if (CountTopLevelCollections(data, size) != count)
        abort();

    constexpr size_t kMany = 64;
    constexpr size_t kFew = 3;
    HidCollectionUsage many[kMany];
    HidCollectionUsage few[kFew + 1];
    few[kFew] = {0xBEEF, 0xBEEF};
    if (ScanTopLevelCollections(data, size, many, kMany) != count ||
        ScanTopLevelCollections(data, size, few, kFew) != count)
        abort();
    if (few[kFew].page != 0xBEEF || few[kFew].usage != 0xBEEF)
        abort(); // written past the capacity
    for (size_t i = 0; count > 0 && i < kFew && i < static_cast<size_t>(count); ++i)
    {
        if (few[i].page != many[i].page || few[i].usage != many[i].usage)
            abort();
    }
    return 0;
}
