#!/usr/bin/env bash
# Cross-builds the Windows launcher (build/windows/bin/TamsuLauncher.exe) and runs its tests
# under Wine: the unit tests, the end-to-end runs in private win32 and win64 prefixes, the
# notices on a virtual display, and the static check of the executable. Installs what it needs
# on a Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

echo "== Windows cross-build and tests under Wine"
ensure_windows_packages

wine_tests=ON
if ! host_runs_i386; then
    wine_tests=OFF
    echo "windows stage: this machine's kernel runs no 32-bit x86 program (Exec format error)," \
        "so Wine's 32-bit loader cannot start: the tests under Wine are left out; the" \
        "cross-build, the executable's static check and the release check run"
fi
cmake --preset windows -DTAMSU_WINE_TESTS=$wine_tests
cmake --build --preset windows
ctest --preset windows
