// Windows pairing tools under Wine: the PE check, where Wine and the kit's prefix are, the
// prefix's settings, and the start.
#include "wine_linux.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "error_output_linux.h"
#include "process_linux.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace
{

// The kit's folder in the user's data home (it holds the prefix, "wine"), and the settings file:
// written there for the import, and kept in the prefix as the record of what it holds.
const char kKitDataFolder[] = "tamsu-pair-kit";
const char kSettingsFile[] = "tamsu-settings.reg";
// The bus driver's key and one key per receiver pair fit with room to spare.
constexpr size_t kSettingsBytes = 4096;
// The caller's environment and the variables set here.
constexpr size_t kEnvironmentEntries = 1024;

bool HasPeSignature(int fd, uint64_t size)
{
    // The DOS header: "MZ", and at 0x3C the file offset of the PE signature, little-endian.
    unsigned char header[0x40];
    if (size < sizeof header || pread(fd, header, sizeof header, 0) != sizeof header)
        return false;
    if (header[0] != 'M' || header[1] != 'Z')
        return false;
    const uint64_t offset =
        static_cast<uint32_t>(header[0x3C]) | static_cast<uint32_t>(header[0x3D]) << 8 |
        static_cast<uint32_t>(header[0x3E]) << 16 | static_cast<uint32_t>(header[0x3F]) << 24;
    unsigned char signature[4];
    if (offset > size - sizeof signature ||
        pread(fd, signature, sizeof signature, static_cast<off_t>(offset)) != sizeof signature)
        return false;
    return memcmp(signature, "PE\0\0", sizeof signature) == 0;
}

bool IsExecutableFile(const char* path)
{
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode) && access(path, X_OK) == 0;
}

// HOME when it is an absolute path, else the user's home in the password database.
const char* HomeFolder()
{
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr ? entry->pw_dir : nullptr;
}

// Each missing folder of the absolute path, mode 0700 as the XDG rules ask.
bool MakeFolders(const char* path)
{
    char partial[PATH_MAX];
    if (!FormatBoundedA(partial, sizeof partial, "%s", path))
        return false;
    for (char* slash = strchr(partial + 1, '/');; slash = strchr(slash + 1, '/'))
    {
        if (slash != nullptr)
            *slash = '\0';
        if (mkdir(partial, 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == nullptr)
            return true;
        *slash = '/';
    }
}

// The caller's environment with variables (NAME=value entries, null-terminated) in place of any
// of those names. False when it does not fit.
bool WithVariables(char* const variables[], char* out[], size_t capacity)
{
    size_t used = 0;
    for (char* const* entry = environ; *entry != nullptr; ++entry)
    {
        bool replaced = false;
        for (char* const* variable = variables; *variable != nullptr && !replaced; ++variable)
            replaced = strncmp(*entry, *variable, strcspn(*variable, "=") + 1) == 0;
        if (replaced)
            continue;
        if (used + 1 >= capacity)
            return false;
        out[used++] = *entry;
    }
    for (char* const* variable = variables; *variable != nullptr; ++variable)
    {
        if (used + 1 >= capacity)
            return false;
        out[used++] = *variable;
    }
    out[used] = nullptr;
    return true;
}

// What Wine's bus driver (winebus.sys) needs to show the receivers: its SDL backend off, for
// Wine 8.0 starts only that one when libSDL2 is installed, and never reads hidraw; and for newer
// Wine, which hides a hidraw node whose first collection is a keyboard or mouse, hidraw asked
// for every receiver pair (Devices\<vid>/<pid>, "Hidraw"=1; 8.0 reads no such key). REGEDIT4.
bool FormatSettings(char* out, size_t capacity)
{
    static const char kBus[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\winebus";
    if (!FormatBoundedA(out, capacity, "REGEDIT4\n\n[%s]\n\"Enable SDL\"=dword:00000000\n", kBus))
        return false;
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    for (size_t i = 0; i < count; ++i)
    {
        // Four hex digits each: the fifth of 0x10000 + id is the '1' skipped.
        char vendor[8];
        char product[8];
        FormatBoundedA(vendor, sizeof vendor, "%x", 0x10000u + ids[i].vendor);
        FormatBoundedA(product, sizeof product, "%x", 0x10000u + ids[i].product);
        const size_t used = strlen(out);
        if (!FormatBoundedA(out + used, capacity - used,
                            "\n[%s\\Devices\\%s/%s]\n\"Hidraw\"=dword:00000001\n", kBus, vendor + 1,
                            product + 1))
            return false;
    }
    return true;
}

// True when the file holds exactly text.
bool FileHolds(const char* path, const char* text)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char held[kSettingsBytes + 1];
    const ssize_t length = read(fd, held, sizeof held);
    close(fd);
    return length >= 0 && static_cast<size_t>(length) == strlen(text) &&
           memcmp(held, text, static_cast<size_t>(length)) == 0;
}

bool WriteWholeFile(const char* path, const char* text)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    const size_t length = strlen(text);
    const bool whole = write(fd, text, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && whole;
}

// Brings the settings into the prefix unless its record shows them there: a wineserver already
// running the prefix ends first (its bus driver read the old ones), `wine reg import` makes the
// prefix when it is missing and imports them, and the wineserver is let end, since the bus
// driver reads them when Wine's services start. wineserver is the one beside wine. The folder
// data holds the prefix; the import file is written there, for reg reads it from the current
// folder (Wine takes an absolute Linux path for one on the current drive).
bool ApplySettings(const char* wine, const char* prefix, const char* data)
{
    char settings[kSettingsBytes];
    char record[PATH_MAX];
    char import[PATH_MAX];
    char server[PATH_MAX];
    char prefixVariable[PATH_MAX + 16];
    FormatBoundedA(server, sizeof server, "%s", wine);
    *strrchr(server, '/') = '\0';
    if (!FormatSettings(settings, sizeof settings) ||
        !FormatBoundedA(record, sizeof record, "%s/%s", prefix, kSettingsFile) ||
        !FormatBoundedA(import, sizeof import, "%s/%s", data, kSettingsFile) ||
        !FormatBoundedA(server + strlen(server), sizeof server - strlen(server), "/wineserver") ||
        !FormatBoundedA(prefixVariable, sizeof prefixVariable, "WINEPREFIX=%s", prefix))
        return false;
    if (FileHolds(record, settings))
        return true;
    // Quiet, and no Mono or Gecko installer while the prefix is made: a pairing tool needs
    // neither, and their dialog would stand before it on the first start.
    char quiet[] = "WINEDEBUG=-all";
    char noInstallers[] = "WINEDLLOVERRIDES=mscoree,mshtml=";
    char* const variables[] = {prefixVariable, quiet, noInstallers, nullptr};
    char* environment[kEnvironmentEntries];
    if (!WithVariables(variables, environment, kEnvironmentEntries))
        return false;
    char end[] = "-k", wait[] = "-w", reg[] = "reg", verb[] = "import";
    char* const ending[] = {server, end, nullptr};
    char* const importing[] = {const_cast<char*>(wine), reg, verb, const_cast<char*>(kSettingsFile),
                               nullptr};
    char* const waiting[] = {server, wait, nullptr};
    struct stat status;
    if (stat(prefix, &status) == 0)
        RunProcess(server, ending, environment);
    const bool imported = WriteWholeFile(import, settings) && chdir(data) == 0 &&
                          RunProcess(wine, importing, environment) == 0;
    RunProcess(server, waiting, environment);
    unlink(import);
    return imported && WriteWholeFile(record, settings);
}

// The kit's prefix made, holding its settings; one launcher at a time, so that a second one
// started meanwhile waits and then finds them there.
bool PreparePrefix(const char* wine, char* prefix, size_t capacity)
{
    char data[PATH_MAX];
    if (!KitWinePrefix(getenv("XDG_DATA_HOME"), HomeFolder(), prefix, capacity) ||
        !FormatBoundedA(data, sizeof data, "%s", prefix))
        return false;
    *strrchr(data, '/') = '\0';
    if (!MakeFolders(data))
        return false;
    const int lock = open(data, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0)
        return false;
    const bool prepared = flock(lock, LOCK_EX) == 0 && ApplySettings(wine, prefix, data);
    close(lock);
    return prepared;
}

} // namespace

bool IsWindowsProgram(const char* path)
{
    // Non-blocking: a FIFO in the tool's place must not hold up the launcher.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    const bool windows = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                         HasPeSignature(fd, static_cast<uint64_t>(status.st_size));
    close(fd);
    return windows;
}

bool FindWine(const char* preferred, const char* searchPath, char* out, size_t capacity)
{
    if (IsExecutableFile(preferred))
        return FormatBoundedA(out, capacity, "%s", preferred);
    // An empty or relative entry would find a program in whatever folder the caller stood in.
    for (const char* entry = searchPath; entry != nullptr && *entry != '\0';)
    {
        const char* end = strchrnul(entry, ':');
        char folder[PATH_MAX];
        const size_t length = static_cast<size_t>(end - entry);
        if (entry[0] == '/' && length < sizeof folder)
        {
            memcpy(folder, entry, length);
            folder[length] = '\0';
            if (FormatBoundedA(out, capacity, "%s/wine", folder) && IsExecutableFile(out))
                return true;
        }
        entry = *end == ':' ? end + 1 : end;
    }
    return false;
}

bool KitWinePrefix(const char* dataHome, const char* home, char* out, size_t capacity)
{
    if (dataHome != nullptr && dataHome[0] == '/')
        return FormatBoundedA(out, capacity, "%s/%s/wine", dataHome, kKitDataFolder);
    if (home != nullptr && home[0] == '/')
        return FormatBoundedA(out, capacity, "%s/.local/share/%s/wine", home, kKitDataFolder);
    return false;
}

void StartUnderWine(const char* wine, const char* tool, const char* kit)
{
    char prefix[PATH_MAX] = "";
    if (!PreparePrefix(wine, prefix, sizeof prefix))
    {
        char line[PATH_MAX + 96];
        FormatBoundedA(line, sizeof line,
                       "the kit's Wine prefix %s could not be given its settings; the tool does "
                       "not start\n",
                       prefix);
        WriteText(STDERR_FILENO, line);
        return;
    }
    char prefixVariable[PATH_MAX + 16];
    FormatBoundedA(prefixVariable, sizeof prefixVariable, "WINEPREFIX=%s", prefix);
    char* const variables[] = {prefixVariable, nullptr};
    char* environment[kEnvironmentEntries];
    // In the kit's folder, as a native tool: the settings' import left the launcher elsewhere.
    if (!WithVariables(variables, environment, kEnvironmentEntries) || chdir(kit) != 0)
        return;
    char* const arguments[] = {const_cast<char*>(wine), const_cast<char*>(tool), nullptr};
    pid_t child;
    SpawnProcess(&child, wine, arguments, environment, true);
}
