// The kit's own Wine prefix, one per user, and the settings its bus driver needs to show the
// receivers: where it lies, whose it is, and whether it holds them.
#pragma once

#include <cstddef>

// The kit's prefix of the user the launcher runs as, <data home>/tamsu-pair-kit/wine, into
// prefix, with root's home (for Wine's HOME) in home as UserDataHome gives it. False when there
// is no data home, or a path does not fit.
bool LocateKitPrefix(char* prefix, size_t prefixCapacity, char* home, size_t homeCapacity);

// The bus driver's settings as a REGEDIT4 file: its SDL backend off, and hidraw asked for each
// receiver pair. False when they do not fit capacity.
bool FormatWineSettings(char* out, size_t capacity);

// True when the registry text of a prefix (its system.reg, read from fd) holds every value of
// FormatWineSettings, key and value names compared as the registry does, without case.
bool RegistryHoldsSettings(int fd);

// Makes the prefix (WINEPREFIX=prefix among variables, with whatever else Wine needs for the
// user, null-terminated) hold the settings, one launcher at a time (another one's waited for ten
// minutes at most), with wine (wineserver beside it). Uses the kit's folder and the prefix only
// when each is a real folder of the user's that no one else may write, on a path no other user may
// change, and works from their descriptors once checked. False after one line on standard error
// that names the folder and why, or says that the settings could not be brought in or what was
// waited for.
bool PrepareKitPrefix(const char* wine, const char* prefix, char* const variables[]);
