// The kit's own Wine prefix, one per user, and the settings its bus driver needs to show the
// receivers: where it lies, whose it is, and whether it holds them.
#pragma once

#include <cstddef>

// The kit's Wine prefix: <data home>/tamsu-pair-kit/wine, where the data home is dataHome
// (XDG_DATA_HOME) when it is an absolute path, else <home>/.local/share: an empty or relative
// XDG_DATA_HOME is ignored, as the XDG base directory rules say. False when home is not
// absolute either, or the path does not fit capacity.
bool KitWinePrefix(const char* dataHome, const char* home, char* out, size_t capacity);

// The kit's prefix of the user the launcher runs as, into prefix. Root's lies in root's own home
// from the password database, whatever HOME and XDG_DATA_HOME say, so that a root run (sudo -E)
// leaves nothing of root's in another user's home; its home (for Wine's HOME) goes into home,
// empty for any other user. False when there is no absolute home, or a path does not fit.
bool LocateKitPrefix(char* prefix, size_t prefixCapacity, char* home, size_t homeCapacity);

// The bus driver's settings as a REGEDIT4 file: its SDL backend off, and hidraw asked for each
// receiver pair. False when they do not fit capacity.
bool FormatWineSettings(char* out, size_t capacity);

// True when the registry text of a prefix (its system.reg, read from fd) holds every value of
// FormatWineSettings, key and value names compared as the registry does, without case.
bool RegistryHoldsSettings(int fd);

// Makes the prefix (WINEPREFIX=prefix among variables, with whatever else Wine needs for the
// user, null-terminated) hold the settings, one launcher at a time, with wine (wineserver beside
// it). Uses the kit's folder and the prefix only when each is a real folder of the user's that
// no one else may write, on a path no other user may change, and works from their descriptors
// once checked. False after one line on standard error that names the folder and why, or says
// that the settings could not be brought in.
bool PrepareKitPrefix(const char* wine, const char* prefix, char* const variables[]);
