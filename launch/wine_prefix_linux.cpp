#include "wine_prefix_linux.h"

#include "bounded_format.h"
#include "device_rules.h"
#include "error_output_linux.h"
#include "file_linux.h"
#include "process_linux.h"
#include "text_linux.h"
#include "user_folders_linux.h"
#include "zenity_linux.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The kit's folder in the user's data home, and the prefix in it.
const char kKitDataFolder[] = "tamsu-pair-kit";
const char kPrefixFolder[] = "wine";
// The settings file: written in the kit's folder for the import, and kept in the prefix as the
// record of what was brought in (written as a draft, then renamed over the old one).
const char kSettingsFile[] = "tamsu-settings.reg";
const char kRecordDraft[] = "tamsu-settings.reg.new";
// Wine's text of the HKEY_LOCAL_MACHINE hive.
const char kRegistryFile[] = "system.reg";
// The bus driver's key and one key per receiver pair fit with room to spare.
constexpr size_t kSettingsBytes = 4096;

void SayRefused(const char* path, const char* why)
{
    char after[128];
    FormatBoundedA(after, sizeof after, " %s; the tool does not start\n", why);
    WritePathLine(STDERR_FILENO, "the kit's Wine prefix cannot be used: ", path, after);
}

// The data home, each folder on its real path checked (OpenCheckedFolder): -1 after the line
// that names the folder and why.
int OpenDataHome(const char* path)
{
    char walked[PATH_MAX];
    const char* why = nullptr;
    const int fd = OpenCheckedFolder(path, walked, sizeof walked, &why);
    if (fd < 0)
        SayRefused(walked, why);
    return fd;
}

// The kit's prefix in the kit's folder kitFd, checked as the user's own: its descriptor; -1 with
// missing set when there is none yet, or -1 after the line that says why it cannot be used.
int OpenPrefix(int kitFd, const char* prefix, bool* missing)
{
    const char* why = nullptr;
    const int fd = OpenFolderAt(kitFd, kPrefixFolder, &why);
    *missing = why == kFolderMissing;
    if (fd >= 0)
        why = OwnFolderFault(fd);
    if (why == nullptr || *missing)
        return fd;
    if (fd >= 0)
        close(fd);
    SayRefused(prefix, why);
    return -1;
}

// A new file name in the folder at, mode 0600, holding text: whatever had that name (a FIFO, a
// link) is removed first, and the file made with O_EXCL, so that nothing else is written.
bool WriteNewFile(int at, const char* name, const char* text)
{
    if (unlinkat(at, name, 0) != 0 && errno != ENOENT)
        return false;
    const int fd = openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const size_t length = strlen(text);
    const bool whole = write(fd, text, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && whole;
}

// The registry's keys that the settings name, as system.reg writes them below the control set
// (each backslash doubled): the bus first, then each receiver pair's.
size_t FormatSettingsKeys(char keys[][96], size_t capacity)
{
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    if (count + 1 > capacity)
        return 0;
    FormatBoundedA(keys[0], 96, "Services\\\\winebus");
    for (size_t i = 0; i < count; ++i)
    {
        // Four hex digits each: the fifth of 0x10000 + id is the '1' skipped.
        char vendor[8];
        char product[8];
        FormatBoundedA(vendor, sizeof vendor, "%x", 0x10000u + ids[i].vendor);
        FormatBoundedA(product, sizeof product, "%x", 0x10000u + ids[i].product);
        FormatBoundedA(keys[i + 1], 96, "%s\\\\Devices\\\\%s/%s", keys[0], vendor + 1, product + 1);
    }
    return count + 1;
}

// What a read of system.reg found of the settings' keys (FormatSettingsKeys): the key the lines
// being read belong to (its index, or -1), and a bit for each key whose value was there.
struct RegistryScan
{
    char keys[kMaxReceiverUsbIds + 1][96];
    size_t count;
    int key;
    uint64_t found;
};

// One line of system.reg: a key's line ("[name] time") makes the scan's key the index of that
// key among its keys, or -1; a value's line of a key of the settings that holds its value sets
// its bit in found.
void ReadRegistryLine(const char* line, size_t length, RegistryScan* scan)
{
    if (length > 0 && line[0] == '[')
    {
        const char* end = static_cast<const char*>(memchr(line, ']', length));
        scan->key = -1;
        // Wine 8.0 keeps the current control set under that name; later Wine makes the name a
        // link to ControlSet001 and writes the keys there.
        static const char* const kControlSets[] = {"System\\\\CurrentControlSet\\\\",
                                                   "System\\\\ControlSet001\\\\"};
        const char* name = nullptr;
        for (const char* controlSet : kControlSets)
        {
            if (length > strlen(controlSet) + 1 &&
                strncasecmp(line + 1, controlSet, strlen(controlSet)) == 0)
                name = line + 1 + strlen(controlSet);
        }
        // Every key of the settings lies under the bus's: thousands of others end here.
        const size_t bus = strlen(scan->keys[0]);
        if (name == nullptr || end == nullptr || static_cast<size_t>(end - name) < bus ||
            strncasecmp(name, scan->keys[0], bus) != 0)
            return;
        for (size_t i = 0; i < scan->count; ++i)
        {
            if (static_cast<size_t>(end - name) == strlen(scan->keys[i]) &&
                strncasecmp(name, scan->keys[i], strlen(scan->keys[i])) == 0)
                scan->key = static_cast<int>(i);
        }
        return;
    }
    if (scan->key < 0)
        return;
    // The name without case, as the registry compares names; the value as Wine writes it.
    const char* name = scan->key == 0 ? "\"Enable SDL\"=" : "\"Hidraw\"=";
    const char* value = scan->key == 0 ? "dword:00000000" : "dword:00000001";
    const size_t nameLength = strlen(name);
    if (length == nameLength + strlen(value) && strncasecmp(line, name, nameLength) == 0 &&
        memcmp(line + nameLength, value, strlen(value)) == 0)
        scan->found |= uint64_t{1} << scan->key;
}

// Brings the settings into the prefix: a wineserver already running the prefix ends first (its
// bus driver read the old ones), `wine reg import` makes the prefix when it is missing and
// imports them, and the wineserver is let end, since the bus driver reads them when Wine's
// services start. wineserver is the one beside wine. The import file is written in the kit's
// folder (kitFd), for reg reads it from the current folder (Wine takes an absolute Linux path
// for one on the current drive). Then the prefix keeps the record of what it was given.
bool ImportSettings(const char* wine, const char* prefix, int kitFd, char* const variables[],
                    const char* settings, bool missing)
{
    char server[PATH_MAX];
    FormatBoundedA(server, sizeof server, "%s", wine);
    *strrchr(server, '/') = '\0';
    if (!FormatBoundedA(server + strlen(server), sizeof server - strlen(server), "/wineserver"))
        return false;
    // Quiet, and no Mono or Gecko installer while the prefix is made: a pairing tool needs
    // neither, and their dialog would stand before it on the first start.
    char quiet[] = "WINEDEBUG=-all";
    char overrides[] = "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d";
    char* importVariables[8] = {quiet, overrides};
    size_t used = 2;
    for (char* const* variable = variables; *variable != nullptr && used + 1 < 8; ++variable)
        importVariables[used++] = *variable;
    importVariables[used] = nullptr;
    char* environment[kEnvironmentEntries];
    if (!EnvironmentWith(importVariables, environment, kEnvironmentEntries))
        return false;
    char end[] = "-k", wait[] = "-w", reg[] = "reg", verb[] = "import";
    char* const ending[] = {server, end, nullptr};
    char* const importing[] = {const_cast<char*>(wine), reg, verb, const_cast<char*>(kSettingsFile),
                               nullptr};
    char* const waiting[] = {server, wait, nullptr};
    if (!missing)
        RunProcess(server, ending, environment);
    const bool imported = WriteNewFile(kitFd, kSettingsFile, settings) && fchdir(kitFd) == 0 &&
                          RunProcess(wine, importing, environment) == 0;
    RunProcess(server, waiting, environment);
    unlinkat(kitFd, kSettingsFile, 0);
    if (!imported)
        return false;
    // The prefix Wine made is checked as one found.
    const int prefixFd = OpenPrefix(kitFd, prefix, &missing);
    if (prefixFd < 0)
        return false;
    const bool recorded = WriteNewFile(prefixFd, kRecordDraft, settings) &&
                          renameat(prefixFd, kRecordDraft, prefixFd, kSettingsFile) == 0;
    close(prefixFd);
    return recorded;
}

// The settings brought into the prefix unless it holds them: its record, and its registry.
bool ApplySettings(const char* wine, const char* prefix, int kitFd, char* const variables[])
{
    char settings[kSettingsBytes];
    if (!FormatWineSettings(settings, sizeof settings))
        return false;
    bool missing = false;
    int prefixFd = OpenPrefix(kitFd, prefix, &missing);
    if (prefixFd < 0 && !missing)
        return false;
    if (prefixFd >= 0 && FileHoldsText(prefixFd, kSettingsFile, settings))
    {
        const int registry = OpenRegularFileAt(prefixFd, kRegistryFile);
        const bool held = registry >= 0 && RegistryHoldsSettings(registry);
        if (registry >= 0)
            close(registry);
        if (held)
        {
            close(prefixFd);
            return true;
        }
    }
    if (prefixFd >= 0)
        close(prefixFd);
    // Making a prefix takes Wine seconds, a minute on a slow machine: the user sees it happen.
    ShowPreparingProgress();
    if (ImportSettings(wine, prefix, kitFd, variables, settings, missing))
        return true;
    WritePathLine(STDERR_FILENO, "the kit's Wine prefix ", prefix,
                  " could not be given its settings; the tool does not start\n");
    return false;
}

// Waits for the lock on the kit's folder (kitFd) that another launcher holds, ten minutes at
// most (the slowest first start measured, in an emulated machine, took over three), for that one
// may hang: false after the line that says what it waited for.
bool WaitForLock(int kitFd, const char* prefix)
{
    unsigned seconds = 600;
    // A test setting, read nowhere else: the tests' hung launcher cannot take ten minutes of
    // each run, and no clock namespace shortens a real wait. It only ever shortens this one.
    const char* test = getenv("TAMSU_TEST_LOCK_WAIT_SECONDS");
    const unsigned long shorter = test != nullptr ? strtoul(test, nullptr, 10) : 0;
    if (shorter > 0 && shorter < seconds)
        seconds = static_cast<unsigned>(shorter);
    constexpr unsigned kPollsPerSecond = 5;
    for (unsigned polls = seconds * kPollsPerSecond; polls > 0; --polls)
    {
        const timespec pause{0, 1000000000L / kPollsPerSecond};
        nanosleep(&pause, nullptr);
        if (flock(kitFd, LOCK_EX | LOCK_NB) == 0)
            return true;
    }
    char after[160];
    FormatBoundedA(after, sizeof after,
                   " was still being prepared by another launcher after %u seconds; the tool "
                   "does not start\n",
                   seconds);
    WritePathLine(STDERR_FILENO, "the kit's Wine prefix ", prefix, after);
    return false;
}

} // namespace

bool LocateKitPrefix(char* prefix, size_t prefixCapacity, char* home, size_t homeCapacity)
{
    char dataHome[PATH_MAX];
    return UserDataHome(dataHome, sizeof dataHome, home, homeCapacity) &&
           FormatBoundedA(prefix, prefixCapacity, "%s/%s/%s", dataHome, kKitDataFolder,
                          kPrefixFolder);
}

bool FormatWineSettings(char* out, size_t capacity)
{
    // The SDL backend off, for Wine 8.0 starts only that one when libSDL2 is installed, and
    // never reads hidraw; and for newer Wine, which hides a hidraw node whose first collection
    // is a keyboard or mouse, hidraw asked for every receiver pair (Devices\<vid>/<pid>,
    // "Hidraw"=1; 8.0 reads no such key).
    static const char kBus[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\winebus";
    if (!FormatBoundedA(out, capacity, "REGEDIT4\n\n[%s]\n\"Enable SDL\"=dword:00000000\n", kBus))
        return false;
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    for (size_t i = 0; i < count; ++i)
    {
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

bool RegistryHoldsSettings(int fd)
{
    RegistryScan scan = {};
    scan.count = FormatSettingsKeys(scan.keys, kMaxReceiverUsbIds + 1);
    scan.key = -1;
    // The file is a megabyte or two: read in pieces.
    static char piece[65536];
    const auto note = [](char* line, size_t length, void* context)
    {
        ReadRegistryLine(line, length, static_cast<RegistryScan*>(context));
        return false;
    };
    return ReadLines(fd, piece, sizeof piece, note, &scan) == 0 && scan.count > 0 &&
           scan.found == (uint64_t{1} << scan.count) - 1;
}

bool PrepareKitPrefix(const char* wine, const char* prefix, char* const variables[])
{
    // <data home>/tamsu-pair-kit/wine: the data home and the kit's folder.
    char dataHome[PATH_MAX];
    char kitFolder[PATH_MAX];
    if (!FormatBoundedA(kitFolder, sizeof kitFolder, "%s", prefix))
        return false;
    *strrchr(kitFolder, '/') = '\0';
    FormatBoundedA(dataHome, sizeof dataHome, "%s", kitFolder);
    *strrchr(dataHome, '/') = '\0';
    const int homeFd = OpenDataHome(dataHome);
    if (homeFd < 0)
        return false;
    const char* why = nullptr;
    const int kitFd = OpenOwnFolderAt(homeFd, kKitDataFolder, &why);
    close(homeFd);
    if (kitFd < 0)
    {
        SayRefused(kitFolder, why);
        return false;
    }
    // One launcher at a time: a second one started meanwhile waits, showing the same progress
    // as the first, then finds the settings.
    bool locked = flock(kitFd, LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno == EWOULDBLOCK)
    {
        ShowPreparingProgress();
        locked = WaitForLock(kitFd, prefix);
    }
    const bool prepared = locked && ApplySettings(wine, prefix, kitFd, variables);
    close(kitFd);
    return prepared;
}
