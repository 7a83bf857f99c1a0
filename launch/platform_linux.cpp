// The run's platform half on Linux: own path from /proc, the tool started with posix_spawn (a
// Windows one under Wine) as whoever runs the launcher once the receiver is open to them,
// notices through zenity or standard error, the language from the locale environment.
#include "platform.h"

#include "bounded_format.h"
#include "device_rule_linux.h"
#include "error_output_linux.h"
#include "process_linux.h"
#include "receiver_nodes_linux.h"
#include "run_text_linux.h"
#include "text_linux.h"
#include "windows_program_linux.h"
#include "wine_linux.h"
#include "zenity_linux.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <unistd.h>

extern char** environ;

namespace
{

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

// A Windows program starts under Wine; with no Wine to be found (the notice also names the
// folder of one refused as another user's doing), or one that cannot run a program built for
// the tool's machine, the notice names the package.
int StartWindowsTool(const char* tool, uint16_t machine, const char* kit)
{
    char wine[PATH_MAX];
    char refused[PATH_MAX];
    if (!FindWine(kDebianWine, getenv("PATH"), wine, sizeof wine, refused, sizeof refused))
    {
        static wchar_t text[kAccessNoticeChars];
        ShowNotice(WineNotice(SystemLanguageId(), refused, text, kAccessNoticeChars));
        return 1;
    }
    if (!WineRunsMachine(wine, machine))
    {
        ShowNotice(WineMachineNotice(SystemLanguageId(), machine == kMachineI386));
        return 1;
    }
    return StartUnderWine(wine, tool, kit);
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

int StartTool(const ToolTarget&, const wchar_t* toolPath)
{
    // The kit's folder is where the tool path's last two parts begin: <kit>/<folder>/<tool>.
    wchar_t kit[kPathChars];
    FormatBoundedW(kit, kPathChars, L"%s", toolPath);
    for (int part = 0; part < 2; ++part)
    {
        wchar_t* slash = wcsrchr(kit, L'/');
        if (slash == nullptr)
            return 0;
        *slash = L'\0';
    }
    char kitBytes[kUtf8PathBytes];
    char path[kUtf8PathBytes];
    if (!WideToUtf8(kit, kitBytes, sizeof kitBytes) || !WideToUtf8(toolPath, path, sizeof path))
        return 0;
    // The tool opens the receiver's hidraw nodes, which the kit's udev rule opens to the person
    // at the seat. Root (sudo, a service) may open them anyway. With the rule installed, what is
    // missing is a seat; otherwise the notice installs the kit's file only when it is the
    // launcher's own.
    char refused[PATH_MAX] = "";
    if (geteuid() != 0 && !CanOpenReceiverNodes("/sys", "/dev", refused, sizeof refused))
    {
        const uint16_t language = SystemLanguageId();
        const bool own = FolderHoldsDeviceRule(kitBytes);
        wcscat(kit, L"/");
        static wchar_t text[kAccessNoticeChars];
        ShowNotice(IsDeviceRuleInstalled()
                       ? SeatNotice(language, refused, text, kAccessNoticeChars)
                       : AccessNotice(language, kit, own, refused, text, kAccessNoticeChars));
        return 1;
    }
    // As a double-click in a file manager does: names the tool opens by a relative path are the
    // kit's, never those of whatever folder the caller stood in. A tool that cannot start is
    // said in one line: a click that starts nothing and says nothing leaves the user guessing.
    if (chdir(kitBytes) != 0)
    {
        WritePathLine(STDERR_FILENO, "the kit's folder ", kitBytes,
                      " cannot be entered; the tool does not start\n");
        return 1;
    }
    const int machine = WindowsProgramMachine(path);
    if (machine > 0)
        return StartWindowsTool(path, static_cast<uint16_t>(machine), kitBytes);
    if (machine == 0)
    {
        WritePathLine(STDERR_FILENO, "the tool ", path,
                      " is a Windows program built for no processor (machine 0); it does not "
                      "start\n");
        return 1;
    }
    char* const arguments[] = {path, nullptr};
    pid_t child;
    const int error = SpawnProcess(&child, path, arguments, environ, true);
    if (error == 0)
        return 0;
    char after[160];
    FormatBoundedA(after, sizeof after, " cannot be started: %s\n", strerror(error));
    WritePathLine(STDERR_FILENO, "the tool ", path, after);
    return 1;
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
    static char text[kAccessNoticeChars * 4];
    WideToUtf8(notice.caption, caption, sizeof caption);
    WideToUtf8(notice.text, text, sizeof text);
    if (ShowZenityNotice(caption, text))
        return;

    static char line[sizeof caption + sizeof text + 4];
    FormatBoundedA(line, sizeof line, "%s: %s\n", caption, text);
    WriteText(STDERR_FILENO, line);
}
