#!/usr/bin/env bash
# Builds the launcher and runs every test. Installs what it needs on a Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" "${NATIVE_TEST_PACKAGES[@]}" clang libclang-rt-14-dev
# The native tests show notices in Chinese and English; zenity needs the locales to exist.
ensure_locales zh_CN en_US

echo "== native build and tests"
cmake --preset linux
cmake --build --preset linux
ctest --preset linux

echo "== the native tests again under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

echo "== fuzzing, about a minute"
bash scripts/fuzz.sh
bash scripts/test-windows.sh
