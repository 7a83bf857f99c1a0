#include "base_directory.h"
#include "platform.h"
#include "request_tool_start_linux.h"
#include "root_rules_linux.h"
#include "text_linux.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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
                                    "\xF4\x90\x80\x80", "x\xE5\x9D\xA6\xE8"})
    {
        const std::wstring wide = Wide(bytes);
        for (wchar_t c : wide)
            EXPECT_TRUE(c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF) || c == 0x5766) << bytes;
        EXPECT_EQ(Narrow(wide), bytes);
    }
    // Nothing else becomes a raw byte: other lone surrogates are replaced, also those below
    // the escapes, which would otherwise give ASCII bytes ('/').
    EXPECT_EQ(Narrow(L"\xD800"
                     L"a\xDC2F"),
              "\xEF\xBF\xBD"
              "a\xEF\xBF\xBD");
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
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG", "DISPLAY", "WAYLAND_DISPLAY",
                                 "XAUTHORITY", "XDG_RUNTIME_DIR"})
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

    const ToolTarget target{"SOC",  nullptr, nullptr, L"NewCedar", L"%sNewCedar\\TamsuPair.exe",
                            L"open"};
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

// Elevation against stand-ins for pkexec that record what they were given.
class Elevation : public Environment
{
  protected:
    void SetUp() override
    {
        Environment::SetUp();
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tamsu-pkexec-XXXXXX").string();
        directory_ = mkdtemp(pattern.data());
        tool_ = directory_ + "/TamsuPair.exe";
        std::ofstream(tool_) << "#!/bin/sh\n";
        chmod(tool_.c_str(), 0755);
    }
    void TearDown() override
    {
        std::filesystem::remove_all(directory_);
        Environment::TearDown();
    }
    // Records its arguments, one per line, and what came on its standard input.
    std::string FakePkexec(int exitCode)
    {
        const std::string path = directory_ + "/pkexec";
        std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " << directory_
                            << "/arguments\ncat > " << directory_ << "/input\nexit " << exitCode
                            << "\n";
        chmod(path.c_str(), 0700);
        return path;
    }
    std::string Read(const char* name)
    {
        std::stringstream text;
        text << std::ifstream(directory_ + "/" + name).rdbuf();
        return text.str();
    }
    std::string directory_;
    std::string tool_;
};

TEST_F(Elevation, AsksForTheToolByFolderWithDisplayLanguageAndCredentials)
{
    setenv("DISPLAY", ":7", 1);
    setenv("LANG", "zh_CN.UTF-8", 1);
    setenv("LC_ALL", "../../tmp/x", 1); // could name a file: left out
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    const std::string cookie = directory_ + "/cookie";
    std::ofstream(cookie) << "credentials\n";
    setenv("XAUTHORITY", cookie.c_str(), 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(RequestToolStart(FakePkexec(3).c_str(), kToolTargets[1], tool_.c_str()), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(Read("arguments"),
              std::string(self) + "\n--start-tool\nNewCedar\nDISPLAY=:7\nLANG=zh_CN.UTF-8\n");
    EXPECT_EQ(Read("input"), "credentials\n");

    // Credentials only from a regular file, never through a link.
    const std::string link = directory_ + "/link";
    symlink(cookie.c_str(), link.c_str());
    setenv("XAUTHORITY", link.c_str(), 1);
    RequestToolStart(FakePkexec(0).c_str(), kToolTargets[1], tool_.c_str());
    EXPECT_EQ(Read("input"), "");

    // A missing tool asks nothing.
    std::filesystem::remove(directory_ + "/arguments");
    EXPECT_EQ(
        RequestToolStart(FakePkexec(0).c_str(), kToolTargets[1], (directory_ + "/absent").c_str()),
        0);
    EXPECT_FALSE(std::filesystem::exists(directory_ + "/arguments"));
}

TEST_F(Elevation, RefusalIsOneClearLineAndNonZero)
{
    for (int code : {126, 127})
    {
        testing::internal::CaptureStderr();
        EXPECT_EQ(RequestToolStart(FakePkexec(code).c_str(), kToolTargets[1], tool_.c_str()), code);
        const std::string line = testing::internal::GetCapturedStderr();
        EXPECT_NE(line.find("administrator rights are required"), std::string::npos) << line;
        EXPECT_NE(line.find(code == 126 ? "cancelled" : "not authorised"), std::string::npos);
        EXPECT_EQ(line.find('\n'), line.size() - 1);
    }

    testing::internal::CaptureStderr();
    EXPECT_NE(
        RequestToolStart((directory_ + "/absent/pkexec").c_str(), kToolTargets[1], tool_.c_str()),
        0);
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_NE(line.find("administrator rights are required"), std::string::npos) << line;
    EXPECT_NE(line.find("/absent/pkexec cannot be run (No such file or directory)"),
              std::string::npos)
        << line;
}

TEST_F(Elevation, OnlyPathsNoOtherUserCanChangeAreFitForRoot)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to hand files to another user";
    const uid_t other = 65534;
    const std::string folder = directory_ + "/kit";
    const std::string file = folder + "/TamsuPair.exe";
    std::filesystem::create_directory(folder);
    std::ofstream(file) << "#!/bin/sh\n";
    char unfit[PATH_MAX];
    const auto fit = [&](const std::string& path, uid_t caller)
    {
        unfit[0] = '\0';
        return IsPathFitForRoot(path.c_str(), caller, unfit, sizeof unfit);
    };
    chmod(file.c_str(), 0755);
    EXPECT_TRUE(fit(file, 0));
    chmod(folder.c_str(), 01777); // others may add, not rename or remove
    EXPECT_TRUE(fit(file, 0));
    chmod(folder.c_str(), 0775); // root's own private group may write
    EXPECT_TRUE(fit(file, 0));
    chown(folder.c_str(), 0, 100); // a group other users are in may not
    EXPECT_FALSE(fit(file, 0));
    EXPECT_EQ(std::string(unfit), folder);
    chown(folder.c_str(), 0, 0);
    chmod(folder.c_str(), 0755);
    chmod(file.c_str(), 0757);
    EXPECT_FALSE(fit(file, 0));
    EXPECT_EQ(std::string(unfit), file);
    chmod(file.c_str(), 0755);
    // Another user's folder: fit only for that user.
    chown(folder.c_str(), other, other);
    EXPECT_FALSE(fit(file, 0));
    EXPECT_EQ(std::string(unfit), folder);
    EXPECT_TRUE(fit(file, other));
    // Links are resolved before the check, so one left in the path is unfit, even to a folder
    // that is.
    chown(folder.c_str(), 0, 0);
    const std::string link = directory_ + "/link";
    symlink(folder.c_str(), link.c_str());
    EXPECT_FALSE(fit(link + "/TamsuPair.exe", 0));
    EXPECT_EQ(std::string(unfit), link);
    EXPECT_FALSE(fit("kit/TamsuPair.exe", 0));
    EXPECT_FALSE(fit(folder, 0)); // a folder is not a program
}

TEST_F(Elevation, CredentialsPassWholeOrNotAtAll)
{
    // Read: exactly the buffer's size is whole, one byte more is cut.
    const std::string file = directory_ + "/credentials";
    char bytes[16];
    for (const size_t size : {size_t{16}, size_t{17}})
    {
        std::ofstream(file) << std::string(size, 'c');
        const int fd = open(file.c_str(), O_RDONLY);
        EXPECT_EQ(ReadWholeOrNothing(fd, bytes, sizeof bytes), size == 16 ? 16u : 0u) << size;
        close(fd);
    }
    // Written into a pipe nobody reads yet: whole when it fits, never a wait when it does not
    // (a user past the kernel's pipe quota gets pipes of a page or two).
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    alarm(20); // a write that waits ends the test program instead of hanging it
    const int capacity = fcntl(ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    const std::string payload(capacity + 1, 'x');
    EXPECT_FALSE(WriteIntoPipeWhole(ends[1], payload.data(), payload.size()));
    EXPECT_TRUE(WriteIntoPipeWhole(ends[1], payload.data(), capacity));
    EXPECT_FALSE(WriteIntoPipeWhole(ends[1], payload.data(), 1)); // full: would block
    alarm(0);
    close(ends[0]);
    close(ends[1]);
}

TEST(PlatformLinux, ValuesPassedToRootNameNoFile)
{
    for (const char* value : {":0", "localhost:10.0", "zh_CN.UTF-8", "C.utf8@euro"})
        EXPECT_TRUE(IsPassableValue(value)) << value;
    for (const char* value : {"", "/usr/lib/locale/C.utf8", "..", "a%sb", "127.0.0.1:7/x"})
        EXPECT_FALSE(IsPassableValue(value)) << value;
    EXPECT_FALSE(IsPassableValue(nullptr));
}

} // namespace
