// The kit's entry in the desktop's menu. A desktop entry cannot know where the kit was unpacked,
// so the launcher writes one that names the kit where it stands.
#pragma once

#include <cstddef>

// The kit's desktop entry (res/tamsu-pair-kit.desktop) with Exec and TryExec naming launcher and
// Icon the kit's PNG beside it, quoted as freedesktop.org's desktop entry format asks. False when
// launcher holds a control character or is not UTF-8, which an entry cannot carry, or a %, with
// which the desktops cannot start it, or when the entry does not fit capacity.
bool FormatDesktopEntry(const char* launcher, char* out, size_t capacity);

// `tamsu-launcher --install-desktop-entry`: writes the entry for this launcher's kit as
// <data home>/applications/tamsu-pair-kit.desktop (made anew, then renamed into place), and says
// where in one line. The data home must lie on a path no other user may change, and
// applications be the caller's own real folder that no one else may write. An entry there that
// is not this text is kept as tamsu-pair-kit.desktop~, and said so; when that name is taken,
// nothing is written. Returns the exit code: 0, or 1 after a line that says why not.
int InstallDesktopEntry();
