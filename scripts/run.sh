#!/usr/bin/env bash
# Runs the launcher from a pairing kit laid out in build/linux/kit.
#
#   bash scripts/run.sh                    on this machine's real HID interfaces
#   bash scripts/run.sh --simulate FAMILY  on simulated ones (umockdev), where FAMILY is one of
#                                          sun, soc, entry, bk (that receiver plugged in),
#                                          many (a SOC and an Entry receiver) or none
#
# Installs what is missing, builds, and puts the launcher at the top of the kit with its udev rule
# and its four tool folders. A folder without a real TamsuPair.exe gets a stand-in that says which receiver
# family it would pair. The simulated machine also has a keyboard, another maker's receiver, a
# Bluetooth mouse and an I2C touchpad, none of which may count as a receiver.
#
# Nothing sources this file; the tests and the kernel stage lay out their kits through
# tests/kit_description.py, as lay_out_kit below does.

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The kit's facts (folders, tool name, simulated machines) live in tests/kit_description.py.
KIT_DESCRIPTION=(/usr/bin/python3 -B "$TAMSU_ROOT/tests/kit_description.py")

# lay_out_kit KIT LAUNCHER: the launcher at the top of KIT, and a stand-in in every tool folder
# that has no real tool. Earlier stand-ins are rewritten; real tools are left alone.
lay_out_kit() {
    "${KIT_DESCRIPTION[@]}" lay-out "$1" "$2"
}

# simulation_devices NAME: the umockdev description files of that simulated machine.
simulation_devices() {
    "${KIT_DESCRIPTION[@]}" devices "$1" 2>/dev/null
}

run_main() {
    set -euo pipefail
    local simulate=""
    case "${1:-}" in
    "") ;;
    --simulate)
        simulate=${2:-}
        if ! simulation_devices "$simulate" >/dev/null; then
            echo "usage: bash scripts/run.sh [--simulate sun|soc|entry|bk|many|none]" >&2
            return 2
        fi
        ;;
    *)
        echo "usage: bash scripts/run.sh [--simulate sun|soc|entry|bk|many|none]" >&2
        return 2
        ;;
    esac
    local packages=("${NATIVE_BUILD_PACKAGES[@]}" python3)
    [ -n "$simulate" ] && packages+=(umockdev)
    # Notices are zenity boxes when there is a display to show them on.
    [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && packages+=(zenity)
    ensure_packages "${packages[@]}"

    cd "$TAMSU_ROOT"
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target tamsu-launcher tamsu_device_rule

    local kit="$TAMSU_ROOT/build/linux/kit"
    lay_out_kit "$kit" "$TAMSU_ROOT/build/linux/bin/tamsu-launcher"
    # The udev rule that opens the receivers to the person at the seat, which the launcher's
    # notice names when they are not.
    cp "$TAMSU_ROOT/build/linux/kit-rule/70-tamsu-receivers.rules" "$kit/"
    # A stand-in appends one line per start to this file at the top of the kit.
    local log="$kit/$("${KIT_DESCRIPTION[@]}" stand-in-log)" before=0
    [ -f "$log" ] && before=$(wc -l <"$log")

    local command=("$kit/tamsu-launcher")
    if [ -n "$simulate" ]; then
        local file
        command=(umockdev-run)
        while read -r file; do command+=(-d "$file"); done < <(simulation_devices "$simulate")
        # umockdev-run reads its arguments as text in the locale's encoding; the kit path goes
        # through the environment, so any folder name works.
        command+=(-- /bin/sh -c 'exec "$TAMSU_LAUNCHER"')
        echo "== simulated machine: $simulate"
    else
        echo "== this machine's HID interfaces"
    fi
    echo "== kit: $kit"
    echo "== trace (standard error of the launcher):"
    local status=0
    TAMSU_LAUNCHER="$kit/tamsu-launcher" "${command[@]}" || status=$?

    # The tool runs on its own after the launcher exits; give a stand-in a moment to speak.
    local waited
    for waited in 1 2 3 4 5 6 7 8 9 10; do
        [ -f "$log" ] && [ "$(wc -l <"$log")" -gt "$before" ] && break
        sleep 0.2
    done
    echo "== launcher exit code: $status"
    return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    run_main "$@"
fi
