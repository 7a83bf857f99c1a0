#!/usr/bin/env bash
# Builds the benchmarks and prints the table of figures (kept out of the test run).
#
#   bash scripts/bench.sh [--quick]
#
# --quick: a few rounds of one interface count; scripts/test.sh runs it so that a broken
# benchmark target or report fails the suite (its figures are not checked, and mean little).
# Run as root: the whole-run figures bind a simulated sysfs over /sys in a private mount
# namespace. The Windows figures appear when the Windows build is configured
# (scripts/test-windows.sh does that).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

quick=()
case "${1:-}" in
"") ;;
--quick) quick=(--quick) ;;
*)
    echo "usage: bash scripts/bench.sh [--quick]" >&2
    exit 2
    ;;
esac

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" libbenchmark-dev libhidapi-dev pkg-config umockdev strace \
    time util-linux python3 >&2

cmake --preset linux >/dev/null
cmake --build --preset linux --target tamsu-launcher benchmarks >&2
windows_build=()
if [ -f build/windows/build.ninja ]; then
    cmake --build build/windows --target TamsuLauncher trivial_run stand_in_pair planted_library >&2
    windows_build=(build/windows)
fi
/usr/bin/python3 -B tests/bench/report.py "${quick[@]}" build/linux "${windows_build[@]}"
