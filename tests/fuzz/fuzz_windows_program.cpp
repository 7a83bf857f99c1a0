// The PE header's reading of a kit's tool, on arbitrary file bytes. Checks: the machine given is
// the file header's Machine exactly when the file begins "MZ", its e_lfanew (at 0x3C) leads to
// "PE\0\0" and the two bytes after lie inside the file; -1 for anything else.
#include "memory_file.h"
#include "windows_program_linux.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int expected = -1;
    if (size >= 0x40 && data[0] == 'M' && data[1] == 'Z')
    {
        const uint64_t lfanew = data[0x3C] | data[0x3D] << 8 | data[0x3E] << 16 |
                                static_cast<uint64_t>(data[0x3F]) << 24;
        if (lfanew + 6 <= size && memcmp(data + lfanew, "PE\0\0", 4) == 0)
            expected = data[lfanew + 4] | data[lfanew + 5] << 8;
    }

    char path[32];
    MemoryFile(data, size, path, sizeof path);
    if (WindowsProgramMachine(path) != expected)
        abort();
    return 0;
}
