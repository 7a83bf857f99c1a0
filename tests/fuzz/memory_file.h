// The fuzz input as a file, for readers that take a descriptor or a path: one memory file for the
// whole run, rewritten for each input, since making one per input costs more than the reading.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

// Its descriptor, at offset 0, holding exactly size bytes of data; path (when given) names it.
inline int MemoryFile(const void* data, size_t size, char* path = nullptr, size_t capacity = 0)
{
    static const int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
    if (fd < 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        ftruncate(fd, static_cast<off_t>(size)) != 0 || lseek(fd, 0, SEEK_SET) != 0)
        abort();
    if (path != nullptr)
        snprintf(path, capacity, "/proc/self/fd/%d", fd);
    return fd;
}
