// Files the Linux launcher reads that others may have placed: opened without following a link
// or waiting on a FIFO, and read line by line in a fixed buffer.
#pragma once

#include <cstddef>

// Opens name in the folder at (AT_FDCWD for a path) for reading when it is a regular file there:
// a link is not followed, a FIFO does not block. -1 otherwise.
int OpenRegularFileAt(int at, const char* name);

// True when name in the folder at is such a file and holds exactly text.
bool FileHoldsText(int at, const char* name, const char* text);

// Hands each line of fd to line, with context: terminated in place of its '\n' (the last one
// also without one), with its length. Reads into buffer: a line of up to size - 1 bytes is handed
// on whole, a longer one not at all, nor any part of it. 1 as soon as line returns true, 0 at the
// end of the file, -1 when a read fails.
int ReadLines(int fd, char* buffer, size_t size, bool (*line)(char* text, size_t length, void*),
              void* context);
