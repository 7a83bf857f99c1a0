"""Debian roots made with debootstrap, for running the project's programs on the distributions
users have. Each is kept in the user's cache folder, outside any checkout, one per suite and
package list, and reused by every clone; one maker at a time. Making one needs root."""

import fcntl
import hashlib
import os
import shutil
import subprocess
import tempfile

MIRROR = "http://deb.debian.org/debian"
DEBOOTSTRAP = ["debootstrap", "--variant=minbase"]
CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                     "tamsu-pair-kit", "roots")

# Installs the packages in the new root, with a foreign architecture first when asked, as a
# user's plain `apt-get install` does (recommends included). /proc for the packages' scripts,
# the host's name service for apt, and no service started.
INSTALL = """root=$1 architecture=$2
shift 2
mount -t proc proc "$root/proc" || exit 90
cp /etc/resolv.conf "$root/etc/resolv.conf" &&
    printf '#!/bin/sh\\nexit 101\\n' >"$root/usr/sbin/policy-rc.d" &&
    chmod 0755 "$root/usr/sbin/policy-rc.d" || exit 90
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \\
    DEBIAN_FRONTEND=noninteractive "$@"; }
{ [ -z "$architecture" ] || in_root dpkg --add-architecture "$architecture"; } &&
    in_root apt-get update -q && in_root apt-get install -y -q "$@" </dev/null
status=$?
in_root apt-get clean
rm -f "$root/etc/resolv.conf" "$root/usr/sbin/policy-rc.d"
exit $status
"""


# The roots the tests run programs in: the release kit's Linux launcher in each supported
# Debian (suite -> release), and the kernel stage's Wine of Debian 13, as a user's plain install
# brings it.
KIT_SUITES = {"bullseye": 11, "bookworm": 12, "trixie": 13}
WINE_10 = ("trixie", "i386", ("wine", "wine32:i386", "wine64"))


class RootError(Exception):
    """debootstrap or the package installation failed."""


def root_of(suite, architecture=None, packages=()):
    """The suite's root (minbase), with the packages installed (of the foreign architecture
    too when given, "i386"), made once per such list and kept in the cache."""
    extra = (["+" + architecture] if architecture else []) + list(packages)
    key = hashlib.sha256(" ".join(DEBOOTSTRAP + [suite, MIRROR] + extra).encode()).hexdigest()
    root = os.path.join(CACHE, "%s-%s" % (suite, key[:12]))
    os.makedirs(CACHE, exist_ok=True)
    with open(root + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.isfile(os.path.join(root, "etc", "debian_version")):
            return root
        staging = tempfile.mkdtemp(prefix=suite + ".", dir=CACHE)
        os.chmod(staging, 0o755)  # a root's top folder, which its users pass through
        try:
            _run("debootstrap %s" % suite, DEBOOTSTRAP + [suite, staging, MIRROR])
            if packages:
                _run("installing %s in %s" % (" ".join(packages), suite),
                     ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                      INSTALL, "sh", staging, architecture or ""] + list(packages))
        except RootError:
            shutil.rmtree(staging, ignore_errors=True)
            raise
        shutil.rmtree(root, ignore_errors=True)
        os.rename(staging, root)
    return root


def _run(what, command):
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise RootError("%s failed (exit %d): %s" % (what, done.returncode,
                                                     (done.stdout + done.stderr)[-600:]))


if __name__ == "__main__":
    # debian_roots.py [kit] [wine]: makes those roots that the cache lacks, so that a test run
    # can have them made beside its first stages.
    import sys
    ROOTS = {"kit": [(suite,) for suite in KIT_SUITES], "wine": [WINE_10]}
    try:
        for made in [made for name in sys.argv[1:] for made in ROOTS[name]]:
            print(root_of(*made), flush=True)
    except RootError as error:
        sys.exit(str(error))
