#include "desktop_entry_linux.h"

#include "bounded_format.h"
#include "desktop_entry_text.h"
#include "error_output_linux.h"
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
// preceded by \ and % is doubled; then, as for any string value (TryExec, Icon), each
// backslash written \\.
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
        else if (argument && *c == '%')
            quoted[length++] = '%';
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

// True when text can stand in an entry: UTF-8, with no control character.
bool FitsAnEntry(const char* text)
{
    wchar_t wide[PATH_MAX];
    if (!Utf8ToWide(text, wide, PATH_MAX))
        return false;
    return std::none_of(wide, wide + wcslen(wide), IsControlCharacter);
}

void SayNotWritten(const char* why, const char* path)
{
    char after[128];
    FormatBoundedA(after, sizeof after, " %s\n", why);
    WritePathLine(STDERR_FILENO, "the kit's menu entry is not written: ", path, after);
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
        SayNotWritten("holds characters a desktop entry cannot carry", launcher);
        return 1;
    }
    char dataHome[PATH_MAX];
    char rootHome[PATH_MAX];
    char folder[PATH_MAX];
    if (!UserDataHome(dataHome, sizeof dataHome, rootHome, sizeof rootHome) ||
        !FormatBoundedA(folder, sizeof folder, "%s/applications", dataHome) || !MakeFolders(folder))
    {
        SayNotWritten("cannot be made", "the applications folder of the data home");
        return 1;
    }
    // A new file, renamed over the old entry: the menu never reads half of one.
    const int folderFd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool written = folderFd >= 0 && (unlinkat(folderFd, kEntryDraft, 0) == 0 || errno == ENOENT);
    const int fd = written ? openat(folderFd, kEntryDraft,
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)
                           : -1;
    const size_t size = strlen(entry);
    written = fd >= 0 && write(fd, entry, size) == static_cast<ssize_t>(size);
    if (fd >= 0)
        written = close(fd) == 0 && written;
    written = written && renameat(folderFd, kEntryDraft, folderFd, kEntryFile) == 0;
    if (folderFd >= 0)
        close(folderFd);
    char path[PATH_MAX + 32];
    FormatBoundedA(path, sizeof path, "%s/%s", folder, kEntryFile);
    if (!written)
    {
        SayNotWritten("cannot be written", path);
        return 1;
    }
    WritePathLine(STDOUT_FILENO, "the kit's menu entry is written: ", path, "\n");
    return 0;
}
