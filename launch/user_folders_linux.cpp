#include "user_folders_linux.h"

#include "bounded_format.h"
#include "file_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Read as text: the kit's launcher is linked statically, and glibc's getpwuid would then load
// the system's NSS modules, built for another C library. Local users, root among them, are all
// in the file.
const char kPasswordFile[] = "/etc/passwd";

// HOME when it is an absolute path, else the user's home in the password file.
bool HomeFolder(char* out, size_t capacity)
{
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return FormatBoundedA(out, capacity, "%s", home);
    return PasswordFileHome(kPasswordFile, getuid(), out, capacity);
}

} // namespace

bool DataHomeFolder(const char* dataHome, const char* home, char* out, size_t capacity)
{
    if (dataHome != nullptr && dataHome[0] == '/')
        return FormatBoundedA(out, capacity, "%s", dataHome);
    if (home != nullptr && home[0] == '/')
        return FormatBoundedA(out, capacity, "%s/.local/share", home);
    return false;
}

bool UserDataHome(char* out, size_t capacity, char* rootHome, size_t rootHomeCapacity)
{
    rootHome[0] = '\0';
    if (geteuid() != 0)
    {
        char home[PATH_MAX];
        return DataHomeFolder(getenv("XDG_DATA_HOME"),
                              HomeFolder(home, sizeof home) ? home : nullptr, out, capacity);
    }
    return PasswordFileHome(kPasswordFile, 0, rootHome, rootHomeCapacity) &&
           DataHomeFolder(nullptr, rootHome, out, capacity);
}

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

bool PasswordFileHome(const char* passwordFile, uid_t uid, char* out, size_t capacity)
{
    const int fd = open(passwordFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // name:password:uid:gid:comment:home:shell, one line each.
    struct Search
    {
        uid_t uid;
        char* out;
        size_t capacity;
    } search = {uid, out, capacity};
    const auto isUsers = [](char* line, size_t, void* context)
    {
        const Search* search = static_cast<const Search*>(context);
        char* fields[7] = {line};
        size_t count = 1;
        for (char* colon = line; count < 7 && (colon = strchr(colon, ':')) != nullptr; ++count)
        {
            *colon++ = '\0';
            fields[count] = colon;
        }
        char* digitsEnd = nullptr;
        return count == 7 && fields[2][0] != '\0' &&
               strtoul(fields[2], &digitsEnd, 10) == search->uid && *digitsEnd == '\0' &&
               fields[5][0] == '/' &&
               FormatBoundedA(search->out, search->capacity, "%s", fields[5]);
    };
    static char piece[8192];
    const bool found = ReadLines(fd, piece, sizeof piece, isUsers, &search) == 1;
    close(fd);
    return found;
}

const char kFolderMissing[] = "does not exist";

int OpenFolderAt(int at, const char* name, const char** why)
{
    const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    struct stat status;
    if (fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        *why = errno == ENOENT ? kFolderMissing : "cannot be read";
    else if (S_ISLNK(status.st_mode))
        *why = "is a symbolic link";
    else
        *why = S_ISDIR(status.st_mode) ? "cannot be opened" : "is not a folder";
    return -1;
}

const char* OwnFolderFault(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return "cannot be read";
    if (status.st_uid != geteuid())
        return "belongs to another user";
    // An ACL that lets others write shows in the group bits, which hold its mask.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "may be written by other users";
    return nullptr;
}

const char* SharedFolderFault(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return "cannot be read";
    if (status.st_uid != 0 && status.st_uid != geteuid())
        return "belongs to another user";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0)
        return "may be changed by other users";
    return nullptr;
}

int OpenCheckedFolder(const char* path, char* walked, size_t capacity, const char** why)
{
    char real[PATH_MAX];
    FormatBoundedA(walked, capacity, "%s", path);
    if (!MakeFolders(path) || realpath(path, real) == nullptr)
    {
        *why = "cannot be made";
        return -1;
    }
    return OpenRealFolder(real, walked, capacity, why);
}

int OpenRealFolder(const char* real, char* walked, size_t capacity, const char** why)
{
    char names[PATH_MAX];
    FormatBoundedA(names, sizeof names, "%s", real);
    FormatBoundedA(walked, capacity, "/");
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *why = fd < 0 ? "cannot be read" : SharedFolderFault(fd);
    for (char* name = strtok(names, "/"); name != nullptr && *why == nullptr;
         name = strtok(nullptr, "/"))
    {
        const size_t used = strlen(walked);
        FormatBoundedA(walked + used, capacity - used, "%s%s", used > 1 ? "/" : "", name);
        const int next = OpenFolderAt(fd, name, why);
        close(fd);
        fd = next;
        if (fd >= 0)
            *why = SharedFolderFault(fd);
    }
    if (*why == nullptr)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

int OpenOwnFolderAt(int at, const char* name, const char** why)
{
    *why = "cannot be made";
    const int fd =
        mkdirat(at, name, 0700) == 0 || errno == EEXIST ? OpenFolderAt(at, name, why) : -1;
    if (fd >= 0)
        *why = OwnFolderFault(fd);
    if (*why == nullptr)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}
