#!/usr/bin/env bash
# The mutation check: plants faults one at a time in a copy of the sources under
# build/mutation/PLATFORM/src and runs the platform's tests against each. Two sets: the
# hand-written faults of tests/mutation/faults.py, and a seeded sample of mechanical mutants
# (tests/mutation/operators.py) of the files each platform builds.
#
#   bash scripts/mutate.sh                      both sets (linux, then windows)
#   bash scripts/mutate.sh --platform linux     one platform's
#   bash scripts/mutate.sh --set mechanical     one set (or hand-written)
#   bash scripts/mutate.sh --seed N             another mechanical sample (--sample N: its size)
#   bash scripts/mutate.sh --only ID,ID         those faults or mutants
#   bash scripts/mutate.sh --quick              two faults and two mutants against the unit tests
#                                               (as test.sh runs it; with --only, those)
#   bash scripts/mutate.sh --list               the faults and the sample
#
# Installs what the chosen platforms' tests need; reports each set's score per platform and the
# mechanical survivors, and ends with `mutants: K/N killed`.
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
