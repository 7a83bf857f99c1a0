#include "run_text_linux.h"

#include "bounded_format.h"
#include "device_rule_linux.h"
#include "sha256.h"
#include "text_linux.h"

#include <cstring>
#include <cwchar>

namespace
{

// The commands when the kit's rules file is the launcher's own: a copy only root can read or
// change, installed only when it holds the launcher's text, whatever the kit's file has become
// since the notice (another text, a link to /etc/shadow or /dev/zero, a FIFO): one read of at
// most 64 KiB that does not wait, into a draft made anew. udev reads only *.rules files, so the
// draft does nothing until then. %s: the kit's file as a shell word, the text's SHA-256, kReload.
const wchar_t kInstallCommands[] =
    L"cd /etc/udev/rules.d && rm -f tamsu-receivers.new &&\n"
    L"(umask 077 && dd if=%s of=tamsu-receivers.new bs=65536 count=1 iflag=nonblock "
    L"status=none) &&\n"
    L"echo '%s  tamsu-receivers.new' | sha256sum -c &&\n"
    L"chmod 0644 tamsu-receivers.new && mv tamsu-receivers.new 70-tamsu-receivers.rules\n%s";
static_assert(kDeviceRuleBytes <= 65536, "the copy's one read holds the whole rule");
// Otherwise the launcher's own text (%s, which ends in a line end) in a here-document, renamed
// into place so that nothing is written through a link of the rule's name; then kReload.
const wchar_t kWriteCommands[] =
    L"cd /etc/udev/rules.d && cat >tamsu-receivers.new <<'EOF' &&\n"
    L"%sEOF\n"
    L"chmod 0644 tamsu-receivers.new && mv tamsu-receivers.new 70-tamsu-receivers.rules\n%s";
const wchar_t kReload[] = L"udevadm control --reload\n"
                          L"udevadm trigger --action=change --subsystem-match=hidraw";

// %s: the node, the commands.
const wchar_t kChineseInstall[] = L"配对工具无法打开坦苏接收器 %s：当前用户没有读写它的权限。\n\n"
                                  L"请管理员以 root 身份运行一次：\n\n%s\n\n然后重新插入接收器。";
const wchar_t kEnglishInstall[] =
    L"The pairing tool cannot open the Tamsu receiver %s: this user may not read and write it."
    L"\n\nAn administrator runs once, as root:\n\n%s\n\nThen plug the receiver in again.";
// %s: the node, the kit's rules file, the commands.
const wchar_t kChineseWrite[] =
    L"配对工具无法打开坦苏接收器 %s：当前用户没有读写它的权限。套件中的规则文件 %s "
    L"不是启动器自己的规则，因此不安装它。\n\n请管理员以 root 身份运行一次以下命令，"
    L"安装启动器自己的规则：\n\n%s\n\n然后重新插入接收器。";
const wchar_t kEnglishWrite[] =
    L"The pairing tool cannot open the Tamsu receiver %s: this user may not read and write it. "
    L"The kit's rules file %s is not the launcher's own, so it is not to be installed.\n\n"
    L"An administrator runs once, as root, to install the launcher's own rule:\n\n%s\n\n"
    L"Then plug the receiver in again.";
// %s: the node.
const wchar_t kChineseSeat[] =
    L"配对工具无法打开坦苏接收器 %s，尽管启动器的 udev 规则已经安装：该规则只把接收器开放给"
    L"在这台电脑本机屏幕前登录的用户。\n\n请在这台电脑本机登录（不要通过 ssh 登录，"
    L"也不要在其他用户正在使用它的屏幕时登录），或者重新插入接收器。";
const wchar_t kEnglishSeat[] =
    L"The pairing tool cannot open the Tamsu receiver %s, although the launcher's udev rule is "
    L"installed: the rule opens it only to the user signed in at this computer's own screen.\n\n"
    L"Sign in at the computer itself (not over ssh, and not while another user is signed in at "
    L"its screen), or plug the receiver in again.";

// %s: kChineseWineRefused or kEnglishWineRefused, or nothing.
const wchar_t kChineseWine[] = L"此接收器的配对工具是 Windows 程序，在 Linux 上需要 Wine 才能运行，"
                               L"但没有找到 Wine%s。\n\n请管理员安装 wine 软件包，然后重新运行。";
const wchar_t kEnglishWine[] =
    L"The pairing tool for this receiver is a Windows program, which Linux runs with Wine, and "
    L"Wine was not found%s.\n\nAn administrator installs the package wine; then run the launcher "
    L"again.";
// %s: the folder of the wine refused.
const wchar_t kChineseWineRefused[] = L"（不使用 %s 中的 wine：其他用户可能把它放在那里）";
const wchar_t kEnglishWineRefused[] =
    L" (the wine in %s is not used: another user may have put it there)";

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

// path as one shell word that POSIX sh (dash has no $'...') reads back as the same bytes: in
// single quotes, each quote written '\''; or, when it holds a control character, which must not
// reach the administrator's terminal raw, "$(printf '...')" with each byte of those written \ooo,
// and \ and % doubled for printf. The path ends in ".rules": the substitution, which drops
// trailing line ends, keeps it whole.
bool QuoteForShell(const wchar_t* path, wchar_t* out, size_t capacity)
{
    bool controls = false;
    for (const wchar_t* c = path; *c != L'\0'; ++c)
        controls = controls || IsControlCharacter(*c);
    size_t used = 0;
    bool whole = true;
    auto put = [&](const wchar_t* piece)
    {
        for (; *piece != L'\0'; ++piece)
        {
            if (used + 1 < capacity)
                out[used++] = *piece;
            else
                whole = false;
        }
    };
    put(controls ? L"\"$(printf '" : L"'");
    for (const wchar_t* c = path; *c != L'\0'; ++c)
    {
        wchar_t piece[13] = {*c};
        if (*c == L'\'')
        {
            wcscpy(piece, L"'\\''");
        }
        else if (controls && (*c == L'\\' || *c == L'%'))
        {
            piece[1] = *c;
        }
        else if (controls && IsControlCharacter(*c))
        {
            // Its UTF-8 bytes (a byte that is not UTF-8 stands for itself), each \ooo.
            const wchar_t one[] = {*c, L'\0'};
            char bytes[4] = {};
            WideToUtf8(one, bytes, sizeof bytes);
            for (int i = 0; i < 3 && bytes[i] != '\0'; ++i)
            {
                const unsigned byte = static_cast<unsigned char>(bytes[i]);
                piece[4 * i] = L'\\';
                piece[4 * i + 1] = L'0' + (byte >> 6);
                piece[4 * i + 2] = L'0' + ((byte >> 3) & 7);
                piece[4 * i + 3] = L'0' + (byte & 7);
            }
        }
        put(piece);
    }
    put(controls ? L"')\"" : L"'");
    out[used] = L'\0';
    return whole;
}

// The node's path (or a folder's) as a person may read it, in a static buffer.
const wchar_t* VisibleNode(const char* node)
{
    static wchar_t wide[kUtf8PathBytes];
    static wchar_t shown[kUtf8PathBytes * 4];
    Utf8ToWide(node, wide, kUtf8PathBytes);
    QuoteControlCharacters(wide, shown, kUtf8PathBytes * 4);
    return shown;
}

} // namespace

NoticeText AccessNotice(uint16_t languageId, const wchar_t* kit, bool kitRuleIsOwn,
                        const char* node, wchar_t* text, size_t capacity)
{
    const bool chinese = languageId == kLangChineseSimplified;
    static wchar_t path[kAccessNoticeChars];
    static wchar_t quoted[kAccessNoticeChars];
    static wchar_t commands[kAccessNoticeChars];
    char rule[kDeviceRuleBytes];
    FormatDeviceRule(rule, sizeof rule);
    FormatBoundedW(path, kAccessNoticeChars, L"%s%s", kit, kDeviceRuleFile);
    if (kitRuleIsOwn)
    {
        char sum[kSha256HexChars];
        wchar_t wideSum[kSha256HexChars];
        Sha256Hex(rule, strlen(rule), sum);
        Utf8ToWide(sum, wideSum, kSha256HexChars);
        QuoteForShell(path, quoted, kAccessNoticeChars);
        FormatBoundedW(commands, kAccessNoticeChars, kInstallCommands, quoted, wideSum, kReload);
        FormatBoundedW(text, capacity, chinese ? kChineseInstall : kEnglishInstall,
                       VisibleNode(node), commands);
    }
    else
    {
        static wchar_t wideRule[kDeviceRuleBytes];
        Utf8ToWide(rule, wideRule, kDeviceRuleBytes);
        QuoteControlCharacters(path, quoted, kAccessNoticeChars);
        FormatBoundedW(commands, kAccessNoticeChars, kWriteCommands, wideRule, kReload);
        FormatBoundedW(text, capacity, chinese ? kChineseWrite : kEnglishWrite, VisibleNode(node),
                       quoted, commands);
    }
    return {chinese ? L"提示" : L"Tips", text};
}

NoticeText SeatNotice(uint16_t languageId, const char* node, wchar_t* text, size_t capacity)
{
    const bool chinese = languageId == kLangChineseSimplified;
    FormatBoundedW(text, capacity, chinese ? kChineseSeat : kEnglishSeat, VisibleNode(node));
    return {chinese ? L"提示" : L"Tips", text};
}

NoticeText WineNotice(uint16_t languageId, const char* refused, wchar_t* text, size_t capacity)
{
    const bool chinese = languageId == kLangChineseSimplified;
    wchar_t why[kUtf8PathBytes * 4 + 64] = L"";
    if (refused[0] != '\0')
        FormatBoundedW(why, sizeof why / sizeof *why,
                       chinese ? kChineseWineRefused : kEnglishWineRefused, VisibleNode(refused));
    FormatBoundedW(text, capacity, chinese ? kChineseWine : kEnglishWine, why);
    return {chinese ? L"提示" : L"Tips", text};
}

NoticeText WineMachineNotice(uint16_t languageId, bool thirtyTwoBit)
{
    const bool chinese = languageId == kLangChineseSimplified;
    if (thirtyTwoBit)
        return {chinese ? L"提示" : L"Tips", chinese ? kChineseWine32 : kEnglishWine32};
    return {chinese ? L"提示" : L"Tips", chinese ? kChineseWine64 : kEnglishWine64};
}

NoticeText PreparingText(uint16_t languageId)
{
    const bool chinese = languageId == kLangChineseSimplified;
    return {chinese ? L"提示" : L"Tips",
            chinese ? L"正在为首次启动准备配对工具的 Wine 环境，请稍候……"
                    : L"Preparing Wine for the pairing tool's first start; this takes a while..."};
}
