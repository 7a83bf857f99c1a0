#!/usr/bin/env bash
# Runs the native end-to-end groups several times in a row as a newcomer's busy, fresh machine
# would: from a clone in a folder only root may enter, beside two busy loops per core, with
# the font caches removed before each run (zenity's first start builds them).
#
#   bash tests/linux/stress.sh [RUNS]      (as root; RUNS defaults to 5)
#
# Stops at the first failing run and prints how many passed in a row.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
runs=${1:-5}
ensure_packages "${NATIVE_BUILD_PACKAGES[@]}" "${NATIVE_TEST_PACKAGES[@]}"

place=$(mktemp -d -t tamsu-stress.XXXXXX) # mode 700
busy=()
cleanup() {
    [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null || true
    rm -rf "$place"
}
trap cleanup EXIT

git clone -q "$TAMSU_ROOT" "$place/clone"
cd "$place/clone"
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null

for _ in $(seq $((2 * $(nproc)))); do
    (while :; do :; done) &
    busy+=($!)
done

passed=0
for run in $(seq "$runs"); do
    rm -rf /var/cache/fontconfig "${HOME:-/root}/.cache/fontconfig"
    start=$SECONDS
    if ctest --preset linux -R linux_e2e --output-on-failure >"$place/run-$run.log" 2>&1; then
        passed=$((passed + 1))
        echo "run $run: passed in $((SECONDS - start)) s"
    else
        echo "run $run: FAILED after $((SECONDS - start)) s"
        grep -E 'Failed|\*\*\*|^E  ' "$place/run-$run.log" || tail -n 30 "$place/run-$run.log"
        break
    fi
done
echo "$passed of $runs loaded, cold runs passed in a row (mode $(stat -c %a "$place") folder, ${#busy[@]} busy loops on $(nproc) cores)"
[ "$passed" -eq "$runs" ]
