// Entry of the Linux launcher. Arguments and environment are not read by the run; only the
// step to administrator rights looks at who is running.
#include "elevation_linux.h"
#include "launcher_run.h"
#include "process_linux.h"

#include <unistd.h>

int main()
{
    // Before anything opens a file, which would otherwise take a closed standard descriptor.
    PrepareProcess();
    // The pairing tool opens the receiver's hidraw node, which needs root; it inherits the
    // launcher's rights, so the launcher gets them first.
    if (geteuid() != 0)
        return RunElevated(kPkexecPath);
    return RunLauncher();
}
