#!/usr/bin/env bash
# The mutation check: plants each plausible fault of tests/mutation/faults.py, one at a time, in
# a copy of the sources under build/mutation/src, and runs the platform's tests against it.
#
#   bash scripts/mutate.sh                      every fault (linux, then windows)
#   bash scripts/mutate.sh --platform linux     one platform's faults
#   bash scripts/mutate.sh --only ID,ID         those faults
#   bash scripts/mutate.sh --quick              two faults against the unit tests (as test.sh runs it;
#                                               with --only, those faults against the unit tests)
#   bash scripts/mutate.sh --list               the faults
#
# Installs what the chosen platforms' tests need; ends with `mutants: K/N killed`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

platform=all
for argument in "$@"; do
    case $argument in --platform=*) platform=${argument#*=} ;; esac
done
for ((i = 1; i < $#; i++)); do
    [ "${!i}" = --platform ] && { j=$((i + 1)); platform=${!j}; }
done
if [ "$platform" != windows ]; then
    ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" "${NATIVE_TEST_PACKAGES[@]}" git
    ensure_locales zh_CN en_US
fi
if [ "$platform" != linux ] && [[ " $* " != *" --quick "* ]]; then
    ensure_windows_packages
fi
exec /usr/bin/python3 -B tests/mutation/mutate.py "$@"
