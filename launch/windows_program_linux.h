// A kit's pairing tool that is a Windows program, known by its PE header, and the processor it
// was built for, which decides whether the Wine at hand can run it.
#pragma once

#include <cstdint>

// The PE file header's Machine values the kit's tools are built for.
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

// The Machine field of path's PE file header (0 in one built for no processor) when path is a
// regular file that begins with an MZ header whose e_lfanew (offset 0x3C) leads to a "PE\0\0"
// signature and the field, inside the file; -1 for anything else (a script, an ELF program, a
// file too short). A FIFO in the tool's place does not block.
int WindowsProgramMachine(const char* path);
