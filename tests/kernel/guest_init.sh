#!/bin/sh
# shellcheck shell=dash
# /init of the kernel stage's guest (busybox). Loads the USB gadget and HID modules, then runs
# each scenario of /scenarios against receivers made as configfs gadgets, one boot for all.
# Every line for the host starts with "@@ ":
#   ready | fatal WHAT | done                       the guest as a whole
#   begin NAME ... end NAME                         one scenario, holding:
#   out LINE | err LINE | started LINE              the launcher's standard output and error,
#                                                   the stand-ins' log (exact bytes, one line each)
#   rc N | elapsed_ms N | event WHAT | dmesg LINE   its exit code, its time, what was done meanwhile
# A scenario line is NAME;LANG;BOUND;LATE;GONE: gadgets bound before the launcher starts, one
# bound a second after it started, one unbound as it starts.
export PATH=/bin
echo # the firmware leaves its last line open
GADGETS=/sys/kernel/config/usb_gadget
KIT=/kit

say() { echo "@@ $*"; }
fatal() {
    say "fatal $*"
    reboot -f
}

# Hundredths of a second since boot; busybox date has no sub-second format.
now() {
    local up rest
    read -r up rest </proc/uptime
    echo $((${up%.*} * 100 + 1${up#*.} - 100))
}

mount -t proc proc /proc && mount -t sysfs sysfs /sys && mount -t devtmpfs devtmpfs /dev ||
    fatal "cannot mount proc, sysfs and devtmpfs"
# Kernel messages on the console would split the host's lines; dmesg keeps them.
echo 1 >/proc/sys/kernel/printk
# There is no udev: every driver is in before the first gadget is bound.
while read -r module parameters; do
    # shellcheck disable=SC2086 # the parameters are words
    insmod "/modules/$module.ko" $parameters || fatal "insmod $module"
done </modules/order
mount -t configfs configfs /sys/kernel/config || fatal "cannot mount configfs"

interfaces() { # GADGET: how many HID interfaces it has
    ls -d "/gadgets/$1"/hid.* | wc -l
}

# plug GADGET: makes the gadget /gadgets/GADGET describes in configfs and binds it to the first
# UDC that no gadget holds. Its interfaces are numbered in the order the functions are linked.
# usb_f_hid has four HID functions for all gadgets together, so each lives only while plugged.
plug() {
    local g="$GADGETS/$1" function name attribute udc
    mkdir "$g" "$g/strings/0x409" "$g/configs/c.1" || return 1
    cat "/gadgets/$1/idVendor" >"$g/idVendor" && cat "/gadgets/$1/idProduct" >"$g/idProduct" &&
        cat "/gadgets/$1/product" >"$g/strings/0x409/product" || return 1
    for function in "/gadgets/$1"/hid.*; do
        name=${function##*/}
        mkdir "$g/functions/$name" || return 1
        for attribute in subclass protocol report_length report_desc; do
            cat "$function/$attribute" >"$g/functions/$name/$attribute" || return 1
        done
        ln -s "$g/functions/$name" "$g/configs/c.1/" || return 1
    done
    for udc in /sys/class/udc/*; do
        cat "$GADGETS"/*/UDC | grep -qx "${udc##*/}" && continue
        echo "${udc##*/}" >"$g/UDC" && return 0
    done
    return 1
}

unplug() { # GADGET: unbound, and gone from configfs
    local g="$GADGETS/$1" function
    echo "" >"$g/UDC"
    for function in "$g"/functions/*; do
        rm "$g/configs/c.1/${function##*/}" && rmdir "$function"
    done
    rmdir "$g/configs/c.1" "$g/strings/0x409" "$g"
}

nodes() {
    ls /sys/class/hidraw 2>/dev/null | wc -l
}

# wait_nodes COUNT: until the kernel lists that many hidraw nodes; 30 s only bound a hang.
wait_nodes() {
    local deadline=$(($(now) + 3000))
    while [ "$(nodes)" -ne "$1" ]; do
        if [ "$(now)" -ge "$deadline" ]; then
            say "event $(nodes) hidraw nodes after 30 s, expected $1"
            dmesg | tail -n 20 | sed 's/^/@@ dmesg /'
            return 1
        fi
        usleep 20000
    done
}

say ready

while IFS=';' read -r name lang bound late gone <&3; do
    say "begin $name"
    expected=0
    for gadget in $bound; do
        plug "$gadget" || fatal "cannot plug $gadget"
        expected=$((expected + $(interfaces "$gadget")))
    done
    wait_nodes "$expected"
    rm -f "$KIT/stand-in-started.log" /tmp/ended
    start=$(now)
    # Its exit code and end time are taken as it ends, whatever is being done meanwhile; it gets
    # nothing open but its standard descriptors.
    (
        timeout -s KILL 60 env -i PATH=/bin LANG="$lang" "$KIT/tamsu-launcher" \
            >/tmp/out 2>/tmp/err 3<&-
        echo "$? $(now)" >/tmp/ended
    ) &
    launcher=$!
    if [ -n "$gone" ]; then
        unplug "$gone"
        expected=$((expected - $(interfaces "$gone")))
        wait_nodes "$expected" && say "event $gone gone after $((($(now) - start) * 10)) ms"
    fi
    if [ -n "$late" ]; then
        sleep 1
        plug "$late" || fatal "cannot plug $late"
        expected=$((expected + $(interfaces "$late")))
        wait_nodes "$expected" && say "event $late listed after $((($(now) - start) * 10)) ms"
    fi
    wait "$launcher"
    read -r rc end </tmp/ended
    elapsed=$(((end - start) * 10))
    # The tool runs on after the launcher exits; its stand-in has written its line once it ended.
    deadline=$(($(now) + 3000))
    while pidof "$(cat /tool-name)" >/dev/null && [ "$(now)" -lt "$deadline" ]; do usleep 20000; done
    sed 's/^/@@ out /' /tmp/out
    sed 's/^/@@ err /' /tmp/err
    [ ! -f "$KIT/stand-in-started.log" ] || sed 's/^/@@ started /' "$KIT/stand-in-started.log"
    say "rc $rc"
    say "elapsed_ms $elapsed"
    for gadget in $bound $late; do
        [ "$gadget" = "$gone" ] || unplug "$gadget"
    done
    wait_nodes 0
    say "end $name"
done 3</scenarios
say "done"
reboot -f
