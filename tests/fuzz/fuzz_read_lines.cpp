// The line-by-line reading of files others place, on arbitrary bytes and buffer sizes.
// Input: the buffer's size (first byte, 1-64), the line after which to stop (second byte, 0: none),
// then the file's bytes. Checks: the lines handed on are, in order, exactly the file's lines that
// fit the buffer (up to size - 1 bytes; the last one also without its '\n'), each terminated, and
// the reading stops at the line asked for.
#include "file_linux.h"
#include "memory_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

struct Seen
{
    std::vector<std::string> lines;
    size_t stopAt;
};

bool Note(char* text, size_t length, void* context)
{
    Seen* seen = static_cast<Seen*>(context);
    if (text[length] != '\0')
        abort();
    seen->lines.emplace_back(text, length);
    return seen->lines.size() == seen->stopAt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t bufferSize = 1 + data[0] % 64;
    Seen seen = {{}, data[1]};
    const std::string file(reinterpret_cast<const char*>(data + 2), size - 2);

    std::vector<std::string> expected;
    for (size_t start = 0; start < file.size();)
    {
        const size_t end = std::min(file.find('\n', start), file.size());
        if (end - start < bufferSize)
            expected.push_back(file.substr(start, end - start));
        start = end + 1;
    }
    int result = 0;
    if (seen.stopAt != 0 && seen.stopAt <= expected.size())
    {
        expected.resize(seen.stopAt);
        result = 1;
    }

    // The buffer on the heap, of exactly its size: a byte written past it is seen.
    std::vector<char> buffer(bufferSize);
    const int read =
        ReadLines(MemoryFile(file.data(), file.size()), buffer.data(), buffer.size(), Note, &seen);
    if (read != result || seen.lines != expected)
        abort();
    return 0;
}
