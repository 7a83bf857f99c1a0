#include "start_tool_as_root_linux.h"

#include "base_directory.h"
#include "bounded_format.h"
#include "platform.h"
#include "process_linux.h"
#include "root_rules_linux.h"
#include "text_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace
{

const char kRefused[] = "tamsu-launcher: the pairing tool is not started as root:";
// Root's tool gets pkexec's environment, less what is set here, plus these.
constexpr size_t kMaxEnvironment = 64;

// The user pkexec names, or root alone when it names none (sudo, a service). False for a value
// that is not a plain number.
bool CallerOfStep(uid_t* caller)
{
    const char* text = getenv("PKEXEC_UID");
    *caller = 0;
    if (text == nullptr)
        return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 ||
        value != static_cast<uid_t>(value))
        return false;
    *caller = static_cast<uid_t>(value);
    return true;
}

// Only root and the tool can read the copy: a sealed memory file, above 3 so that handing it
// to the tool as 3 is a real copy. -1 when there are no credentials on standard input.
int CopyCredentials()
{
    static char bytes[kMaxCredentialBytes];
    struct stat input;
    if (fstat(STDIN_FILENO, &input) != 0 || !S_ISFIFO(input.st_mode))
        return -1;
    const size_t total = ReadWholeOrNothing(STDIN_FILENO, bytes, sizeof bytes);
    if (total == 0)
        return -1;
    const int memory = memfd_create("display-credentials", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memory < 0)
        return -1;
    int copy = -1;
    if (write(memory, bytes, total) == static_cast<ssize_t>(total) &&
        fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0)
        copy = fcntl(memory, F_DUPFD_CLOEXEC, 10);
    close(memory);
    return copy;
}

} // namespace

bool KitToolPaths(const ToolTarget& target, char* kit, char* tool)
{
    wchar_t modulePath[kPathChars];
    wchar_t baseDirectory[kPathChars];
    wchar_t toolPath[kPathChars];
    return ReadModulePath(modulePath, kPathChars) &&
           MakeBaseDirectory(modulePath, baseDirectory, kPathChars) &&
           IsFullyQualifiedDirectory(baseDirectory) &&
           FormatToolPath(target, baseDirectory, toolPath, kPathChars) &&
           WideToUtf8(baseDirectory, kit, kUtf8PathBytes) &&
           WideToUtf8(toolPath, tool, kUtf8PathBytes);
}

int StartToolInKit(const char* kit, const char* tool, char* const environment[], int standardInput,
                   int credentials)
{
    // As a double-click in a file manager does: names the tool opens by a relative path are the
    // kit's, never those of whatever folder the caller stood in.
    if (chdir(kit) != 0)
        return errno;
    char* const arguments[] = {const_cast<char*>(tool), nullptr};
    pid_t child;
    return SpawnProcess(&child, tool, arguments, environment, true, standardInput, credentials);
}

int RunToolStart(int argumentCount, char* const arguments[])
{
    if (getuid() != 0 || geteuid() != 0)
    {
        ReportLine(kRefused, kStartToolOption, " is the launcher's own step as root.");
        return 1;
    }
    const ToolTarget* target = argumentCount >= 1 ? ToolTargetOfFolder(arguments[0]) : nullptr;
    if (target == nullptr)
    {
        ReportLine(kRefused, argumentCount >= 1 ? arguments[0] : "(nothing)",
                   " is not one of the kit's tool folders.");
        return 2;
    }
    uid_t caller;
    char kit[kUtf8PathBytes];
    char tool[kUtf8PathBytes];
    char unfit[PATH_MAX];
    if (!CallerOfStep(&caller))
    {
        ReportLine(kRefused, "PKEXEC_UID is not a user id.", "");
        return 1;
    }
    if (!KitToolPaths(*target, kit, tool))
    {
        ReportLine(kRefused, "the launcher's own folder cannot be told whole.", "");
        return 1;
    }
    if (!IsPathFitForRoot(tool, caller, unfit, sizeof unfit))
    {
        ReportUnfitPath(kRefused, "", unfit);
        return 1;
    }

    // pkexec's own environment, then the display and language the caller passed, then the
    // credentials' descriptor.
    char* environment[kMaxEnvironment + kPassedCount + 2];
    size_t count = 0;
    for (char** entry = environ; *entry != nullptr && count < kMaxEnvironment; ++entry)
    {
        if (!IsPassedName(*entry) && strncmp(*entry, "XAUTHORITY=", 11) != 0)
            environment[count++] = *entry;
    }
    for (int i = 1; i < argumentCount; ++i)
    {
        const char* equals = strchr(arguments[i], '=');
        if (equals != nullptr && IsPassedName(arguments[i]) && IsPassableValue(equals + 1) &&
            count < kMaxEnvironment + kPassedCount)
            environment[count++] = arguments[i];
    }
    // Before the credentials' copy is written, which the caller's file-size limit would stop.
    TakeFreshRootState();
    const int credentials = CopyCredentials();
    char xauthority[] = "XAUTHORITY=/dev/fd/3";
    if (credentials >= 0)
        environment[count++] = xauthority;
    environment[count] = nullptr;

    // Standard input carried the credentials; the tool reads nothing from it.
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int error = StartToolInKit(kit, tool, environment, nothing, credentials);
    if (nothing >= 0)
        close(nothing);
    if (credentials >= 0)
        close(credentials);
    if (error == 0)
        return 0;
    // The administrator gave a password: say why nothing happened.
    char detail[PATH_MAX + 64];
    FormatBoundedA(detail, sizeof detail, "%s cannot be run (%s).", tool, strerror(error));
    ReportLine(kRefused, detail, "");
    return 1;
}
