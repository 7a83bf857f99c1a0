#include "report_descriptor.h"

namespace
{

constexpr unsigned char kLongItemPrefix = 0xFE;
constexpr unsigned kItemTypeMain = 0;
constexpr unsigned kItemTypeGlobal = 1;
constexpr unsigned kItemTypeLocal = 2;
constexpr unsigned kMainTagCollection = 0xA;
constexpr unsigned kMainTagEndCollection = 0xC;
constexpr unsigned kGlobalTagUsagePage = 0x0;
constexpr unsigned kGlobalTagPush = 0xA;
constexpr unsigned kGlobalTagPop = 0xB;
constexpr unsigned kLocalTagUsage = 0x0;

// Item data is little-endian.
uint32_t ItemData(const unsigned char* data, size_t size)
{
    uint32_t value = 0;
    for (size_t i = size; i > 0; --i)
        value = (value << 8) | data[i - 1];
    return value;
}

} // namespace

int ScanTopLevelCollections(const unsigned char* descriptor, size_t size,
                            HidCollectionUsage* usages, size_t capacity)
{
    if (size == 0)
        return 0;
    if (descriptor == nullptr)
        return -1;

    int collections = 0;
    int depth = 0;
    // The global state that matters here, and the first Usage item since the last Main item.
    uint16_t usagePage = 0;
    uint16_t pushedPages[kMaxGlobalStackDepth];
    size_t pushed = 0; // may exceed the stack; those pushes are counted but not kept
    bool haveUsage = false;
    bool usageHasPage = false;
    uint32_t firstUsage = 0;

    size_t at = 0;
    while (at < size)
    {
        const unsigned char prefix = descriptor[at];
        const size_t left = size - at - 1; // bytes after the prefix

        if (prefix == kLongItemPrefix)
        {
            // Prefix, data size, tag, then the data; long items carry nothing we use.
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
        const uint32_t data = ItemData(descriptor + at + 1, dataSize);
        if (type == kItemTypeMain)
        {
            if (tag == kMainTagCollection)
            {
                if (depth == 0)
                {
                    if (static_cast<size_t>(collections) < capacity)
                    {
                        usages[collections].page =
                            usageHasPage ? static_cast<uint16_t>(firstUsage >> 16) : usagePage;
                        usages[collections].usage = static_cast<uint16_t>(firstUsage);
                    }
                    ++collections;
                }
                if (++depth > kMaxCollectionDepth)
                    return -1;
            }
            else if (tag == kMainTagEndCollection)
            {
                if (depth == 0)
                    return -1;
                --depth;
            }
            // Local items apply to the next Main item only.
            haveUsage = false;
            usageHasPage = false;
            firstUsage = 0;
        }
        else if (type == kItemTypeGlobal && tag == kGlobalTagUsagePage)
        {
            usagePage = static_cast<uint16_t>(data);
        }
        else if (type == kItemTypeGlobal && tag == kGlobalTagPush)
        {
            if (pushed < kMaxGlobalStackDepth)
                pushedPages[pushed] = usagePage;
            ++pushed;
        }
        else if (type == kItemTypeGlobal && tag == kGlobalTagPop)
        {
            // A Pop with nothing pushed changes nothing.
            if (pushed > 0 && --pushed < kMaxGlobalStackDepth)
                usagePage = pushedPages[pushed];
        }
        else if (type == kItemTypeLocal && tag == kLocalTagUsage && !haveUsage)
        {
            haveUsage = true;
            usageHasPage = dataSize == 4;
            firstUsage = data;
        }
        at += 1 + dataSize;
    }
    return depth == 0 ? collections : -1;
}

int CountTopLevelCollections(const unsigned char* descriptor, size_t size)
{
    return ScanTopLevelCollections(descriptor, size, nullptr, 0);
}
