// A kit's Windows pairing tools on Linux: started under Wine as the caller, in the kit's own
// prefix (wine_prefix_linux.h), once it is known that the Wine found can run them.
#pragma once

#include <cstddef>
#include <cstdint>

// Debian's Wine, tried before the caller's PATH.
constexpr const char* kDebianWine = "/usr/bin/wine";

// Wine's program, by its real path: preferred when it is an executable regular file, otherwise
// the first executable regular file named "wine" in an absolute entry of searchPath (PATH's
// form; may be null); either only when no other user can have put it there, for it runs as the
// caller: it root's or the caller's and writable by no one else, and each folder on its real path
// root's or the caller's and writable by no one else unless sticky. False when there is none, or
// its path does not fit capacity; the folder of the first wine refused goes into refused when given
// (empty when none was).
bool FindWine(const char* preferred, const char* searchPath, char* out, size_t capacity,
              char* refused = nullptr, size_t refusedCapacity = 0);

// Whether wine (as FindWine gave it) can run a Windows program built for machine (the PE
// header's Machine), told from its files without running it, since Wine itself exits 0 when it
// cannot: an ELF loader runs its own kind; a 32-bit one has a "wine64" beside it for 64-bit
// programs (Wine's own packages); a 64-bit one runs 32-bit programs when its build carries the
// 32-bit Windows side (lib/wine/i386-windows/ntdll.dll, or lib64/...); a script (Debian's, which
// picks a loader) can run what the loaders lib/wine/wine and lib/wine/wine64 beside its folder
// can. A machine other than i386 and x86-64 is left to Wine.
bool WineRunsMachine(const char* wine, uint16_t machine);

// Starts `wine tool` in the folder kit, in a session of its own, as the caller, with the caller's
// environment, WINEPREFIX set to the kit's prefix and Wine's menu builder off; not waited for.
// First the prefix is made to hold the kit's Wine settings. Returns the run's exit code: 0 once
// Wine has started, else 1 after one line on standard error that says why nothing starts.
int StartUnderWine(const char* wine, const char* tool, const char* kit);
