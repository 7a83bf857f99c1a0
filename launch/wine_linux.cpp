#include "wine_linux.h"

#include "bounded_format.h"
#include "error_output_linux.h"
#include "process_linux.h"
#include "text_linux.h"
#include "user_folders_linux.h"
#include "windows_program_linux.h"
#include "wine_prefix_linux.h"
#include "zenity_linux.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool IsExecutableFile(const char* path)
{
    struct stat status;
    return stat(path, &status) == 0 && S_ISREG(status.st_mode) && access(path, X_OK) == 0;
}

// The machine (as a PE header names it) of an ELF program at path, or 0: a script, anything else.
uint16_t LoaderMachine(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 0;
    // e_ident (class at 4), then e_type, then e_machine at 18, little-endian on x86.
    unsigned char header[20];
    const bool read = pread(fd, header, sizeof header, 0) == sizeof header;
    close(fd);
    if (!read || memcmp(header,
                        "\x7F"
                        "ELF",
                        4) != 0)
        return 0;
    const unsigned machine = header[18] | header[19] << 8;
    if (header[4] == 1 && machine == 3) // ELFCLASS32, EM_386
        return kMachineI386;
    if (header[4] == 2 && machine == 62) // ELFCLASS64, EM_X86_64
        return kMachineAmd64;
    return 0;
}

// The machine of the ELF program at folder/name.
uint16_t LoaderMachineAt(const char* folder, const char* name)
{
    char path[PATH_MAX];
    return FormatBoundedA(path, sizeof path, "%s/%s", folder, name) ? LoaderMachine(path) : 0;
}

bool RegularFileAt(const char* folder, const char* name)
{
    char path[PATH_MAX];
    struct stat status;
    return FormatBoundedA(path, sizeof path, "%s/%s", folder, name) && stat(path, &status) == 0 &&
           S_ISREG(status.st_mode);
}

// Whether no other user can have put the program at path there, nor change it: each folder of
// its real path (into real) from the root is root's or the user's and not writable by others
// unless sticky, as /tmp (SharedFolderFault), and the program itself is root's or the user's and
// writable by no one else. A link's own folder does not count: the real path is what runs.
bool IsTrustedProgram(const char* path, char (&real)[PATH_MAX])
{
    char folder[PATH_MAX];
    if (realpath(path, real) == nullptr || !FormatBoundedA(folder, sizeof folder, "%s", real))
        return false;
    char* name = strrchr(folder, '/');
    *name++ = '\0';
    char walked[PATH_MAX];
    const char* why = nullptr;
    const int fd = OpenRealFolder(folder[0] != '\0' ? folder : "/", walked, sizeof walked, &why);
    struct stat status;
    const bool trusted = fd >= 0 && fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                         (status.st_uid == 0 || status.st_uid == geteuid()) &&
                         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (fd >= 0)
        close(fd);
    return trusted;
}

// Whether path is a Wine to use: then out holds its real path, the one checked. A wine that
// another user could have put there is refused, and the first one refused names its folder in
// refused (when given).
bool UsableWine(const char* path, char* out, size_t capacity, char* refused, size_t refusedCapacity)
{
    if (!IsExecutableFile(path))
        return false;
    // The wineserver beside it runs as the caller too: it is held to the same rule.
    char real[PATH_MAX];
    char server[PATH_MAX];
    char serverReal[PATH_MAX];
    if (IsTrustedProgram(path, real) && FormatBoundedA(server, sizeof server, "%s", real) &&
        FormatBoundedA(strrchr(server, '/') + 1,
                       sizeof server - (strrchr(server, '/') + 1 - server), "wineserver") &&
        IsTrustedProgram(server, serverReal))
        return FormatBoundedA(out, capacity, "%s", real);
    if (refused != nullptr && refused[0] == '\0' &&
        FormatBoundedA(refused, refusedCapacity, "%s", path))
        *strrchr(refused, '/') = '\0';
    return false;
}

} // namespace

bool FindWine(const char* preferred, const char* searchPath, char* out, size_t capacity,
              char* refused, size_t refusedCapacity)
{
    if (refused != nullptr)
        refused[0] = '\0';
    if (UsableWine(preferred, out, capacity, refused, refusedCapacity))
        return true;
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
            char wine[PATH_MAX];
            if (FormatBoundedA(wine, sizeof wine, "%s/wine", folder) &&
                UsableWine(wine, out, capacity, refused, refusedCapacity))
                return true;
        }
        entry = *end == ':' ? end + 1 : end;
    }
    return false;
}

bool WineRunsMachine(const char* wine, uint16_t machine)
{
    if (machine != kMachineI386 && machine != kMachineAmd64)
        return true;
    char real[PATH_MAX];
    if (realpath(wine, real) == nullptr)
        return false;
    const uint16_t loader = LoaderMachine(real);
    if (loader == machine)
        return true;
    *strrchr(real, '/') = '\0';
    if (loader == kMachineI386)
        return LoaderMachineAt(real, "wine64") == kMachineAmd64;
    if (loader == kMachineAmd64)
        return RegularFileAt(real, "../lib/wine/i386-windows/ntdll.dll") ||
               RegularFileAt(real, "../lib64/wine/i386-windows/ntdll.dll");
    return machine == kMachineI386 ? LoaderMachineAt(real, "../lib/wine/wine") == kMachineI386
                                   : LoaderMachineAt(real, "../lib/wine/wine64") == kMachineAmd64;
}

namespace
{

int PrepareAndStart(const char* wine, const char* tool, const char* kit)
{
    char prefix[PATH_MAX];
    char home[PATH_MAX];
    if (!LocateKitPrefix(prefix, sizeof prefix, home, sizeof home))
    {
        WriteText(STDERR_FILENO,
                  "the kit's Wine prefix has no home folder to lie in; the tool does "
                  "not start\n");
        return 1;
    }
    char prefixVariable[PATH_MAX + 16];
    char homeVariable[PATH_MAX + 8];
    char dataHome[] = "XDG_DATA_HOME", configHome[] = "XDG_CONFIG_HOME";
    FormatBoundedA(prefixVariable, sizeof prefixVariable, "WINEPREFIX=%s", prefix);
    FormatBoundedA(homeVariable, sizeof homeVariable, "HOME=%s", home);
    // Wine's menu builder off (after any of the caller's own overrides, so that it stays off):
    // nothing from the kit's prefix goes into the caller's menus or file associations.
    const char* callers = getenv("WINEDLLOVERRIDES");
    const bool none = callers == nullptr || *callers == '\0';
    char overrides[PATH_MAX];
    if (!FormatBoundedA(overrides, sizeof overrides, "WINEDLLOVERRIDES=%s%swinemenubuilder.exe=d",
                        none ? "" : callers, none ? "" : ";"))
        FormatBoundedA(overrides, sizeof overrides, "WINEDLLOVERRIDES=winemenubuilder.exe=d");
    // The prefix's variables, and the tool's: those and the overrides. Root's Wine keeps to
    // root's home: the caller's HOME and XDG folders are not handed on.
    char* variables[6] = {prefixVariable};
    size_t count = 1;
    if (home[0] != '\0')
    {
        for (char* variable : {homeVariable, dataHome, configHome})
            variables[count++] = variable;
    }
    char* toolVariables[7] = {};
    memcpy(toolVariables, variables, sizeof variables);
    toolVariables[count] = overrides;
    // One entry short, for the settings' import hands on one more.
    char* environment[kEnvironmentEntries];
    if (!EnvironmentWith(toolVariables, environment, kEnvironmentEntries - 1))
    {
        WriteText(STDERR_FILENO, "the caller's environment has too many variables to hand on to "
                                 "Wine; the tool does not start\n");
        return 1;
    }
    if (!PrepareKitPrefix(wine, prefix, variables))
        return 1;
    // In the kit's folder, as a native tool: the settings' import left the launcher elsewhere.
    if (chdir(kit) != 0)
    {
        WritePathLine(STDERR_FILENO, "the kit's folder ", kit,
                      " cannot be entered; the tool does not start\n");
        return 1;
    }
    char* const arguments[] = {const_cast<char*>(wine), const_cast<char*>(tool), nullptr};
    pid_t child;
    if (SpawnProcess(&child, wine, arguments, environment, true) == 0)
        return 0;
    WritePathLine(STDERR_FILENO, "Wine (", wine, ") cannot be started; the tool does not start\n");
    return 1;
}

} // namespace

int StartUnderWine(const char* wine, const char* tool, const char* kit)
{
    // Any progress shown while the prefix was prepared ends once Wine starts, or nothing does.
    const int code = PrepareAndStart(wine, tool, kit);
    EndPreparingProgress();
    return code;
}
