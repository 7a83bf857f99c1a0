// Entry of the Linux launcher. The run reads no arguments; `--device-rule` prints the kit's udev
// rule instead, and `--install-desktop-entry` puts the kit where it stands in the user's menu.
#include "desktop_entry_linux.h"
#include "device_rule_linux.h"
#include "error_output_linux.h"
#include "launcher_run.h"
#include "process_linux.h"

#include <cstring>
#include <unistd.h>

namespace
{

// A set-user-id (or set-group-id) launcher would otherwise run as root with whatever its caller
// set up: it becomes its caller again, and goes on with the caller's rights alone.
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
        WriteText(STDERR_FILENO,
                  "tamsu-launcher: its set-user-id rights cannot be given up, so it stops.\n");
        return 1;
    }
    // Before anything opens a file, which would otherwise take a closed standard descriptor.
    PrepareProcess();
    if (argumentCount == 2 && strcmp(arguments[1], "--device-rule") == 0)
    {
        WriteDeviceRule(STDOUT_FILENO);
        return 0;
    }
    if (argumentCount == 2 && strcmp(arguments[1], "--install-desktop-entry") == 0)
        return InstallDesktopEntry();
    // 0, unless the receiver is not open to the caller.
    return RunLauncher();
}
