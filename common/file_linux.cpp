#include "file_linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenRegularFileAt(int at, const char* name)
{
    const int fd = openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)))
    {
        close(fd);
        return -1;
    }
    return fd;
}

bool FileHoldsText(int at, const char* name, const char* text)
{
    const int fd = OpenRegularFileAt(at, name);
    if (fd < 0)
        return false;
    // Compared piece by piece; a file longer than text is told from it by the first byte past.
    const size_t length = strlen(text);
    size_t compared = 0;
    bool same = true;
    char piece[512];
    for (;;)
    {
        const ssize_t got = read(fd, piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
        {
            same = same && got == 0 && compared == length;
            break;
        }
        const size_t size = static_cast<size_t>(got);
        same = compared + size <= length && memcmp(piece, text + compared, size) == 0;
        compared += size;
        if (!same)
            break;
    }
    close(fd);
    return same;
}

int ReadLines(int fd, char* buffer, size_t size, bool (*line)(char* text, size_t length, void*),
              void* context)
{
    // A line of size - 1 bytes fits: its '\n', or the end of the file, gives way to the
    // terminator. One that fills the buffer without its end is too long, and skipped to its end
    // (a skipped line leaves nothing kept), so no part of it passes for a line of its own.
    size_t kept = 0;
    bool skipping = false;
    for (;;)
    {
        const ssize_t got = read(fd, buffer + kept, size - kept);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        const size_t end = kept + static_cast<size_t>(got);
        size_t start = 0;
        for (char* newline;
             (newline = static_cast<char*>(memchr(buffer + start, '\n', end - start))) != nullptr;
             start = static_cast<size_t>(newline - buffer) + 1)
        {
            *newline = '\0';
            if (!skipping &&
                line(buffer + start, static_cast<size_t>(newline - buffer) - start, context))
                return 1;
            skipping = false;
        }
        if (got == 0)
        {
            buffer[end] = '\0';
            return end > start && line(buffer + start, end - start, context) ? 1 : 0;
        }
        skipping = skipping || end - start == size;
        kept = skipping ? 0 : end - start;
        memmove(buffer, buffer + start, kept);
    }
}
