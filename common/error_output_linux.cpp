#include "error_output_linux.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{

// Well above the 64 trace lines of a pass with 64 interfaces, and below a pipe's capacity.
constexpr size_t kErrorBufferBytes = 16384;
char g_errorBuffer[kErrorBufferBytes];
size_t g_dwErrorBufferUsed;

void WriteBytes(int fd, const char* bytes, size_t length)
{
    while (length > 0)
    {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
}

} // namespace

void FlushErrorText()
{
    // Emptied first: a failed write drops the lines, it does not keep them for the next try.
    const size_t used = g_dwErrorBufferUsed;
    g_dwErrorBufferUsed = 0;
    WriteBytes(STDERR_FILENO, g_errorBuffer, used);
}

void BufferErrorText(const char* text)
{
    const size_t length = strlen(text);
    if (g_dwErrorBufferUsed + length > kErrorBufferBytes)
        FlushErrorText();
    if (length > kErrorBufferBytes)
    {
        WriteBytes(STDERR_FILENO, text, length);
        return;
    }
    memcpy(g_errorBuffer + g_dwErrorBufferUsed, text, length);
    g_dwErrorBufferUsed += length;
}

void WriteText(int fd, const char* text)
{
    FlushErrorText();
    WriteBytes(fd, text, strlen(text));
}
