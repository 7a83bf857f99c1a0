# Shared by the project's scripts: package installation and the source root.
# shellcheck shell=bash

TAMSU_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the Debian packages that are not installed yet; a rerun with everything present
# touches nothing.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q || return 1
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# Packages of the native build and its unit tests.
NATIVE_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev)
# Packages of the native end-to-end tests: simulated devices, a virtual display with a notice
# box to find and photograph, CJK glyphs, the test locales, and namespaces for the elevation test.
NATIVE_TEST_PACKAGES=(umockdev xvfb xdotool zenity imagemagick fonts-wqy-microhei locales util-linux)
