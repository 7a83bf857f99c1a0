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
