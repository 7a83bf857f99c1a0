#!/bin/sh
# The Windows side of a Wine scenario of the kernel stage's guest, run by the host's shell in the
# guest's chroot as the seat's user: the HID probe, then the Windows launcher, under the host's
# Wine in the kit's prefix. The prefix is where the Linux launcher keeps it,
# $XDG_DATA_HOME/tamsu-pair-kit/wine (XDG_DATA_HOME defaults to ~/.local/share), made on the host
# with what the bus driver needs to read hidraw nodes (tests/kernel/guest.py).
#   guest_wine.sh KIT COUNT    KIT: the folder of hid_probe.exe and TamsuLauncher.exe;
#                              COUNT: the HID interfaces the probe waits for
# Lines for the host, on standard output:
#   @@ probe LINE      the probe's lines
#   @@ winebus LINE    the bus driver's debug lines about the devices it found and added
#   @@ trace LINE      the launcher's OutputDebugString lines, as Wine writes them
#   @@ event WHAT      what went wrong, and how long each step took
set -u
started=$(date +%s%N)
took() { # STEP: how long since the start
    echo "@@ event wine: $1 after $((($(date +%s%N) - started) / 1000000)) ms"
}
kit=$1
count=$2
export WINEPREFIX="${XDG_DATA_HOME:-$HOME/.local/share}/tamsu-pair-kit/wine"
export WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# Kept in the shared home, where the host finds them after the boot.
logs=$HOME/kernel-stage
rm -rf "$logs"
mkdir -p "$logs" || exit 1

# The first program starts the prefix's services, the bus driver among them, whose debug lines
# go where that program's go; they run on after it, holding its output open: files, not pipes.
# A persistent server keeps them for the launcher: it would otherwise end them with the probe,
# and the launcher would start them again, at the same cost. The probe takes the count from
# the environment, as it would when a launcher starts it as the kit's tool.
wineserver -p
if ! HID_PROBE_COUNT=$count WINEDEBUG=+hid wine "$kit/hid_probe.exe" </dev/null >"$logs/probe.out" \
    2>"$logs/wine-debug.log"; then
    echo "@@ event wine: the probe failed"
fi
took "the probe ended"
tr -d '\r' <"$logs/probe.out" | sed 's/^/@@ probe /'
# The launcher sees the devices the probe waited for, in the same running prefix.
WINEDEBUG=-all,+debugstr,warn+seh wine "$kit/TamsuLauncher.exe" </dev/null >/dev/null \
    2>"$logs/launcher.err" || echo "@@ event wine: the launcher failed"
took "the launcher ended"
grep -a 'OutputDebugString' "$logs/launcher.err" | sed 's/^/@@ trace /'
wineserver -k
wineserver -w
took "Wine ended"
grep -a -E 'udev_add_device|[Aa]dding device|SDL|hidraw' "$logs/wine-debug.log" |
    sed 's/^/@@ winebus /'
