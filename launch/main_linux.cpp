// Entry of the Linux launcher. The run reads no arguments; `--device-rule` prints the kit's udev
// rule instead, and `--start-tool FOLDER` is root's one step when the launcher asked pkexec to
// start the pairing tool.
#include "device_rule_linux.h"
#include "launcher_run.h"
#include "process_linux.h"
#include "root_rules_linux.h"
#include "start_tool_as_root_linux.h"

#include <cstring>
#include <unistd.h>

namespace
{

// A set-user-id (or set-group-id) launcher would otherwise run as root with whatever its caller
// set up: it becomes its caller again, and asks pkexec like any other caller.
bool DropToRealUser()
{
    const uid_t user = getuid();
    const gid_t group = getgid();
    if (user == geteuid() && group == getegid())
        return true;
    // The group first: without root's user id it could no longer be changed.
    return setresgid(group, group, group) == 0 && setresuid(user, user, user) == 0 &&
           geteuid() == user && getegid() == group;
}

} // namespace

int main(int argumentCount, char* arguments[])
{
    if (!DropToRealUser())
    {
        ReportLine("tamsu-launcher:", "its set-user-id rights cannot be given up, so it stops.",
                   "");
        return 1;
    }
    // Before anything opens a file, which would otherwise take a closed standard descriptor.
    PrepareProcess();
    if (argumentCount == 2 && strcmp(arguments[1], "--device-rule") == 0)
    {
        WriteDeviceRule(STDOUT_FILENO);
        return 0;
    }
    if (argumentCount >= 2 && strcmp(arguments[1], kStartToolOption) == 0)
        return RunToolStart(argumentCount - 2, arguments + 2);
    // 0, unless the tool needed rights that could not be had.
    return RunLauncher();
}
