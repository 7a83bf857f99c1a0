// The run's platform half on Linux: own path from /proc, tools started as root with posix_spawn
// (through pkexec for a caller who is not root), notices through zenity or standard error with
// the caller's rights, the language from the locale environment.
#include "platform.h"

#include "bounded_format.h"
#include "process_linux.h"
#include "request_tool_start_linux.h"
#include "root_rules_linux.h"
#include "start_tool_as_root_linux.h"
#include "text_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

extern char** environ;

namespace
{

// By absolute path: the launcher runs as root and must not pick a program up from PATH.
const char kZenityPath[] = "/usr/bin/zenity";

bool HasValue(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr && *value != '\0';
}

// The first of LC_ALL, LC_MESSAGES and LANG that is set and not empty, as gettext reads them.
const char* MessageLocale()
{
    static const char* const kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : kNames)
    {
        if (HasValue(name))
            return getenv(name);
    }
    return "";
}

// Shows the notice with zenity and waits until it is dismissed. False when zenity could not
// run or did not show it (a display that cannot be opened, for one).
bool ShowZenityNotice(const char* caption, const char* text)
{
    char program[] = "zenity";
    char info[] = "--info";
    char noMarkup[] = "--no-markup"; // without it, a text with '&' would be replaced
    char title[] = "--title";
    char textOption[] = "--text";
    char* const arguments[] = {program,
                               info,
                               noMarkup,
                               title,
                               const_cast<char*>(caption),
                               textOption,
                               const_cast<char*>(text),
                               nullptr};
    pid_t child;
    if (SpawnProcess(&child, kZenityPath, arguments, environ, false) != 0)
        return false;
    siginfo_t ended;
    return WaitForProcess(child, &ended) && ended.si_code == CLD_EXITED && ended.si_status == 0;
}

} // namespace

bool ReadModulePath(wchar_t* out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return false;
    out[0] = L'\0';
    char bytes[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", bytes, sizeof bytes);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof bytes)
        return false;
    bytes[length] = '\0';
    return Utf8ToWide(bytes, out, capacity);
}

void PauseMilliseconds(unsigned milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
    {
    }
}

bool FormatToolPath(const ToolTarget& target, const wchar_t* baseDirectory, wchar_t* out,
                    size_t capacity)
{
    // The kit's layout with Linux separators; the table's format carries Windows ones.
    return FormatBoundedW(out, capacity, L"%s%s/TamsuPair.exe", baseDirectory, target.subdirectory);
}

int StartTool(const ToolTarget& target, const wchar_t* toolPath)
{
    char path[kUtf8PathBytes];
    if (!WideToUtf8(toolPath, path, sizeof path))
        return 0;
    // The pairing tool opens the receiver's hidraw node, which needs root; everything before
    // this ran with the caller's own rights.
    if (geteuid() != 0)
        return RequestToolStart(kPkexecPath, target, path);
    // Already root (sudo, a service): a tool that cannot start is not examined, as on Windows.
    char kit[kUtf8PathBytes];
    TakeFreshRootState();
    if (KitToolPaths(target, kit, path))
        StartToolInKit(kit, path, environ, -1, -1);
    return 0;
}

uint16_t SystemLanguageId()
{
    // "zh_CN.UTF-8@modifier": only the language and territory count.
    const char* locale = MessageLocale();
    const size_t length = strcspn(locale, ".@");
    struct Mapping
    {
        const char* name;
        uint16_t id;
    };
    static const Mapping kChinese[] = {
        {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}};
    for (const Mapping& mapping : kChinese)
    {
        if (length == strlen(mapping.name) && strncmp(locale, mapping.name, length) == 0)
            return mapping.id;
    }
    return 0x0409;
}

void ShowNotice(const NoticeText& notice)
{
    char caption[kUtf8PathBytes];
    char text[kUtf8PathBytes];
    WideToUtf8(notice.caption, caption, sizeof caption);
    WideToUtf8(notice.text, text, sizeof text);
    const bool display = HasValue("DISPLAY") || HasValue("WAYLAND_DISPLAY");
    if (display && access(kZenityPath, X_OK) == 0 && ShowZenityNotice(caption, text))
        return;

    char line[2 * kUtf8PathBytes + 4];
    FormatBoundedA(line, sizeof line, "%s: %s\n", caption, text);
    WriteText(STDERR_FILENO, line);
}
