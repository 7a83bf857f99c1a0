// A kit's Windows pairing tools on Linux: known by their PE header, started under Wine as the
// caller, in a Wine prefix of the kit's own whose bus driver shows the receivers' hidraw nodes.
#pragma once

#include <cstddef>

// Debian's Wine, tried before the caller's PATH.
constexpr const char* kDebianWine = "/usr/bin/wine";

// True when path is a regular file that begins with an MZ header whose e_lfanew (offset 0x3C)
// leads to a "PE\0\0" signature inside the file. A script, an ELF program or anything shorter
// than the header is not.
bool IsWindowsProgram(const char* path);

// Wine's program: preferred when it is an executable regular file, otherwise the first
// executable regular file named "wine" in an absolute entry of searchPath (PATH's form; may be
// null). False when there is none, or its path does not fit capacity.
bool FindWine(const char* preferred, const char* searchPath, char* out, size_t capacity);

// The kit's Wine prefix, one per user: <data home>/tamsu-pair-kit/wine, where the data home is
// dataHome (XDG_DATA_HOME) when it is an absolute path, else <home>/.local/share: an empty or
// relative XDG_DATA_HOME is ignored, as the XDG base directory rules say. False when home is not
// absolute either, or the path does not fit capacity.
bool KitWinePrefix(const char* dataHome, const char* home, char* out, size_t capacity);

// Starts `wine tool` (wine as FindWine gave it) in the folder kit, in a session of its own, with
// the caller's environment and WINEPREFIX set to the kit's prefix; not waited for. First the
// prefix is made to hold the kit's Wine settings (created if missing); when that fails, a line
// on standard error says so and nothing starts, since the tool would not see the receiver.
void StartUnderWine(const char* wine, const char* tool, const char* kit);
