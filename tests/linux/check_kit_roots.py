"""The release kit's Linux launcher, unpacked from the ZIP with unzip, on the distributions it is
made for: in Debian 11, 12 and 13 roots made with debootstrap it makes a pass over a simulated
sysfs (bound over the root's /sys), starts the kit's SOC tool with the trace lines it gives on
this machine, and prints the rule the kit carries. The roots are kept in the user's cache folder,
outside any checkout, one per suite and package list, and reused by every clone.

TAMSU_KIT_ZIP names the ZIP that scripts/kit.sh wrote."""

import os
import shutil
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import debian_roots  # noqa: E402
import kit_description as kd  # noqa: E402
from e2e_support import started_tools  # noqa: E402

# Suite -> its Debian release; minbase holds the shell the stand-in tools run with.
SUITES = debian_roots.KIT_SUITES


def root_of(suite):
    try:
        return debian_roots.root_of(suite)
    except debian_roots.RootError as error:
        pytest.fail(str(error))


@pytest.fixture(scope="module")
def kit():
    """The kit unpacked as a user unpacks it, with stand-in tools."""
    folder = tempfile.mkdtemp(prefix="tamsu-kit-roots.")
    subprocess.run(["unzip", "-q", os.environ["TAMSU_KIT_ZIP"], "-d", folder], check=True)
    (top,) = os.listdir(folder)
    kit = os.path.join(folder, top)
    launcher = os.path.join(kit, kd.LINUX_LAUNCHER)
    unpacked_mode = os.stat(launcher).st_mode & 0o777
    # The same bytes back in their place, with the stand-ins beside.
    kd.lay_out_kit(kit, shutil.copy(launcher, os.path.join(folder, "launcher")))
    yield kit, unpacked_mode
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def sysfs():
    """A simulated sysfs with one SOC receiver's two interfaces."""
    folder = tempfile.mkdtemp(prefix="tamsu-kit-sysfs.")
    os.makedirs(os.path.join(folder, "class", "hidraw"))
    kd.write_tree(kd.receiver_blocks(2), folder)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


# In a private mount namespace: the simulated sysfs over the root's /sys (or the host's, for ""),
# /proc and the kit at /kit, then the launcher with its arguments, in the root.
IN_ROOT = """root=$1 sysfs=$2 kit=$3
shift 3
mount --bind "$sysfs" "$root/sys" || exit 90
if [ -n "$root" ]; then
    mkdir -p "$root/kit" && mount --bind "$kit" "$root/kit" && mount -t proc proc "$root/proc" ||
        exit 90
    exec chroot "$root" /kit/tamsu-launcher "$@"
fi
exec "$kit/tamsu-launcher" "$@"
"""


def run(root, sysfs, kit, *arguments):
    log = os.path.join(kit, kd.STAND_IN_LOG)
    if os.path.exists(log):
        os.remove(log)
    # Bytes, decoded without newline translation: the decision's line ends in "\r\n".
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                           IN_ROOT, "sh", root, sysfs, kit, *arguments], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=120,
                          env=dict(PATH="/usr/sbin:/usr/bin:/sbin:/bin", LANG="C.UTF-8"))
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode(),
                                       done.stderr.decode())


def test_kit_zip_keeps_the_launcher_executable(kit):
    assert kit[1] == 0o755


@pytest.mark.parametrize("suite", SUITES)
def test_kit_launcher_on_debian(kit, sysfs, suite):
    kit = kit[0]
    on_host = run("", sysfs, kit)
    started_on_host = started_tools(kit, 30)
    root = root_of(suite)
    with open(os.path.join(root, "etc", "debian_version")) as version:
        assert version.read().startswith("%d." % SUITES[suite])
    there = run(root, sysfs, kit)
    assert there.returncode == 0, there.stderr
    assert there.stderr == on_host.stderr, "the trace differs from this machine's"
    assert kd.Trace(there.stderr.split("\n")[:-1]).nflags == ["nFlag: 1"]
    assert started_tools(kit, 30).startswith("SOC args=0 ")
    assert started_on_host.startswith("SOC args=0 ")
    rule = run(root, sysfs, kit, "--device-rule")
    with open(os.path.join(kit, kd.DEVICE_RULE_FILE)) as carried:
        assert rule.returncode == 0 and rule.stdout == carried.read()

