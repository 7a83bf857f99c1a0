#!/usr/bin/env bash
# Builds the launcher and runs every test. Installs what it needs on a Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" "${NATIVE_TEST_PACKAGES[@]}"
# The native tests show notices in Chinese and English; zenity needs the locales to exist.
for test_locale in zh_CN en_US; do
    locale -a | grep -x "$test_locale.utf8" >/dev/null || localedef -i "$test_locale" -f UTF-8 "$test_locale.UTF-8"
done

cmake --preset linux
cmake --build --preset linux
ctest --preset linux
