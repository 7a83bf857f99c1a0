#include "error_output_linux.h"
#include "fake_sysfs.h"
#include "hid_scan_linux.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace
{

// The gathered trace text of a pass, written to standard error, here redirected.
class ErrorTrace : public testing::Test
{
  protected:
    void SetUp() override
    {
        saved_ = dup(STDERR_FILENO);
        file_ =
            std::filesystem::temp_directory_path() / ("tamsu-trace-" + std::to_string(getpid()));
        sigaction(SIGPIPE, nullptr, &pipeAction_);
        // As the launcher has it (PrepareProcess): a broken pipe is an error, not an end.
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override
    {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        sigaction(SIGPIPE, &pipeAction_, nullptr);
        std::filesystem::remove(file_);
    }
    void SendErrorTo(int fd)
    {
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    void SendErrorToFile()
    {
        SendErrorTo(open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    }
    std::string FileText()
    {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    int saved_ = -1;
    std::filesystem::path file_;
    struct sigaction pipeAction_ = {};
};

TEST_F(ErrorTrace, EveryLineArrivesInOrder)
{
    SendErrorToFile();
    // Several buffers' worth, lines written at once in between, and one line longer than a
    // buffer.
    std::string expected;
    for (int i = 0; i < 1000; ++i)
    {
        const std::string line = "find: " + std::to_string(i) + std::string(i % 50, 'x') + "\n";
        expected += line;
        BufferErrorText(line.c_str());
        if (i % 97 == 0)
        {
            const std::string direct = "Pair: " + std::to_string(i) + "\n";
            expected += direct;
            WriteText(STDERR_FILENO, direct.c_str());
        }
        if (i == 500)
        {
            const std::string longLine(40000, 'y');
            expected += longLine;
            BufferErrorText(longLine.c_str());
        }
    }
    FlushErrorText();
    EXPECT_EQ(FileText(), expected);

    // A pass writes out what it gathered before it returns: nothing waits through the retry.
    BufferErrorText("find: before the wait\n");
    FakeSysfs empty;
    EnumHidDevicesUnder(empty.Root().c_str());
    EXPECT_EQ(FileText(), expected + "find: before the wait\n");
}

TEST_F(ErrorTrace, BrokenPipeDropsTheGatheredLinesQuietly)
{
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    close(ends[0]);
    SendErrorTo(ends[1]);
    BufferErrorText("lost\n");
    FlushErrorText();
    WriteText(STDERR_FILENO, "lost too\n");

    // Nothing of the failed writes comes back later.
    SendErrorToFile();
    BufferErrorText("kept\n");
    FlushErrorText();
    EXPECT_EQ(FileText(), "kept\n");
}

} // namespace
