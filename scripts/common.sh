# Shared by the project's scripts: package installation and the source root.
# shellcheck shell=bash

TAMSU_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Fetches the package lists; on a busy machine another apt or unattended-upgrades may hold the
# lock for a while. A mirror that has gone back to an older state answers "not modified" for the
# newer Release file apt already holds, then serves indexes that do not match it ("File has
# unexpected size"): the lists are then dropped and fetched anew, once. When that fails too, the
# lists there are still serve, and the install says whether they did.
update_package_lists() {
    apt-get -o DPkg::Lock::Timeout=600 update -q && return 0
    echo "apt-get update failed; fetching the package lists anew" >&2
    find /var/lib/apt/lists -maxdepth 1 -type f ! -name lock -delete
    apt-get -o DPkg::Lock::Timeout=600 update -q ||
        echo "apt-get update failed again; trying the lists there are" >&2
}

# Installs the Debian packages that are not installed yet; a rerun with everything present
# touches nothing. With --with-recommends first, what they recommend comes too.
ensure_packages() {
    local missing=() recommends=--no-install-recommends
    if [ "${1:-}" = --with-recommends ]; then
        recommends=--install-recommends
        shift
    fi
    read -r -a missing <<<"$(missing_packages "$@")"
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    update_package_lists
    apt-get -o DPkg::Lock::Timeout=600 install -y -q "$recommends" "${missing[@]}" </dev/null
}

# The named Debian packages that are not installed, on one line.
missing_packages() {
    local package missing=()
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$package")
        fi
    done
    echo "${missing[*]}"
}

# Generates the named UTF-8 locales (zh_CN en_US ...) that are missing. They are listed in
# /etc/locale.gen, so a later locale-gen (the locales package runs one when it is installed)
# keeps them.
ensure_locales() {
    local name missing=()
    for name in "$@"; do
        locale -a 2>/dev/null | grep -qx "$name.utf8" || missing+=("$name")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    for name in "${missing[@]}"; do
        grep -qx "$name.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null || echo "$name.UTF-8 UTF-8" >>/etc/locale.gen
    done
    locale-gen
}

# Packages of the native build and its unit tests.
NATIVE_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev)
# Packages of the native end-to-end tests: simulated devices, a virtual display with a notice
# box to find and photograph, CJK glyphs, the test locales, namespaces for the access and fault
# tests, ACLs on the device nodes of a test's own, udev's rules folders that the access tests
# bind their own over, Python with pytest for the kit's description,
# the simulated sysfs trees and the cases, and for a kit's Windows tool 64-bit Wine (no i386
# packages needed) and the cross compiler of its stand-in; the desktop entry's validator; and
# for the release kit's Linux launcher the Debian roots it runs in, and unzip.
NATIVE_TEST_PACKAGES=(umockdev xvfb xdotool zenity imagemagick fonts-wqy-microhei locales util-linux
    acl udev python3 python3-pytest wine wine64 gcc-mingw-w64-x86-64-posix desktop-file-utils
    debootstrap unzip)
# Packages of the kernel stage: the emulator, the guest's shell and tools, the host's test
# runner, xz to unpack the kernel image once, and the udev that the guest runs from the host's
# root (its Wine scenarios also take the Windows packages and Wine below), and debootstrap for
# the Debian 13 root whose Wine it runs too.
KERNEL_TEST_PACKAGES=(qemu-system-x86 busybox-static python3-pytest xz-utils udev debootstrap)

# Packages of the Windows cross-build and its tests: the cross compiler and GoogleTest's
# sources; a virtual display, xdotool and imagemagick to find, dismiss and photograph the
# notices, with CJK glyphs; pefile and icoutils to read the executable; osslsigncode and openssl
# to sign the kit with a throwaway CA.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix googletest xvfb xdotool imagemagick
    fonts-wqy-microhei python3-pefile icoutils locales osslsigncode openssl ca-certificates)
# Wine as the tests were proven with it: with what it recommends (fonts, X and GL libraries).
# wine64 makes the win64 prefix, where the 32-bit launcher runs under WOW64 as on most users'
# machines; wine32 runs it there and in the win32 prefix.
WINE_PACKAGES=(wine wine32:i386 wine64 fonts-wine libxrender1:i386)

# Whether this machine's kernel runs 32-bit x86 programs. Some virtual machines' kernels run
# none ("Exec format error"), and then Wine's 32-bit loader cannot start: nothing of the 32-bit
# launcher can run under Wine there. Told by running a 91-byte i386 program that only exits 0,
# from the build folder (/tmp may be mounted noexec).
host_runs_i386() {
    local probe status=0
    mkdir -p "$TAMSU_ROOT/build"
    probe=$(mktemp -p "$TAMSU_ROOT/build" i386-probe.XXXXXX) || return 1
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0'\
'\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10'\
'\133\0\0\0\133\0\0\0\5\0\0\0\0\20\0\0\61\333\61\300\100\315\200' >"$probe" &&
        chmod 700 "$probe" && "$probe" 2>/dev/null || status=1
    rm -f "$probe"
    return "$status"
}

# Installs what the Windows build and its tests under Wine need (i386 packages included).
ensure_windows_packages() {
    if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        update_package_lists
    fi
    ensure_packages "${WINDOWS_PACKAGES[@]}"
    ensure_packages --with-recommends "${WINE_PACKAGES[@]}"
    # Wine takes the system language of the Chinese and English notices from the locale.
    ensure_locales zh_CN en_US
}
