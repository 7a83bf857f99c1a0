#!/usr/bin/env bash
# Builds the launcher and runs every test. Installs what it needs on a Debian machine.
# Every stage runs even when an earlier one failed; the script ends with one line per stage
# (tests run, failures, time) and fails when any stage did.
#
#   bash scripts/test.sh                 every stage
#   bash scripts/test.sh --stage NAME    that stage alone: native, sanitizers, fuzzing, windows,
#                                        kernel or scripts
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

STAGES=(native sanitizers fuzzing windows kernel scripts)
ONLY=""
if [ $# -gt 0 ]; then
    if [ $# -ne 2 ] || [ "$1" != --stage ] || [[ " ${STAGES[*]} " != *" $2 "* ]]; then
        echo "usage: bash scripts/test.sh [--stage $(IFS='|' && echo "${STAGES[*]}")]" >&2
        exit 2
    fi
    ONLY=$2
fi

# The Windows and kernel stages install what they need themselves.
if [ "$ONLY" != windows ] && [ "$ONLY" != kernel ]; then
    ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" "${NATIVE_TEST_PACKAGES[@]}" clang \
        libclang-rt-14-dev
    # The native tests show notices in Chinese and English; zenity needs the locales to exist.
    ensure_locales zh_CN en_US
fi

LOGS=build/test-logs
mkdir -p "$LOGS"

# The Debian roots of the kernel stage (Debian 13's Wine) and of the scripts stage (the kit's
# launcher on Debian 11, 12, 13) are made once per user, in minutes, mostly downloads: those
# missing are made beside the first stages, and a stage that needs one waits for it
# (tests/debian_roots.py). Needs root and debootstrap.
ROOTS=()
if [ -z "$ONLY" ] || [ "$ONLY" = kernel ]; then ROOTS+=(wine); fi
if [ -z "$ONLY" ] || [ "$ONLY" = scripts ]; then ROOTS+=(kit); fi
if [ ${#ROOTS[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ] && ensure_packages debootstrap >/dev/null; then
    /usr/bin/python3 -B tests/debian_roots.py "${ROOTS[@]}" >"$LOGS/roots.log" 2>&1 </dev/null &
fi
SUMMARY=()
FAILED_STAGES=0

# pytest_count WORDS: the sum of the numbers before those words (a regular expression) in
# pytest's last line, read from standard input.
pytest_count() {
    awk -v words="^($1),?\$" '{ for (i = 1; i < NF; i++) if ($(i + 1) ~ words) n += $i }
        END { print n + 0 }'
}

# run_stage NAME COMMAND...: runs one stage (unless another was chosen alone), its output both
# shown and kept in LOGS/NAME.log, and records its summary line from what CTest, pytest or the
# fuzz script printed.
run_stage() {
    local name=$1 log="$LOGS/$1.log" status=0 start=$SECONDS
    shift
    [ -z "$ONLY" ] || [ "$ONLY" = "$name" ] || return 0
    echo "== $name"
    "$@" 2>&1 </dev/null | tee "$log" || status=$?
    local seconds=$((SECONDS - start)) total failed unit=tests result
    if [ "$name" = kernel ]; then unit=scenarios; fi
    if total=$(grep -oE 'tests? failed out of [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$'); then
        failed=$(grep -oE '[0-9]+ tests? failed out of' "$log" | tail -n 1 | grep -oE '^[0-9]+')
    elif result=$(grep -E '^=+ .*[0-9]+ (passed|failed|errors?).* in [0-9.]+s' "$log" |
        tail -n 1); then
        # pytest's last line: "== 1 failed, 7 passed in 30.1s ==" (errors count as failures)
        failed=$(pytest_count 'failed|errors?' <<<"$result")
        total=$((failed + $(pytest_count passed <<<"$result")))
    elif total=$(grep -c '^script: ' "$log"); then
        failed=$(grep -c '^script .* failed$' "$log" || true)
        unit=scripts
    elif total=$(grep -c '^fuzzing ' "$log"); then
        failed=$(grep -c '^fuzz target .* failed' "$log" || true)
        unit=targets
    else
        total=0 failed=0
    fi
    local line
    line=$(printf '%-11s %4s %-10s %3s failed, %5s s' "$name:" "$total" "$unit," "$failed" \
        "$seconds")
    # A stage that had to leave its tests under Wine out says so here too.
    if grep -q '^[a-z]* stage: .*left out' "$log"; then
        line+="  (tests under Wine left out: this kernel runs no 32-bit x86 program)"
    fi
    if [ "$status" -ne 0 ]; then
        # A stage that cannot run says why in one line ("kernel stage failed: ...").
        local reason
        reason=$(grep -oE '[a-z]+ stage failed: .*[^ !]' "$log" | tail -n 1) ||
            reason="the stage failed before its tests ended"
        [ "$failed" -gt 0 ] || line+="  ($reason; see $log)"
        line+="  FAILED"
        FAILED_STAGES=$((FAILED_STAGES + 1))
    fi
    SUMMARY+=("$line")
}

native() {
    cmake --preset linux && cmake --build --preset linux && ctest --preset linux
}
sanitizers() { # AddressSanitizer and UndefinedBehaviorSanitizer
    cmake --preset asan && cmake --build --preset asan && ctest --preset asan
}

# The scripts, once each, so that none of them rots unseen: a simulated run, the unsigned
# release kit (from the Windows build above), the benchmarks in their quick mode (figures not
# checked) and the mutation check on its two quick faults (which also finds a stale fault entry).
scripts() {
    local failed=0
    echo "script: run.sh --simulate soc"
    { bash scripts/run.sh --simulate soc | tee "$LOGS/run-simulate.log" &&
        grep -q '^\[stand-in\] ' "$LOGS/run-simulate.log"; } || { echo "script run.sh failed"; failed=1; }
    echo "script: kit.sh"
    bash scripts/kit.sh || { echo "script kit.sh failed"; failed=1; }
    # The kit's Linux launcher, from that ZIP, in Debian 11, 12 and 13 roots.
    echo "script: kit.sh's Linux launcher on Debian 11, 12 and 13"
    TAMSU_KIT_ZIP=$(echo build/windows/TamsuPairKit-*-win32.zip) /usr/bin/python3 -B -m pytest \
        -p no:cacheprovider -q tests/linux/check_kit_roots.py ||
        { echo "script kit roots failed"; failed=1; }
    echo "script: bench.sh --quick"
    bash scripts/bench.sh --quick || { echo "script bench.sh failed"; failed=1; }
    echo "script: mutate.sh --quick"
    bash scripts/mutate.sh --quick || { echo "script mutate.sh failed"; failed=1; }
    return "$failed"
}

run_stage native native
run_stage sanitizers sanitizers
# A few seconds per target keep the targets and their seeds working; longer runs are on demand.
run_stage fuzzing env FUZZ_SECONDS="${FUZZ_SECONDS:-5}" bash scripts/fuzz.sh
run_stage windows bash scripts/test-windows.sh
# The native launcher in a QEMU guest, against receivers made by the kernel's gadget stack.
run_stage kernel bash tests/kernel/run.sh
run_stage scripts scripts

wait # for the roots being made, had their stages not run
echo "== summary"
printf '%s\n' "${SUMMARY[@]}"
[ "$FAILED_STAGES" -eq 0 ]
