#include "report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

// Places the bytes at the very end of a readable page with an inaccessible page after it, so
// that reading one byte too far crashes the test instead of passing unnoticed.
class GuardedBytes
{
  public:
    explicit GuardedBytes(const std::string& bytes)
    {
        pageSize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* pages = mmap(nullptr, 2 * pageSize_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(pages, MAP_FAILED);
        pages_ = static_cast<unsigned char*>(pages);
        mprotect(pages_ + pageSize_, pageSize_, PROT_NONE);
        data_ = pages_ + pageSize_ - bytes.size();
        memcpy(data_, bytes.data(), bytes.size());
        size_ = bytes.size();
    }
    ~GuardedBytes()
    {
        munmap(pages_, 2 * pageSize_);
    }
    int Count() const
    {
        return CountTopLevelCollections(data_, size_);
    }
    int Scan(HidCollectionUsage* usages, size_t capacity) const
    {
        return ScanTopLevelCollections(data_, size_, usages, capacity);
    }

  private:
    size_t pageSize_;
    unsigned char* pages_;
    unsigned char* data_;
    size_t size_;
};

int Count(const std::string& bytes)
{
    return GuardedBytes(bytes).Count();
}

std::string Bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

// A mouse: application collection holding a physical one, with the usual globals.
const std::string kMouse =
    Bytes({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01,
           0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0xC0, 0xC0});
// Consumer control with a 2-byte maximum whose data bytes look like Collection/End Collection.
const std::string kConsumer = Bytes({0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x26, 0xA1, 0xC0, 0x19,
                                     0x00, 0x2A, 0x9C, 0x02, 0x81, 0x00, 0xC0});
// Vendor page with a 4-byte (size code 3) logical maximum and a long item inside.
const std::string kVendor = Bytes({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x27, 0xFF, 0xFF,
                                   0xFF, 0x7F, 0xFE, 0x02, 0x10, 0xA1, 0xC0, 0x91, 0x02, 0xC0});

TEST(ReportDescriptor, CountsTopLevelCollectionsOnly)
{
    EXPECT_EQ(Count(kMouse), 1);
    EXPECT_EQ(Count(kMouse + kConsumer), 2);
    EXPECT_EQ(Count(kMouse + kConsumer + kVendor), 3);
    // Collections with 0, 2 and 4 data bytes are collections too.
    EXPECT_EQ(Count(Bytes({0xA0, 0xC0, 0xA2, 0x01, 0x00, 0xC0, 0xA3, 1, 0, 0, 0, 0xC0})), 3);
    // Globals only, and nothing at all.
    EXPECT_EQ(Count(Bytes({0x05, 0x01, 0x09, 0x02})), 0);
    EXPECT_EQ(Count(""), 0);
    EXPECT_EQ(CountTopLevelCollections(nullptr, 0), 0);
}

// Page and usage of each top-level collection, as "pppp/uuuu" in descriptor order.
std::string Usages(const std::string& bytes)
{
    HidCollectionUsage usages[8];
    const int count = GuardedBytes(bytes).Scan(usages, 8);
    std::string text;
    for (int i = 0; i < count && i < 8; ++i)
    {
        char one[16];
        snprintf(one, sizeof one, "%s%04x/%04x", i > 0 ? " " : "", usages[i].page, usages[i].usage);
        text += one;
    }
    return text;
}

TEST(ReportDescriptor, ReportsTheUsageEachTopLevelCollectionOpensWith)
{
    EXPECT_EQ(Usages(kMouse + kConsumer + kVendor), "0001/0002 000c/0001 ff00/0001");
    const struct
    {
        const char* what;
        std::string bytes;
        const char* usages;
    } cases[] = {
        {"no Usage Page item: page 0", Bytes({0x09, 0x06, 0xA1, 0x01, 0xC0}), "0000/0006"},
        {"page after the usage still applies", Bytes({0x09, 0x06, 0x05, 0x01, 0xA1, 0x01, 0xC0}),
         "0001/0006"},
        {"4-byte usage brings its own page",
         Bytes({0x05, 0x0C, 0x0B, 0x06, 0x00, 0x01, 0x00, 0xA1, 0x01, 0xC0}), "0001/0006"},
        {"4-byte page keeps its low half",
         Bytes({0x07, 0x01, 0x00, 0x34, 0x12, 0x09, 0x06, 0xA1, 0x01, 0xC0}), "0001/0006"},
        {"first usage wins", Bytes({0x05, 0x01, 0x09, 0x06, 0x09, 0x02, 0xA1, 0x01, 0xC0}),
         "0001/0006"},
        {"locals end at each Main item, the page stays",
         Bytes({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x06, 0xC0, 0xA1, 0x01, 0xC0}),
         "0001/0002 0001/0000"},
        {"Pop restores the pushed page",
         Bytes({0x05, 0x01, 0xA4, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0xC0, 0xB4, 0x09, 0x06, 0xA1,
                0x01, 0xC0}),
         "000c/0001 0001/0006"},
        {"Pop without Push changes nothing",
         Bytes({0x05, 0x01, 0xB4, 0x09, 0x06, 0xA1, 0x01, 0xC0}), "0001/0006"},
        {"long item is no usage", Bytes({0x05, 0x01, 0xFE, 0x01, 0x00, 0x09, 0xA1, 0x01, 0xC0}),
         "0001/0000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Usages(c.bytes), c.usages) << c.what;

    // Past the capacity collections are counted, not written.
    HidCollectionUsage one[2] = {{}, {0xBEEF, 0xBEEF}};
    EXPECT_EQ(GuardedBytes(kMouse + kConsumer).Scan(one, 1), 2);
    EXPECT_EQ(one[0].usage, 2);
    EXPECT_EQ(one[1].page, 0xBEEF);
}

TEST(ReportDescriptor, NestingUpToTheBoundIsAccepted)
{
    std::string nested;
    for (int i = 0; i < kMaxCollectionDepth; ++i)
        nested += Bytes({0xA1, 0x00});
    nested += std::string(kMaxCollectionDepth, '\xC0');
    EXPECT_EQ(Count(nested), 1);
    EXPECT_EQ(Count(Bytes({0xA1, 0x00}) + nested + Bytes({0xC0})), -1);
}

TEST(ReportDescriptor, MalformedDescriptorsAreRefusedWithoutReadingPastTheEnd)
{
    const struct
    {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"1-byte data missing", kMouse + Bytes({0x15})},
        {"2-byte data cut", kMouse + Bytes({0x26, 0xFF})},
        {"size code 3 with three bytes", kMouse + Bytes({0x27, 0xFF, 0xFF, 0xFF})},
        {"long item prefix alone", kMouse + Bytes({0xFE})},
        {"long item without its tag", kMouse + Bytes({0xFE, 0x00})},
        {"long item data cut", kMouse + Bytes({0xFE, 0x05, 0x10, 0x01, 0x02})},
        {"End Collection at depth 0", Bytes({0xC0}) + kMouse},
        {"one End Collection too many", kMouse + Bytes({0xC0})},
        {"collection left open", kMouse + Bytes({0xA1, 0x01, 0x09, 0x01})},
        {"Collection item cut", Bytes({0xA2, 0x01})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Count(c.bytes), -1) << c.what;
    EXPECT_EQ(CountTopLevelCollections(nullptr, 4), -1);
}

} // namespace
