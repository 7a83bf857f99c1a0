#include "report_descriptor.h"

namespace
{

constexpr unsigned char kLongItemPrefix = 0xFE;
constexpr unsigned kItemTypeMain = 0;
constexpr unsigned kMainTagCollection = 0xA;
constexpr unsigned kMainTagEndCollection = 0xC;

} // namespace

int CountTopLevelCollections(const unsigned char* descriptor, size_t size)
{
    if (size == 0)
        return 0;
    if (descriptor == nullptr)
        return -1;

    int collections = 0;
    int depth = 0;
    size_t at = 0;
    while (at < size)
    {
        const unsigned char prefix = descriptor[at];
        const size_t left = size - at - 1; // bytes after the prefix

        if (prefix == kLongItemPrefix)
        {
            // Prefix, data size, tag, then the data; long items carry nothing we count.
            if (left < 2)
                return -1;
            const size_t dataSize = descriptor[at + 1];
            if (left - 2 < dataSize)
                return -1;
            at += 3 + dataSize;
            continue;
        }

        static constexpr size_t kShortDataSize[4] = {0, 1, 2, 4};
        const size_t dataSize = kShortDataSize[prefix & 0x3];
        if (left < dataSize)
            return -1;
        const unsigned type = (prefix >> 2) & 0x3;
        const unsigned tag = prefix >> 4;
        if (type == kItemTypeMain && tag == kMainTagCollection)
        {
            if (depth == 0)
                ++collections;
            if (++depth > kMaxCollectionDepth)
                return -1;
        }
        else if (type == kItemTypeMain && tag == kMainTagEndCollection)
        {
            if (depth == 0)
                return -1;
            --depth;
        }
        at += 1 + dataSize;
    }
    return depth == 0 ? collections : -1;
}
