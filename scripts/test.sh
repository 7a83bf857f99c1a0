#!/usr/bin/env bash
# Builds the launcher and runs every test. Installs what it needs on a Debian machine.
# Every stage runs even when an earlier one failed; the script ends with one line per stage
# (tests run, failures, time) and fails when any stage did.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" "${NATIVE_TEST_PACKAGES[@]}" clang libclang-rt-14-dev
# The native tests show notices in Chinese and English; zenity needs the locales to exist.
ensure_locales zh_CN en_US

LOGS=build/test-logs
mkdir -p "$LOGS"
SUMMARY=()
FAILED_STAGES=0

# run_stage NAME COMMAND...: runs one stage, its output both shown and kept in LOGS/NAME.log,
# and records its summary line from what CTest or the fuzz script printed.
run_stage() {
    local name=$1 log="$LOGS/$1.log" status=0 start=$SECONDS
    shift
    echo "== $name"
    "$@" 2>&1 </dev/null | tee "$log" || status=$?
    local seconds=$((SECONDS - start)) total failed unit=tests
    if total=$(grep -oE 'tests? failed out of [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$'); then
        failed=$(grep -oE '[0-9]+ tests? failed out of' "$log" | tail -n 1 | grep -oE '^[0-9]+')
    elif total=$(grep -c '^fuzzing ' "$log"); then
        failed=$(grep -c '^fuzz target .* failed' "$log" || true)
        unit=targets
    else
        total=0 failed=0
    fi
    local line
    line=$(printf '%-11s %4s %-7s %3s failed, %5s s' "$name:" "$total" "$unit," "$failed" "$seconds")
    if [ "$status" -ne 0 ]; then
        [ "$failed" -gt 0 ] || line+="  (the stage failed before its tests ended; see $log)"
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

# The scripts a user runs, once each, so that none of them rots unseen: a simulated run, the
# unsigned release kit (from the Windows build above) and the benchmarks in their quick mode
# (figures not checked).
scripts() {
    bash scripts/run.sh --simulate soc | tee "$LOGS/run-simulate.log" &&
        grep -q '^\[stand-in\] ' "$LOGS/run-simulate.log" &&
        bash scripts/kit.sh && bash scripts/bench.sh --quick
}

run_stage native native
run_stage sanitizers sanitizers
run_stage fuzzing bash scripts/fuzz.sh
run_stage windows bash scripts/test-windows.sh
run_stage scripts scripts

echo "== summary"
printf '%s\n' "${SUMMARY[@]}"
[ "$FAILED_STAGES" -eq 0 ]
