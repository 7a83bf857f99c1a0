#include "root_rules_linux.h"

#include "bounded_format.h"
#include "text_linux.h"

#include <climits>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Enough for any account or group entry of a real system; a larger one is not taken as private.
constexpr size_t kEntryBytes = 16384;

} // namespace

bool PrivateGroupOf(uid_t user, gid_t* group)
{
    static char userBytes[kEntryBytes];
    static char groupBytes[kEntryBytes];
    static char otherBytes[kEntryBytes];
    passwd account;
    passwd* found = nullptr;
    if (getpwuid_r(user, &account, userBytes, sizeof userBytes, &found) != 0 || found == nullptr)
        return false;
    struct group entry;
    struct group* named = nullptr;
    if (getgrgid_r(account.pw_gid, &entry, groupBytes, sizeof groupBytes, &named) != 0 ||
        named == nullptr || strcmp(entry.gr_name, account.pw_name) != 0)
        return false;
    for (char** member = entry.gr_mem; *member != nullptr; ++member)
    {
        if (strcmp(*member, account.pw_name) != 0)
            return false;
    }
    // No other account may have it as its primary group.
    bool alone = true;
    setpwent();
    passwd other;
    passwd* next = nullptr;
    while (alone && getpwent_r(&other, otherBytes, sizeof otherBytes, &next) == 0 &&
           next != nullptr)
        alone = other.pw_gid != account.pw_gid || other.pw_uid == user;
    endpwent();
    *group = account.pw_gid;
    return alone;
}

bool IsPathFitForRoot(const char* path, uid_t caller, char* unfit, size_t capacity)
{
    char part[PATH_MAX];
    if (path[0] != '/' || !FormatBoundedA(part, sizeof part, "%s", path))
    {
        FormatBoundedA(unfit, capacity, "%s", path);
        return false;
    }
    // Looked up once, when a group-writable part first needs it.
    bool groupKnown = false;
    bool hasPrivateGroup = false;
    gid_t privateGroup = 0;
    // Each folder from / down, then the file itself.
    for (size_t end = 1;; ++end)
    {
        const char kept = part[end];
        if (kept != '/' && kept != '\0')
            continue;
        part[end] = '\0';
        struct stat status;
        const bool last = kept == '\0';
        bool fit = lstat(part, &status) == 0 && (status.st_uid == 0 || status.st_uid == caller) &&
                   (last ? S_ISREG(status.st_mode) : S_ISDIR(status.st_mode));
        // Others may at most add to a sticky folder, not rename or remove what is there.
        const bool sticky = !last && (status.st_mode & S_ISVTX) != 0;
        if (fit && (status.st_mode & S_IWOTH) != 0)
            fit = sticky;
        if (fit && (status.st_mode & S_IWGRP) != 0 && !sticky)
        {
            if (!groupKnown)
                hasPrivateGroup = PrivateGroupOf(caller, &privateGroup);
            groupKnown = true;
            fit = hasPrivateGroup && status.st_gid == privateGroup;
        }
        if (!fit)
        {
            FormatBoundedA(unfit, capacity, "%s", part);
            return false;
        }
        if (last)
            return true;
        part[end] = kept;
    }
}

bool IsPassableValue(const char* value)
{
    return value != nullptr && *value != '\0' && strpbrk(value, "/%") == nullptr &&
           strstr(value, "..") == nullptr;
}

bool IsPassedName(const char* assignment)
{
    for (const char* name : kPassedVariables)
    {
        const size_t length = strlen(name);
        if (strncmp(assignment, name, length) == 0 && assignment[length] == '=')
            return true;
    }
    return false;
}

const ToolTarget* ToolTargetOfFolder(const char* folder)
{
    for (const ToolTarget& target : kToolTargets)
    {
        char name[kUtf8PathBytes];
        if (WideToUtf8(target.subdirectory, name, sizeof name) && strcmp(name, folder) == 0)
            return &target;
    }
    return nullptr;
}

size_t ReadWholeOrNothing(int fd, char* out, size_t capacity)
{
    size_t total = 0;
    ssize_t got = 0;
    while (total < capacity && (got = read(fd, out + total, capacity - total)) > 0)
        total += static_cast<size_t>(got);
    char more;
    if (got < 0 || (total == capacity && read(fd, &more, 1) != 0))
        return 0;
    return total;
}

void ReportUnfitPath(const char* start, const char* reason, const char* unfit)
{
    char detail[PATH_MAX + 64];
    FormatBoundedA(detail, sizeof detail, "another user could change %s.", unfit);
    ReportLine(start, reason, detail);
}

void ReportLine(const char* start, const char* reason, const char* detail)
{
    char line[PATH_MAX + 256];
    FormatBoundedA(line, sizeof line, "%s %s%s\n", start, reason, detail);
    WriteText(STDERR_FILENO, line);
}
