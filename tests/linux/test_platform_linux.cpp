#include "base_directory.h"
#include "desktop_entry_linux.h"
#include "device_rule_linux.h"
#include "device_rules.h"
#include "platform.h"
#include "process_linux.h"
#include "run_text_linux.h"
#include "sha256.h"
#include "text_linux.h"
#include "user_folders_linux.h"
#include "windows_program_linux.h"
#include "wine_linux.h"
#include "wine_prefix_linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

std::wstring Wide(const std::string& bytes, size_t capacity = 64)
{
    std::wstring out(capacity, L'?');
    Utf8ToWide(bytes.c_str(), out.data(), capacity);
    return out.c_str();
}

std::string Narrow(const std::wstring& text, size_t capacity = 64)
{
    std::string out(capacity, '?');
    WideToUtf8(text.c_str(), out.data(), capacity);
    return out.c_str();
}

TEST(TextLinux, PathBytesSurviveTheRoundTrip)
{
    // A Chinese folder name, and names that are not UTF-8 at all: a lone byte, a stray
    // continuation, an overlong '/', an encoded surrogate and a sequence cut by the end.
    EXPECT_EQ(Wide("/opt/\xE5\x9D\xA6\xE8\x8B\x8F/"), L"/opt/\u5766\u82CF/");
    EXPECT_EQ(Wide("\xF0\x9F\x98\x80"), L"\U0001F600");
    EXPECT_EQ(Wide("a\xFF"
                   "b"),
              L"a\xDCFF"
              L"b");
    for (const std::string bytes : {"kit-\xFF", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xE5\x9D",
                                    "\xF4\x90\x80\x80", "\xF0\x8F\xBF\xBF", "x\xE5\x9D\xA6\xE8"})
    {
        const std::wstring wide = Wide(bytes);
        for (wchar_t c : wide)
            EXPECT_TRUE(c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF) || c == 0x5766) << bytes;
        EXPECT_EQ(Narrow(wide), bytes);
    }
    // The first and the last character of each length, there and back.
    for (const auto& [bytes, wide] : std::initializer_list<std::pair<std::string, std::wstring>>{
             {"\xC2\x80\xDF\xBF", {0x80, 0x7FF}},
             {"\xE0\xA0\x80\xEF\xBF\xBF", {0x800, 0xFFFF}},
             {"\xF0\x90\x80\x80\xF1\x80\x80\x80\xF4\x8F\xBF\xBF", {0x10000, 0x40000, 0x10FFFF}}})
    {
        EXPECT_EQ(Wide(bytes), wide) << bytes;
        EXPECT_EQ(Narrow(wide), bytes);
    }
    // Nothing else becomes a raw byte: other lone surrogates are replaced, also those below
    // the escapes, which would otherwise give ASCII bytes ('/').
    EXPECT_EQ(Narrow(L"\xD800"
                     L"a\xDC2F"),
              "\xEF\xBF\xBD"
              "a\xEF\xBF\xBD");
}

TEST(Sha256, StandardVectors)
{
    // A second block for the length; a whole block before the padding.
    const std::pair<std::string, const char*> cases[] = {
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    for (const auto& [message, digest] : cases)
    {
        char hex[kSha256HexChars];
        Sha256Hex(message.data(), message.size(), hex);
        EXPECT_STREQ(hex, digest) << message.size();
    }
}

TEST(ProcessLimits, OnlyThoseBelowTheUsualDefaultsAreRaised)
{
    // The tool inherits them: a caller's usual limits stay as they are (an unlimited stack
    // changes a 32-bit program's memory layout), tiny ones are raised, as far as the hard one
    // allows.
    const struct
    {
        int resource;
        rlim_t soft;
        rlim_t expected;
    } cases[] = {
        {RLIMIT_STACK, 32 << 10, 8 << 20},
        {RLIMIT_STACK, 8 << 20, 8 << 20},
        {RLIMIT_NOFILE, 4, 1024},
        {RLIMIT_NOFILE, 1024, 1024},
    };
    for (const auto& c : cases)
    {
        rlimit saved;
        ASSERT_EQ(getrlimit(c.resource, &saved), 0);
        ASSERT_GE(saved.rlim_max, c.soft);
        rlimit limit = {c.soft, saved.rlim_max};
        ASSERT_EQ(setrlimit(c.resource, &limit), 0);
        PrepareProcess();
        getrlimit(c.resource, &limit);
        setrlimit(c.resource, &saved);
        EXPECT_EQ(limit.rlim_cur, std::min(c.expected, saved.rlim_max))
            << c.resource << " " << c.soft;
    }
}

TEST(TextLinux, ControlCharactersQuotedOneToOne)
{
    const struct
    {
        const char* bytes;
        const char* shown;
    } cases[] = {
        {"kit\x1b[2K\rx", "kit\\x1b[2K\\x0dx"},
        {"\x7f\x01", "\\x7f\\x01"},
        // U+009B, a C1 control, and a lone 0x9B byte, which is not UTF-8: told apart.
        {"\xc2\x9b|\x9b", "\\u009b|\\x9b"},
        {"a\\x1b", "a\\\\x1b"},
        {"\xe5\x9d\xa6 ok", "\xe5\x9d\xa6 ok"},
        // The bidi ranges' ends quoted, their neighbours not.
        {"\u202a\u202e\u2066\u2069|\u2029\u202f\u2065\u206a",
         "\\u202a\\u202e\\u2066\\u2069|\u2029\u202f\u2065\u206a"},
    };
    for (const auto& c : cases)
    {
        char shown[64];
        EXPECT_TRUE(QuoteControlBytes(c.bytes, shown, sizeof shown)) << c.bytes;
        EXPECT_STREQ(shown, c.shown);
    }
    char cut[8];
    EXPECT_FALSE(QuoteControlBytes("abc\x1b\x1b", cut, sizeof cut));
    EXPECT_STREQ(cut, "abc\\x1b"); // never half a quoted character
    wchar_t none[1] = {L'x'};
    EXPECT_FALSE(QuoteControlCharacters(L"a", none, 0));
    EXPECT_EQ(none[0], L'x'); // no room, not even for the end
}

TEST(DesktopEntry, RefusesAFolderNameAnEntryCannotCarry)
{
    static char entry[8192];
    EXPECT_TRUE(FormatDesktopEntry("/k/kit/tamsu-launcher", entry, sizeof entry));
    // A line end would end the Exec line, and the entry with it.
    EXPECT_FALSE(FormatDesktopEntry("/k/a\nExec=x/tamsu-launcher", entry, sizeof entry));
    // Nor a %, with which the desktops' menus cannot start it.
    EXPECT_FALSE(FormatDesktopEntry("/k/50%/tamsu-launcher", entry, sizeof entry));
}

TEST(TextLinux, ConversionsCutWholeCharactersAndSaySo)
{
    wchar_t wide[4];
    EXPECT_FALSE(Utf8ToWide("abcd", wide, 4));
    EXPECT_EQ(std::wstring(wide), L"abc");
    EXPECT_TRUE(Utf8ToWide("abc", wide, 4));

    char bytes[8];
    EXPECT_FALSE(WideToUtf8(L"a\u5766\u82CF", bytes, 7)); // 1 + 3 + 3 bytes and the end
    EXPECT_EQ(std::string(bytes), "a\xE5\x9D\xA6");
    EXPECT_TRUE(WideToUtf8(L"a\u5766\u82CF", bytes, 8));
}

class Environment : public testing::Test
{
  protected:
    void SetUp() override
    {
        Clear();
    }
    void TearDown() override
    {
        Clear();
    }
    static void Clear()
    {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG", "DISPLAY", "WAYLAND_DISPLAY"})
            unsetenv(name);
    }
    static void Set(const char* all, const char* messages, const char* lang)
    {
        for (auto [name, value] : {std::pair{"LC_ALL", all}, std::pair{"LC_MESSAGES", messages},
                                   std::pair{"LANG", lang}})
        {
            if (value != nullptr)
                setenv(name, value, 1);
            else
                unsetenv(name);
        }
    }
};

TEST_F(Environment, LanguageFollowsTheLocaleVariablesInOrder)
{
    const struct
    {
        const char* all;
        const char* messages;
        const char* lang;
        uint16_t id;
    } cases[] = {
        {nullptr, nullptr, nullptr, 0x0409},
        {nullptr, nullptr, "zh_CN.UTF-8", 0x0804},
        {nullptr, nullptr, "zh_CN", 0x0804},
        {nullptr, nullptr, "zh_CN.GB18030@stroke", 0x0804},
        {nullptr, nullptr, "zh_CN@stroke", 0x0804},
        {"", "", "zh_CN.UTF-8", 0x0804}, // empty counts as unset
        {"en_US.UTF-8", nullptr, "zh_CN.UTF-8", 0x0409},
        {nullptr, "zh_TW.UTF-8", "zh_CN.UTF-8", 0x0404},
        {nullptr, nullptr, "zh_CNX.UTF-8", 0x0409},
        {nullptr, nullptr, "zh", 0x0409},
    };
    for (const auto& c : cases)
    {
        Set(c.all, c.messages, c.lang);
        EXPECT_EQ(SystemLanguageId(), c.id)
            << (c.all ? c.all : "-") << " " << (c.messages ? c.messages : "-") << " "
            << (c.lang ? c.lang : "-");
    }
}

TEST_F(Environment, NoticeWithoutDisplayIsOneLineOnStandardError)
{
    testing::internal::CaptureStderr();
    ShowNotice({L"\u63D0\u793A", L"      \u672A\u68C0\u6D4B\u5230!      "});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\xE6\x8F\x90\xE7\xA4\xBA:       \xE6\x9C\xAA\xE6\xA3\x80\xE6\xB5\x8B\xE5\x88\xB0!"
              "      \n");
}

TEST(PlatformLinux, ModuleAndToolPaths)
{
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    wchar_t path[260];
    ASSERT_TRUE(ReadModulePath(path, 260));
    EXPECT_EQ(Narrow(path, sizeof self), self);
    EXPECT_FALSE(ReadModulePath(path, 5)); // does not fit: cut and refused
    EXPECT_EQ(std::wstring(path).size(), 4u);

    const ToolTarget target{nullptr, nullptr, L"NewCedar", L"%sNewCedar\\TamsuPair.exe", L"open"};
    EXPECT_TRUE(FormatToolPath(target, L"/opt/\u5766\u82CF/", path, 260));
    EXPECT_EQ(std::wstring(path), L"/opt/\u5766\u82CF/NewCedar/TamsuPair.exe");
    // 237 + 22 characters fit in 259; one more does not.
    EXPECT_TRUE(FormatToolPath(target, std::wstring(237, L'k').c_str(), path, 260));
    EXPECT_FALSE(FormatToolPath(target, std::wstring(238, L'k').c_str(), path, 260));
}

TEST(PlatformLinux, BaseDirectoryEndsAtTheLastSlash)
{
    // A backslash is an ordinary file-name character here, never a separator.
    wchar_t base[260];
    ASSERT_TRUE(MakeBaseDirectory(L"/K/x\\tamsu-launcher", base, 260));
    EXPECT_EQ(std::wstring(base), L"/K/");
    ASSERT_TRUE(MakeBaseDirectory(L"/K/a\\b/tamsu-launcher", base, 260));
    EXPECT_EQ(std::wstring(base), L"/K/a\\b/");
    EXPECT_TRUE(IsFullyQualifiedDirectory(L"/K/"));
    EXPECT_FALSE(IsFullyQualifiedDirectory(L"K/"));
    EXPECT_FALSE(IsFullyQualifiedDirectory(L"C:\\K\\"));
}

TEST(DeviceRule, EachReceiverPairOnceAndNothingElse)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    WriteDeviceRule(ends[1]);
    close(ends[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = read(ends[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    close(ends[0]);

    // Every pair a rule names, as the rules spell it ("VID_7C2F&PID_2000"), in lower case.
    std::set<std::string> expected;
    for (const char* pair :
         {"7c2f:2000", "7c2f:2001", "7c2f:2002", "1bcf:0501", "1bcf:05c2", "04fc:0538", "04fc:05da",
          "04fc:05d8", "7c2f:2003", "7c2f:2004", "7c2f:2005", "7c2f:2006", "7c2f:2007", "7c2f:2008",
          "7c2f:2010", "7c2f:1100"})
        expected.insert(pair);
    const std::regex line("SUBSYSTEM==\"hidraw\", SUBSYSTEMS==\"usb\", "
                          "ATTRS\\{idVendor\\}==\"([0-9a-f]{4})\", "
                          "ATTRS\\{idProduct\\}==\"([0-9a-f]{4})\", TAG\\+=\"uaccess\"");
    std::multiset<std::string> found;
    std::istringstream lines(text);
    for (std::string rule; std::getline(lines, rule);)
    {
        std::smatch match;
        if (rule.empty() || rule[0] == '#')
            continue;
        ASSERT_TRUE(std::regex_match(rule, match, line)) << rule;
        found.insert(match[1].str() + ":" + match[2].str());
    }
    EXPECT_EQ(found, std::multiset<std::string>(expected.begin(), expected.end()));
}

// The bytes /bin/sh makes of a word.
std::string ShellReadsBack(const std::string& word)
{
    FILE* shell = popen(("printf %s " + word).c_str(), "r");
    std::string bytes;
    char chunk[4096];
    for (size_t got; shell != nullptr && (got = fread(chunk, 1, sizeof chunk, shell)) > 0;)
        bytes.append(chunk, got);
    if (shell != nullptr)
        pclose(shell);
    return bytes;
}

TEST(AccessNotice, KitRuleIsAShellWordThatReadsBackAsItsBytes)
{
    // Controls (a stray byte, a C1 control and a bidi override in UTF-8) through printf, with a
    // quote, $(x), \ and %; the longest kit path, each character one that takes twelve.
    std::string longest = "/";
    while (longest.size() < 1 + 230 * 3)
        longest += "\xe2\x80\xae";
    const std::string kits[] = {"/k/\x1b\r\x9b\xc2\x9b\xe2\x80\xae it's $(x) \\ %d/",
                                longest + "/"};
    for (const std::string& kit : kits)
    {
        static wchar_t text[kAccessNoticeChars];
        const NoticeText notice = AccessNotice(0x0409, Wide(kit, kPathChars).c_str(), true,
                                               "/dev/hidraw0", text, kAccessNoticeChars);
        const std::string shown = Narrow(notice.text, kAccessNoticeChars * 4);
        std::smatch word;
        ASSERT_TRUE(std::regex_search(shown, word, std::regex(" if=(.*) of=tamsu-receivers")))
            << shown;
        EXPECT_EQ(ShellReadsBack(word[1]), kit + "70-tamsu-receivers.rules") << word[1];
    }
}

// A folder of the test's own, removed with what it holds.
class WineFiles : public testing::Test
{
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/tamsu-wine-unit.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder_ = name;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + folder_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    std::string Write(const std::string& name, const std::string& bytes, mode_t mode = 0644)
    {
        const std::string path = folder_ + "/" + name;
        for (size_t slash = folder_.size() + 1;
             (slash = path.find('/', slash)) != std::string::npos; ++slash)
            mkdir(path.substr(0, slash).c_str(), 0755);
        std::ofstream(path, std::ios::binary) << bytes;
        chmod(path.c_str(), mode);
        return path;
    }
    std::string folder_;
};

// "MZ", e_lfanew at 0x3C, little-endian, and "PE\0\0" where it points when pe; the file
// header's Machine after it when it fits, whether or not the signature is there.
std::string Image(uint32_t lfanew, size_t size, bool pe, char first = 'M', uint16_t machine = 0x14C)
{
    std::string bytes(size, '\0');
    bytes[0] = first;
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i)
        bytes[0x3C + i] = static_cast<char>(lfanew >> (8 * i));
    if (pe && lfanew + 4 <= size)
        bytes.replace(lfanew, 4, "PE\0\0", 4);
    if (lfanew + 6 <= size)
        bytes.replace(lfanew + 4, 2, {static_cast<char>(machine), static_cast<char>(machine >> 8)});
    return bytes;
}

// An ELF header's first 20 bytes: class (1: 32-bit, 2: 64-bit) and e_machine (3: i386, 62:
// x86-64).
std::string Elf(char elfClass, char machine)
{
    std::string bytes = "\x7F"
                        "ELF" +
                        std::string(16, '\0');
    bytes[4] = elfClass;
    bytes[18] = machine;
    return bytes;
}

TEST_F(WineFiles, WindowsProgramIsAnMzHeaderLeadingToPe)
{
    const struct
    {
        const char* name;
        std::string bytes;
        uint16_t machine; // 0: not a Windows program
    } cases[] = {
        {"pe", Image(0x80, 0x200, true), 0x14C},
        {"x86-64", Image(0x80, 0x200, true, 'M', 0x8664), 0x8664},
        {"file-header-at-the-very-end", Image(0x1FA, 0x200, true), 0x14C},
        {"signature-past-64-kib", Image(0x10080, 0x10100, true), 0x14C},
        {"no-room-for-the-machine", Image(0x1FC, 0x200, true), 0},
        {"mz-without-pe", Image(0x80, 0x200, false), 0},
        {"pe-without-mz", Image(0x80, 0x200, true, 'Z'), 0},
        {"lfanew-past-the-end", Image(0x200, 0x200, false), 0},
        {"truncated", Image(0x80, 0x200, true).substr(0, 0x3E), 0},
        {"elf", "\x7F" + std::string("ELF") + std::string(0x100, '\x02'), 0},
        {"script", "#!/bin/sh\necho MZ PE\n" + std::string(0x100, ' '), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::max(WindowsProgramMachine(Write(c.name, c.bytes).c_str()), 0), c.machine)
            << c.name;
}

TEST_F(WineFiles, WineRunsWhatItsLoadersOrWindowsSideCanRun)
{
    const std::string script = "#!/bin/sh\n", elf32 = Elf(1, 3), elf64 = Elf(2, 62);
    const struct
    {
        const char* packaging;
        std::vector<std::pair<const char*, std::string>> files; // the first is wine
        bool i386;
        bool amd64;
    } cases[] = {
        {"debian-both",
         {{"bin/wine", script}, {"lib/wine/wine", elf32}, {"lib/wine/wine64", elf64}},
         true,
         true},
        {"debian-wine64-alone", {{"bin/wine", script}, {"lib/wine/wine64", elf64}}, false, true},
        {"debian-wine32-alone", {{"bin/wine", script}, {"lib/wine/wine", elf32}}, true, false},
        {"upstream-pair", {{"bin/wine", elf32}, {"bin/wine64", elf64}}, true, true},
        {"upstream-32-bit-alone", {{"bin/wine", elf32}, {"bin/wine64", script}}, true, false},
        {"wow64", {{"bin/wine", elf64}, {"lib/wine/i386-windows/ntdll.dll", "MZ"}}, true, true},
        {"wow64-lib64",
         {{"bin/wine", elf64}, {"lib64/wine/i386-windows/ntdll.dll", "MZ"}},
         true,
         true},
        {"64-bit-alone",
         {{"bin/wine", elf64}, {"lib/wine/i386-windows/zlib1.dll", "MZ"}},
         false,
         true},
        {"32-bit-class-with-x86-64-machine", {{"bin/wine", Elf(1, 62)}}, false, false},
    };
    for (const auto& c : cases)
    {
        for (const auto& [name, bytes] : c.files)
            Write(std::string(c.packaging) + "/" + name, bytes, 0755);
        // Through a link, as /usr/bin/wine is one.
        const std::string wine = folder_ + "/" + c.packaging + "-wine";
        ASSERT_EQ(symlink((folder_ + "/" + c.packaging + "/bin/wine").c_str(), wine.c_str()), 0);
        EXPECT_EQ(WineRunsMachine(wine.c_str(), kMachineI386), c.i386) << c.packaging;
        EXPECT_EQ(WineRunsMachine(wine.c_str(), kMachineAmd64), c.amd64) << c.packaging;
        // Another processor's program is left to Wine.
        EXPECT_TRUE(WineRunsMachine(wine.c_str(), 0xAA64)) << c.packaging;
    }
}

// Wine's system.reg text of the settings' keys, each name's case as given by upper, under the
// control set as Wine 8.0 (CurrentControlSet) or later Wine (ControlSet001) keeps it.
std::string Registry(bool upper, const std::string& sdl = "dword:00000000", size_t pairs = 99,
                     const std::string& hidraw = "dword:00000001",
                     const std::string& controlSet = "CurrentControlSet")
{
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t count = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    const std::string bus =
        "System\\\\" + controlSet + (upper ? "\\\\Services\\\\WINEBUS" : "\\\\Services\\\\winebus");
    std::string text = "WINE REGISTRY Version 2\n\n[" + bus + "] 1796855128\n#time=1dd\n" +
                       "\"Description\"=\"Wine HID bus driver\"\n\"" +
                       (upper ? "ENABLE SDL" : "Enable SDL") + "\"=" + sdl + "\n\n";
    for (size_t i = 0; i < count && i < pairs; ++i)
    {
        char key[32];
        snprintf(key, sizeof key, "%04x/%04x", ids[i].vendor, ids[i].product);
        text += "[" + bus + "\\\\Devices\\\\" + key + "] 1796855128\n\"Hidraw\"=" + hidraw + "\n\n";
    }
    return text + "[System\\\\Other] 1\n\"Hidraw\"=dword:00000001\n";
}

TEST_F(WineFiles, RegistryHoldsEverySettingOrNot)
{
    UsbDeviceId ids[kMaxReceiverUsbIds];
    const size_t pairs = ListReceiverUsbIds(ids, kMaxReceiverUsbIds);
    const std::string text = Registry(false);
    const size_t key = text.find("[System"), keyEnd = text.find('\n', key);
    const struct
    {
        const char* name;
        std::string text;
        bool holds;
    } cases[] = {
        {"as-imported", Registry(false), true},
        {"names-in-other-case", Registry(true), true},
        {"wine-10-control-set",
         Registry(false, "dword:00000000", 99, "dword:00000001", "ControlSet001"), true},
        {"another-control-set",
         Registry(false, "dword:00000000", 99, "dword:00000001", "ControlSet002"), false},
        // Past the first piece that is read: a megabyte of other keys first; a line longer than
        // a piece; the last line without its line end.
        {"after-a-megabyte", std::string(1 << 20, '\n') + Registry(false), true},
        {"after-a-long-line", std::string(100000, 'x') + "\n" + Registry(false), true},
        {"last-line-unended", Registry(false).substr(0, Registry(false).rfind("\n\n[System")),
         true},
        // The bus's key line a piece (64 KiB) less one long fits; after a piece of other text
        // on its line, it is no key line.
        {"key-line-a-piece-less-one", std::string(text).insert(keyEnd, 65535 - keyEnd + key, ' '),
         true},
        {"key-line-ending-a-longer-one", std::string(text).insert(key, 65536, 'x'), false},
        {"sdl-on", Registry(false, "dword:00000001"), false},
        {"last-pair-missing", Registry(false, "dword:00000000", pairs - 1), false},
        {"hidraw-off", Registry(false, "dword:00000000", 99, "dword:00000000"), false},
        {"empty", "", false},
    };
    for (const auto& c : cases)
    {
        const int fd = open(Write(c.name, c.text).c_str(), O_RDONLY);
        EXPECT_EQ(RegistryHoldsSettings(fd), c.holds) << c.name;
        close(fd);
    }
}

TEST_F(WineFiles, WineIsDebiansOrTheFirstInAbsolutePathEntries)
{
    const std::string debian = Write("debian/wine", "#!/bin/sh\n", 0755);
    Write("text/wine", "#!/bin/sh\n", 0644);
    mkdir((folder_ + "/folder").c_str(), 0755);
    mkdir((folder_ + "/folder/wine").c_str(), 0755);
    const std::string found = Write("found/wine", "#!/bin/sh\n", 0755);
    Write("later/wine", "#!/bin/sh\n", 0755);
    const std::string open = folder_ + "/open"; // root's wine where another user could put one
    Write("open/wine", "#!/bin/sh\n", 0755);
    chmod(open.c_str(), 0777);
    Write("loose/wine", "#!/bin/sh\n", 0755); // its wineserver anyone may change
    Write("loose/wineserver", "#!/bin/sh\n", 0777);
    for (const char* folder : {"debian", "open", "folder", "found", "later"})
        Write(std::string(folder) + "/wineserver", "#!/bin/sh\n", 0755);
    symlink(found.c_str(), (folder_ + "/link").c_str()); // run by its real path, which is checked
    ASSERT_EQ(chdir(folder_.c_str()), 0); // where a relative entry would find later/wine
    const std::string none = folder_ + "/none/wine";
    const std::string path = "later::" + open + ":" + folder_ + "/text:" + folder_ +
                             "/folder:" + folder_ + "/loose:" + folder_ + "/found:" + folder_ +
                             "/later";
    const struct
    {
        std::string preferred;
        const char* search;
        const char* wine; // nullptr: none
    } cases[] = {
        {debian, path.c_str(), debian.c_str()},
        {none, path.c_str(), found.c_str()},
        {folder_ + "/text/wine", path.c_str(), found.c_str()},
        {folder_ + "/link", nullptr, found.c_str()},
        {none, nullptr, nullptr},
    };
    for (const auto& c : cases)
    {
        char wine[PATH_MAX] = "";
        EXPECT_EQ(FindWine(c.preferred.c_str(), c.search, wine, sizeof wine), c.wine != nullptr)
            << c.preferred << " " << (c.search ? c.search : "-");
        if (c.wine != nullptr)
        {
            EXPECT_STREQ(wine, c.wine);
        }
    }
    char cut[16];
    EXPECT_FALSE(FindWine(none.c_str(), path.c_str(), cut, sizeof cut));
    ASSERT_EQ(chdir("/"), 0);
}

TEST(UserFolders, DataHomeByTheXdgRules)
{
    const struct
    {
        const char* dataHome;
        const char* home;
        const char* folder; // nullptr: none
    } cases[] = {
        {"/data", "/home/u", "/data"},
        {nullptr, "/home/u", "/home/u/.local/share"},
        // Empty or relative: ignored, as the XDG rules ask.
        {"", "/home/u", "/home/u/.local/share"},
        {"data", "/home/u", "/home/u/.local/share"},
        {"data", "home/u", nullptr},
        {nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases)
    {
        char folder[PATH_MAX] = "";
        EXPECT_EQ(DataHomeFolder(c.dataHome, c.home, folder, sizeof folder), c.folder != nullptr)
            << (c.dataHome ? c.dataHome : "-");
        if (c.folder != nullptr)
        {
            EXPECT_STREQ(folder, c.folder);
        }
    }
    // "/h/.local/share" and its end: 16; one short is refused, not cut.
    char fits[16];
    EXPECT_TRUE(DataHomeFolder(nullptr, "/h", fits, sizeof fits));
    EXPECT_FALSE(DataHomeFolder(nullptr, "/h", fits, sizeof fits - 1));
}

} // namespace
