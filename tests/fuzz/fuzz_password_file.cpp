// The password file's reading, on arbitrary text before a line of the user's own.
// Input: the uid (first two bytes, little-endian), the capacity for the home (third byte, 3-66),
// then the text, after which comes the line "k:x:<uid>:1::/k:". Checks: a home is always found
// and fits; it is /k when the text holds no line of the uid (its digits nowhere in it), else the
// home field of one of the text's lines.
#include "memory_file.h"
#include "user_folders_linux.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const uid_t uid = data[0] | data[1] << 8;
    const size_t capacity = 3 + data[2] % 64;
    const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::string file = text + "\nk:x:" + std::to_string(uid) + ":1::/k:\n";

    char path[32];
    MemoryFile(file.data(), file.size(), path, sizeof path);
    std::vector<char> home(capacity); // exactly its capacity: a byte past it is seen
    const bool found = PasswordFileHome(path, uid, home.data(), home.size());
    const std::string got = found ? home.data() : "";
    if (!found || got.size() >= capacity || got[0] != '/')
        abort();
    if (text.find(std::to_string(uid)) == std::string::npos
            ? got != "/k"
            : got != "/k" && text.find(":" + got + ":") == std::string::npos)
        abort();
    return 0;
}
