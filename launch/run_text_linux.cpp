#include "run_text_linux.h"

#include "bounded_format.h"
#include "device_rule_linux.h"

namespace
{

// The commands an administrator runs once; %s is the kit's rules file, quoted.
const wchar_t kCommands[] = L"install -m 0644 %s /etc/udev/rules.d/\n"
                            L"udevadm control --reload\n"
                            L"udevadm trigger --action=change --subsystem-match=hidraw";

const wchar_t kChineseFormat[] = L"配对工具无法打开坦苏接收器：当前用户没有读写它的权限。\n\n"
                                 L"请管理员以 root 身份运行一次：\n\n%s\n\n然后重新插入接收器。";
const wchar_t kEnglishFormat[] =
    L"The pairing tool cannot open the Tamsu receiver: this user may not read and write it.\n\n"
    L"An administrator runs once, as root:\n\n%s\n\nThen plug the receiver in again.";

const wchar_t kChineseWine[] = L"此接收器的配对工具是 Windows 程序，在 Linux 上需要 Wine 才能运行，"
                               L"但没有找到 Wine。\n\n请管理员安装 wine 软件包，然后重新运行。";
const wchar_t kEnglishWine[] =
    L"The pairing tool for this receiver is a Windows program, which Linux runs with Wine, and "
    L"Wine was not found.\n\nAn administrator installs the package wine; then run the launcher "
    L"again.";

const wchar_t kChineseWine32[] =
    L"此接收器的配对工具是 32 位 Windows 程序，而已安装的 Wine 只能运行 64 位程序。\n\n"
    L"请管理员安装 Wine 的 32 位部分（Debian 和 Ubuntu 上以 root 身份运行：dpkg --add-architecture "
    L"i386 && apt-get update && apt-get install wine32:i386），然后重新运行。";
const wchar_t kEnglishWine32[] =
    L"The pairing tool for this receiver is a 32-bit Windows program, and the Wine installed runs "
    L"64-bit programs alone.\n\nAn administrator installs the 32-bit part of Wine (on Debian and "
    L"Ubuntu, as root: dpkg --add-architecture i386 && apt-get update && apt-get install "
    L"wine32:i386); then run the launcher again.";
const wchar_t kChineseWine64[] =
    L"此接收器的配对工具是 64 位 Windows 程序，而已安装的 Wine 只能运行 32 位程序。\n\n"
    L"请管理员安装 Wine 的 64 位部分（Debian 和 Ubuntu 上为 wine64 软件包），然后重新运行。";
const wchar_t kEnglishWine64[] =
    L"The pairing tool for this receiver is a 64-bit Windows program, and the Wine installed runs "
    L"32-bit programs alone.\n\nAn administrator installs the 64-bit part of Wine (on Debian and "
    L"Ubuntu, the package wine64); then run the launcher again.";

// path in single quotes, each quote in it written '\'' so that no character of it means
// anything to the shell.
bool QuoteForShell(const wchar_t* path, wchar_t* out, size_t capacity)
{
    size_t used = 0;
    bool whole = true;
    auto put = [&](wchar_t c)
    {
        if (used + 1 < capacity)
            out[used++] = c;
        else
            whole = false;
    };
    put(L'\'');
    for (const wchar_t* c = path; *c != L'\0'; ++c)
    {
        if (*c != L'\'')
        {
            put(*c);
            continue;
        }
        for (const wchar_t* escaped = L"'\\''"; *escaped != L'\0'; ++escaped)
            put(*escaped);
    }
    put(L'\'');
    out[used] = L'\0';
    return whole;
}

} // namespace

NoticeText AccessNotice(uint16_t languageId, const wchar_t* kit, wchar_t* text, size_t capacity)
{
    const bool chinese = languageId == kLangChineseSimplified;
    wchar_t rule[kAccessNoticeChars];
    wchar_t quoted[kAccessNoticeChars];
    wchar_t commands[kAccessNoticeChars];
    FormatBoundedW(rule, kAccessNoticeChars, L"%s%s", kit, kDeviceRuleFile);
    QuoteForShell(rule, quoted, kAccessNoticeChars);
    FormatBoundedW(commands, kAccessNoticeChars, kCommands, quoted);
    FormatBoundedW(text, capacity, chinese ? kChineseFormat : kEnglishFormat, commands);
    return {chinese ? L"提示" : L"Tips", text};
}

NoticeText WineNotice(uint16_t languageId)
{
    const bool chinese = languageId == kLangChineseSimplified;
    return {chinese ? L"提示" : L"Tips", chinese ? kChineseWine : kEnglishWine};
}

NoticeText WineMachineNotice(uint16_t languageId, bool thirtyTwoBit)
{
    const bool chinese = languageId == kLangChineseSimplified;
    if (thirtyTwoBit)
        return {chinese ? L"提示" : L"Tips", chinese ? kChineseWine32 : kEnglishWine32};
    return {chinese ? L"提示" : L"Tips", chinese ? kChineseWine64 : kEnglishWine64};
}
