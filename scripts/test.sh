#!/usr/bin/env bash
# Builds the launcher and runs every test. Installs what it needs on a Debian machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}"

cmake --preset linux
cmake --build --preset linux
ctest --preset linux
