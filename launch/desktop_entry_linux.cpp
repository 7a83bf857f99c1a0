#include "desktop_entry_linux.h"

#include "bounded_format.h"
#include "desktop_entry_text.h"
#include "error_output_linux.h"
#include "file_linux.h"
#include "text_linux.h"
#include "user_folders_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char kEntryFile[] = "tamsu-pair-kit.desktop";
const char kEntryDraft[] = "tamsu-pair-kit.desktop.new";
// Where an entry that is not the kit's own text is kept when the kit's replaces it.
const char kEntryKept[] = "tamsu-pair-kit.desktop~";
const char kApplicationsFolder[] = "applications";
const char kIconFile[] = "tamsu-pair-kit.png";

// Appends text to out (used characters in *used). False when it does not fit.
bool Append(char* out, size_t capacity, size_t* used, const char* text, size_t length)
{
    if (*used + length >= capacity)
        return false;
    memcpy(out + *used, text, length);
    *used += length;
    out[*used] = '\0';
    return true;
}

// path as an entry's value: for Exec, one argument in double quotes, in which ", `, $ and \ are
// preceded by \; then, as for any string value (TryExec, Icon), each backslash written \\.
bool AppendValue(char* out, size_t capacity, size_t* used, const char* path, bool argument)
{
    char quoted[PATH_MAX * 2 + 3];
    size_t length = 0;
    if (argument)
        quoted[length++] = '"';
    for (const char* c = path; *c != '\0' && length + 3 < sizeof quoted; ++c)
    {
        if (argument && strchr("\"`$\\", *c) != nullptr)
            quoted[length++] = '\\';
        quoted[length++] = *c;
    }
    if (argument)
        quoted[length++] = '"';
    bool whole = length + 3 < sizeof quoted;
    for (size_t i = 0; i < length && whole; ++i)
        whole = quoted[i] == '\\' ? Append(out, capacity, used, "\\\\", 2)
                                  : Append(out, capacity, used, quoted + i, 1);
    return whole;
}

// True when text can stand in an entry the desktops start: UTF-8, with no control character,
// and no %. The format has Exec carry one as %%, but GLib looks for the program before it reads
// %% as %, finds none, and leaves the entry out of the menu.
bool FitsAnEntry(const char* text)
{
    wchar_t wide[PATH_MAX];
    if (!Utf8ToWide(text, wide, PATH_MAX) || wcschr(wide, L'%') != nullptr)
        return false;
    return std::none_of(wide, wide + wcslen(wide), IsControlCharacter);
}

void SayNotWritten(const char* why, const char* path)
{
    char after[128];
    FormatBoundedA(after, sizeof after, " %s\n", why);
    WritePathLine(STDERR_FILENO, "the kit's menu entry is not written: ", path, after);
}

const char kNotWritten[] = "cannot be written";

// The applications folder of the data home, held as the kit's prefix is: the data home on a
// path no other user may change, and in it the caller's own real folder that no one else may
// write. Otherwise another user could change the entry's Exec, or a link could lay it where the
// desktop starts it at every sign-in. -1 after the line that names the folder and why.
int OpenApplicationsFolder(const char* dataHome, const char* folder)
{
    char walked[PATH_MAX];
    const char* why = nullptr;
    const int homeFd = OpenCheckedFolder(dataHome, walked, sizeof walked, &why);
    if (homeFd < 0)
    {
        SayNotWritten(why, walked);
        return -1;
    }
    const int fd = OpenOwnFolderAt(homeFd, kApplicationsFolder, &why);
    close(homeFd);
    if (fd < 0)
        SayNotWritten(why, folder);
    return fd;
}

// The draft, holding text: whatever had its name (an earlier run's, a link) is removed first,
// and the file made with O_EXCL, so that nothing else is written.
bool WriteDraft(int folderFd, const char* text)
{
    if (unlinkat(folderFd, kEntryDraft, 0) != 0 && errno != ENOENT)
        return false;
    const int fd =
        openat(folderFd, kEntryDraft, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const size_t size = strlen(text);
    const bool whole = write(fd, text, size) == static_cast<ssize_t>(size);
    return close(fd) == 0 && whole;
}

// An entry at the kit's name that does not hold text (one the user changed, or the kit's from
// another folder) moves to kEntryKept, setting *kept, unless an earlier one is kept there: why
// the new one is not written then, else nullptr. A folder at the name is no entry: it stays,
// and the rename over it fails. Only the caller may write the folder, so nothing comes between
// the look at kEntryKept and the move.
const char* KeepChangedEntry(int folderFd, const char* text, bool* kept)
{
    struct stat status;
    if (fstatat(folderFd, kEntryFile, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISDIR(status.st_mode) || FileHoldsText(folderFd, kEntryFile, text))
        return nullptr;
    if (fstatat(folderFd, kEntryKept, &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return "differs from the kit's, and the tamsu-pair-kit.desktop~ beside it keeps an "
               "earlier one";
    *kept = renameat(folderFd, kEntryFile, folderFd, kEntryKept) == 0;
    return *kept ? nullptr : kNotWritten;
}

} // namespace

bool FormatDesktopEntry(const char* launcher, char* out, size_t capacity)
{
    char icon[PATH_MAX];
    if (!FitsAnEntry(launcher) || strrchr(launcher, '/') == nullptr ||
        !FormatBoundedA(icon, sizeof icon, "%s", launcher))
        return false;
    FormatBoundedA(strrchr(icon, '/') + 1, sizeof icon - (strrchr(icon, '/') + 1 - icon), "%s",
                   kIconFile);
    size_t used = 0;
    out[0] = '\0';
    bool whole = true;
    for (const char* line = kDesktopEntryTemplate; *line != '\0' && whole;)
    {
        const char* end = strchrnul(line, '\n');
        const size_t length = static_cast<size_t>(end - line) + (*end == '\n');
        if (strncmp(line, "Exec=", 5) == 0)
            whole = Append(out, capacity, &used, line, 5) &&
                    AppendValue(out, capacity, &used, launcher, true);
        else if (strncmp(line, "TryExec=", 8) == 0)
            whole = Append(out, capacity, &used, line, 8) &&
                    AppendValue(out, capacity, &used, launcher, false);
        else if (strncmp(line, "Icon=", 5) == 0)
            whole = Append(out, capacity, &used, line, 5) &&
                    AppendValue(out, capacity, &used, icon, false);
        else
            whole = Append(out, capacity, &used, line, length);
        if (whole && *end == '\n' && out[used - 1] != '\n')
            whole = Append(out, capacity, &used, "\n", 1);
        line += length;
    }
    return whole;
}

int InstallDesktopEntry()
{
    char launcher[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", launcher, sizeof launcher);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof launcher)
    {
        WriteText(STDERR_FILENO, "the kit's menu entry is not written: the launcher's own path "
                                 "cannot be read\n");
        return 1;
    }
    launcher[length] = '\0';
    static char entry[8192];
    if (!FormatDesktopEntry(launcher, entry, sizeof entry))
    {
        SayNotWritten(strchr(launcher, '%') != nullptr
                          ? "holds a %, with which the desktops' menus cannot start it"
                          : "holds characters a desktop entry cannot carry",
                      launcher);
        return 1;
    }
    char dataHome[PATH_MAX];
    char rootHome[PATH_MAX];
    char folder[PATH_MAX];
    if (!UserDataHome(dataHome, sizeof dataHome, rootHome, sizeof rootHome) ||
        !FormatBoundedA(folder, sizeof folder, "%s/%s", dataHome, kApplicationsFolder))
    {
        SayNotWritten("cannot be made", "the applications folder of the data home");
        return 1;
    }
    const int folderFd = OpenApplicationsFolder(dataHome, folder);
    if (folderFd < 0)
        return 1;
    // A new file, renamed over the old entry: the menu never reads half of one. A draft that
    // cannot be finished is not left behind.
    bool kept = false;
    const char* why =
        WriteDraft(folderFd, entry) ? KeepChangedEntry(folderFd, entry, &kept) : kNotWritten;
    if (why == nullptr && renameat(folderFd, kEntryDraft, folderFd, kEntryFile) != 0)
        why = kNotWritten;
    if (why != nullptr)
        unlinkat(folderFd, kEntryDraft, 0);
    close(folderFd);
    char path[PATH_MAX + 32];
    FormatBoundedA(path, sizeof path, "%s/%s", folder, kEntryFile);
    if (kept)
        WritePathLine(STDOUT_FILENO,
                      "the menu entry that was there, which differs from the kit's, is kept as ",
                      path, "~\n");
    if (why != nullptr)
    {
        SayNotWritten(why, path);
        return 1;
    }
    WritePathLine(STDOUT_FILENO, "the kit's menu entry is written: ", path, "\n");
    return 0;
}
