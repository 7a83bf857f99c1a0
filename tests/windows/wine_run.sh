#!/usr/bin/env bash
# Runs one cross-built program under Wine:  wine_run.sh PREFIX PROGRAM [ARGS...]
# or only makes the prefix:                 wine_run.sh PREFIX --boot
# The prefix is private to the build tree. Wine's own virtual HID devices are left out, and a
# warm wineserver keeps the many short runs of the unit tests fast.
set -euo pipefail

export WINEPREFIX=$1
shift
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winebus.sys=d"
unset DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
if [ "$1" = --boot ]; then
    exit 0
fi
# The server stays up a while after the last program ends; the last test shuts it down. The
# unit tests run between the Wine groups, so the wait outlasts any test: a program that reached
# a server just as it ended would fail at once. When it is new, Wine's background services start
# from a first program whose output leads nowhere: they would otherwise hold the caller's output
# open for as long as they live.
if wineserver -p300 </dev/null >/dev/null 2>&1; then
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1
fi

# Wine's console writes CRLF; the test discovery reads plain lines.
wine "$@" | sed 's/\r$//'
