#!/usr/bin/env bash
# Cross-builds the Windows launcher (build/windows/bin/TamsuLauncher.exe) and runs its tests
# under Wine: the unit tests, the end-to-end runs in private win32 and win64 prefixes, the
# notices on a virtual display, and the static check of the executable. Installs what it needs
# on a Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

# The cross compiler and GoogleTest's sources; Wine; a virtual display, xdotool and
# imagemagick to find, dismiss and photograph the notices, with CJK glyphs; pefile and
# icoutils to read the executable; osslsigncode and openssl to sign the kit with a throwaway CA.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix googletest xvfb xdotool imagemagick
    fonts-wqy-microhei python3-pefile icoutils locales osslsigncode openssl ca-certificates)
# Wine as the tests were proven with it: with what it recommends (fonts, X and GL libraries).
# wine64 makes the win64 prefix, where the 32-bit launcher runs under WOW64 as on most users'
# machines; wine32 runs it there and in the win32 prefix.
WINE_PACKAGES=(wine wine32:i386 wine64 fonts-wine libxrender1:i386)

echo "== Windows cross-build and tests under Wine"
if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    apt-get update -q
fi
ensure_packages "${WINDOWS_PACKAGES[@]}"
ensure_packages --with-recommends "${WINE_PACKAGES[@]}"
# Wine takes the system language of the Chinese and English notices from the locale.
ensure_locales zh_CN en_US

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
