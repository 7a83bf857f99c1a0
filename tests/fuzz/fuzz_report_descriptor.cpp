// The report-descriptor scanner on arbitrary bytes: never reads outside the input (the
// sanitizers watch that), and a count it gives is possible for the input's length.
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
    return 0;
}
