#!/bin/sh
# The Windows side of a Wine scenario of the kernel stage's guest, run by the host's shell in the
# guest's chroot as the seat's user: the Linux launcher of a kit whose tools are the HID probe,
# which it starts under the host's Wine in the kit's prefix, then the Windows launcher under Wine
# in the same prefix. The prefix is where the Linux launcher keeps it,
# ~/.local/share/tamsu-pair-kit/wine, made on the host bare (tests/kernel/guest.py): the launcher
# gives it the settings that let the bus driver read hidraw nodes.
#   guest_wine.sh KIT WINDOWS COUNT NAME    KIT: the kit (the Linux launcher, the probe as each
#                                           family's tool); WINDOWS: the folder of
#                                           TamsuLauncher.exe, which has no tools beside it;
#                                           COUNT: the HID interfaces the probe waits for; NAME:
#                                           the scenario, whose logs are kept under that name
# Lines for the host, on standard output:
#   @@ rc N            the Linux launcher's exit code
#   @@ err LINE        the Linux launcher's trace lines
#   @@ probe LINE      the probe's lines
#   @@ winebus LINE    the bus driver's debug lines about the devices it found and added
#   @@ trace LINE      the Windows launcher's OutputDebugString lines, as Wine writes them
#   @@ event WHAT      what went wrong, and how long each step took
set -u
started=$(date +%s%N)
took() { # STEP: how long since the start
    echo "@@ event wine: $1 after $((($(date +%s%N) - started) / 1000000)) ms"
}
kit=$1
windows=$2
count=$3
name=$4
prefix=$HOME/.local/share/tamsu-pair-kit/wine
unset DISPLAY WAYLAND_DISPLAY
# Kept in the shared home, where the host finds them after the boot.
logs=$HOME/kernel-stage/$name
rm -rf "$logs"
mkdir -p "$logs" || exit 1

# The launcher hands its environment on to Wine and the probe: the bus driver's debug lines,
# and the count the probe waits for, since the bus driver adds the devices it finds while the
# prefix's first programs start. Wine's services and the probe run on after the launcher has
# exited, holding its output open: files, not pipes. The probe's last line says it has ended
# (it waits up to two minutes for the devices); Wine's services end after it.
HID_PROBE_COUNT=$count WINEDEBUG=+hid "$kit/tamsu-launcher" </dev/null >"$logs/probe.out" \
    2>"$logs/launcher.err"
echo "@@ rc $?"
took "the Linux launcher exited"
tries=0
until grep -q '^done ' "$logs/probe.out" || [ $((tries += 1)) -gt 900 ]; do sleep 0.2; done
took "the probe ended"
WINEPREFIX=$prefix wineserver -w
tr -d '\r' <"$logs/probe.out" | sed 's/^/@@ probe /'
# The launcher's trace and its progress line (kit_description.PREPARING), apart from the lines
# of the Wine it started.
grep -a -E '^(find|Pair|nFlag|Tips): ' "$logs/launcher.err" | sed 's/^/@@ err /'
grep -a -E 'udev_add_device|[Aa]dding device|SDL|hidraw' "$logs/launcher.err" |
    sed 's/^/@@ winebus /'

# The Windows launcher sees the devices in the same prefix; with no tools beside it, it starts
# nothing.
WINEPREFIX=$prefix WINEDEBUG=-all,+debugstr,warn+seh wine "$windows/TamsuLauncher.exe" \
    </dev/null >/dev/null 2>"$logs/windows.err" || echo "@@ event wine: the Windows launcher failed"
WINEPREFIX=$prefix wineserver -w
took "the Windows launcher ended"
grep -a 'OutputDebugString' "$logs/windows.err" | sed 's/^/@@ trace /'
