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
