#!/usr/bin/env bash
# Builds the benchmarks and prints the table of figures (kept out of the test run).
# Run as root: the whole-run figures bind a simulated sysfs over /sys in a private mount
# namespace. The Windows figures appear when the Windows build exists (scripts/test-windows.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" libbenchmark-dev libhidapi-dev pkg-config umockdev \
    time util-linux python3 >&2

cmake --preset linux >/dev/null
cmake --build --preset linux --target tamsu-launcher benchmarks >&2
windows_build=()
[ -f build/windows/bin/TamsuLauncher.exe ] && windows_build=(build/windows)
/usr/bin/python3 tests/bench/report.py build/linux "${windows_build[@]}"
