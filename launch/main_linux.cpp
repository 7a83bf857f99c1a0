// Entry of the Linux launcher. The run reads no arguments; `--start-tool` is root's one step
// when the launcher asked pkexec to start the pairing tool.
#include "elevation_linux.h"
#include "launcher_run.h"
#include "process_linux.h"

#include <cstring>

int main(int argumentCount, char* arguments[])
{
    // Before anything opens a file, which would otherwise take a closed standard descriptor.
    PrepareProcess();
    if (argumentCount >= 2 && strcmp(arguments[1], kStartToolOption) == 0)
        return RunToolStart(argumentCount - 2, arguments + 2);
    // 0, unless the tool needed rights that could not be had.
    const int exitCode = RunLauncher();
    return exitCode != 0 ? exitCode : ElevationExitCode();
}
