// Output on Linux: whole writes to a descriptor, and the trace text gathered for standard
// error, so that the lines of every source keep their order.
#pragma once

// Writes the whole terminated text to a file descriptor, retrying short writes. Best effort:
// gives up at the first error (a pipe nobody reads, a full disk), which the caller never sees.
// Writes what BufferErrorText holds first, so lines keep their order on every descriptor.
void WriteText(int fd, const char* text);

// Trace text for standard error, gathered so that a pass's lines cost one write instead of one
// each: written when the buffer is full, by FlushErrorText (at the end of every pass), and before
// any WriteText or child process, so nothing is left pending when the launcher exits.
// A write that fails (a pipe nobody reads) drops what was pending, as WriteText would have.
void BufferErrorText(const char* text);
void FlushErrorText();
