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

cmake --preset windows
cmake --build --preset windows
ctest --preset windows
