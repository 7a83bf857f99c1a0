#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time from its committed seed corpus.
# Fails on any crash, leak or sanitizer report, after every target has had its run.
# FUZZ_SECONDS sets the time per target, FUZZ_BUILD the build folder (build/fuzz).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$TAMSU_ROOT"

ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
seconds=${FUZZ_SECONDS:-15}
build=${FUZZ_BUILD:-build/fuzz}

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target fuzz_all

failures=0
for seeds in tests/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    # New inputs go to a work corpus in the build tree; the committed seeds stay as they are.
    work=$build/corpus/$target
    mkdir -p "$work"
    echo "fuzzing $target for ${seconds}s"
    if ! "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix="$build/$target-" "$work" "$seeds" >"$build/$target.log" 2>&1; then
        tail -n 40 "$build/$target.log" >&2
        echo "fuzz target $target failed; the input is under $build/" >&2
        failures=$((failures + 1))
        continue
    fi
    grep -E '^#[0-9]+ +DONE' "$build/$target.log" || tail -n 1 "$build/$target.log"
done
[ "$failures" -eq 0 ]
