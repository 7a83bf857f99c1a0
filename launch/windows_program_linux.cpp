#include "windows_program_linux.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

uint32_t LittleEndian32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The Machine field after the PE signature, or -1.
int ReadMachine(int fd, uint64_t size)
{
    // The DOS header: "MZ", and at 0x3C the file offset of the PE signature.
    unsigned char header[0x40];
    if (size < sizeof header || pread(fd, header, sizeof header, 0) != sizeof header)
        return -1;
    if (header[0] != 'M' || header[1] != 'Z')
        return -1;
    const uint64_t offset = LittleEndian32(header + 0x3C);
    // The signature, then the file header's first field.
    unsigned char signature[6];
    if (offset > size - sizeof signature ||
        pread(fd, signature, sizeof signature, static_cast<off_t>(offset)) != sizeof signature ||
        memcmp(signature, "PE\0\0", 4) != 0)
        return -1;
    return signature[4] | signature[5] << 8;
}

} // namespace

int WindowsProgramMachine(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat status;
    const int machine = fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
                            ? ReadMachine(fd, static_cast<uint64_t>(status.st_size))
                            : -1;
    close(fd);
    return machine;
}
