#!/bin/sh
# shellcheck shell=dash
# /init of the kernel stage's guest (busybox). Loads the USB gadget, HID, virtio and 9p modules,
# mounts the host's root read-only as a chroot where the host's own udev and Wine run (and any
# other root a Wine scenario names, for its Wine), then runs each scenario of /scenarios against
# receivers made as configfs gadgets, one boot for all.
# Every line for the host starts with "@@ ":
#   ready | fatal WHAT | done                       the guest as a whole
#   begin NAME ... end NAME                         one scenario, holding:
#   out LINE | err LINE | started LINE              the launcher's standard output and error,
#                                                   the stand-ins' log (exact bytes, one line each)
#   rc N | elapsed_ms N | event WHAT | dmesg LINE   its exit code, its time, what was done meanwhile
#   udev NODE LINE | access NODE rw|none            a rule scenario's `udevadm info` of each hidraw
#                                                   node, and whether the seat's user opens it
#   probe LINE | trace LINE | winebus LINE          a Wine scenario's probe output, the Windows
#   report GADGET hid.N HEX                         launcher's trace, the bus driver's debug
#                                                   lines, and what reached each HID function
# A scenario line is NAME;LANG;BOUND;LATE;GONE;KIND;COUNT;ROOT: gadgets bound before the launcher
# starts, one bound a second after it started, one unbound as it starts; KIND is "launcher",
# "rule" (the host's udevd runs while the gadgets are plugged, and no launcher) or "wine" (with
# udevd, the Linux launcher starting the Windows probe under Wine, then the Windows launcher
# under Wine; COUNT: the HID interfaces Wine should list; ROOT: the root whose Wine runs them,
# "host" or the tag of another root the host shares).
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
# No udev loads a module (where it runs, the host's modules are for another kernel): every
# driver is in before the first gadget is bound.
while read -r module parameters; do
    # shellcheck disable=SC2086 # the parameters are words
    insmod "/modules/$module.ko" $parameters || fatal "insmod $module"
done </modules/order
mount -t configfs configfs /sys/kernel/config || fatal "cannot mount configfs"

HOST=/host
# The seat's user: an account of each chroot's own, its home on a writable share of the host's.
read -r USER_ID USER_NAME </user
USER_HOME=/home/$USER_NAME
# in_root ROOT COMMAND...: runs a program of that chroot with nothing of /init's environment;
# udev's tools refuse a chroot unless told.
in_root() {
    local root=$1
    shift
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_IGNORE_CHROOT=1 "$@"
}
in_host() { in_root "$HOST" "$@"; }
# as_user ROOT COMMAND...: the same as the seat's user, in their home.
as_user() {
    local root=$1
    shift
    in_root "$root" setpriv --reuid="$USER_ID" --regid="$USER_ID" --clear-groups \
        env HOME="$USER_HOME" USER="$USER_NAME" LOGNAME="$USER_NAME" "$@"
}
root_of() { # TAG: where the guest mounts that root
    if [ "$1" = host ]; then echo "$HOST"; else echo "/$1"; fi
}

# mount_root TAG: the root the host shares as root-TAG, read-only, as a chroot with the kernel's
# file systems and its own /tmp, and the seat's user with their home (the share home-TAG). Every
# chroot has the host's /run: udev's database, the seat's state, the kits. Nothing but the guest
# writes a home while it runs, and the guest syncs before it ends: its cache may be loose.
mount_root() {
    local root
    root=$(root_of "$1")
    mkdir -p "$root" &&
        mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 "root-$1" "$root" &&
        mount -t proc proc "$root/proc" && mount -t sysfs sysfs "$root/sys" &&
        mount -t devtmpfs devtmpfs "$root/dev" && mkdir -p "$root/dev/pts" "$root/dev/shm" &&
        mount -t devpts devpts "$root/dev/pts" && mount -t tmpfs tmpfs "$root/dev/shm" &&
        mount -t tmpfs tmpfs "$root/tmp" || return 1
    if [ "$1" = host ]; then
        mount -t tmpfs tmpfs "$root/run" && mkdir -p "$root/run/tamsu" || return 1
    else
        mount --bind "$HOST/run" "$root/run" || return 1
    fi
    { cat "$root/etc/passwd" && echo "$USER_NAME:x:$USER_ID:$USER_ID::$USER_HOME:/bin/sh"; } \
        >"$HOST/run/tamsu/$1.passwd" &&
        { cat "$root/etc/group" && echo "$USER_NAME:x:$USER_ID:"; } >"$HOST/run/tamsu/$1.group" &&
        mount --bind "$HOST/run/tamsu/$1.passwd" "$root/etc/passwd" &&
        mount --bind "$HOST/run/tamsu/$1.group" "$root/etc/group" &&
        mount -t tmpfs tmpfs "$root/home" && mkdir "$root$USER_HOME" &&
        mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,msize=512000 "home-$1" \
            "$root$USER_HOME"
}

# The host's root: the kit's rule where an administrator installs it, in place of the host's
# local rules; the seat's state as logind would write it for its active user, which udev's
# uaccess reads; in /run the Wine scenarios' kit (the Linux launcher, the probe as each family's
# tool), the Windows launcher and the script that runs them (tests/kernel/guest_wine.sh).
mount_root host || fatal "cannot mount the host's root as the chroot"
mount -t tmpfs tmpfs "$HOST/etc/udev/rules.d" && cp /rules/* "$HOST/etc/udev/rules.d/" &&
    mkdir -p "$HOST/run/systemd/seats" &&
    printf 'ACTIVE=c1\nACTIVE_UID=%s\n' "$USER_ID" >"$HOST/run/systemd/seats/seat0" &&
    cp -r /wine-kit /windows /guest_wine.sh "$HOST/run/tamsu/" ||
    fatal "cannot prepare the host's root"
for tag in $(cut -d';' -f8 /scenarios | sort -u); do
    [ "$tag" = host ] || mount_root "$tag" || fatal "cannot mount the root $tag as a chroot"
done

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

# run_launcher LANG LATE GONE: the kit's launcher, with the gadgets already bound; GONE is
# unbound as it starts, LATE bound a second later. Leaves `expected` at the nodes then listed.
run_launcher() {
    local start launcher rc end elapsed deadline
    rm -f "$KIT/stand-in-started.log" /tmp/ended
    start=$(now)
    # Its exit code and end time are taken as it ends, whatever is being done meanwhile; it gets
    # nothing open but its standard descriptors.
    (
        timeout -s KILL 60 env -i PATH=/bin LANG="$1" "$KIT/tamsu-launcher" \
            >/tmp/out 2>/tmp/err 3<&-
        echo "$? $(now)" >/tmp/ended
    ) &
    launcher=$!
    if [ -n "$3" ]; then
        unplug "$3"
        expected=$((expected - $(interfaces "$3")))
        wait_nodes "$expected" && say "event $3 gone after $((($(now) - start) * 10)) ms"
    fi
    if [ -n "$2" ]; then
        sleep 1
        plug "$2" || fatal "cannot plug $2"
        expected=$((expected + $(interfaces "$2")))
        wait_nodes "$expected" && say "event $2 listed after $((($(now) - start) * 10)) ms"
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
}

# report_nodes: once udevd has handled every event, each hidraw node's `udevadm info` and
# whether the seat's user can open it for reading and writing.
report_nodes() {
    local node name
    in_host udevadm settle --timeout=120 || say "event udevadm settle timed out"
    for node in /sys/class/hidraw/*; do
        name=${node##*/}
        in_host udevadm info "/dev/$name" | sed "s/^/@@ udev $name /"
        # shellcheck disable=SC2016 # the inner shell expands it
        if as_user "$HOST" sh -c ': <>"$1"' sh "/dev/$name" 2>/dev/null; then
            say "access $name rw"
        else
            say "access $name none"
        fi
    done
}

# run_wine NAME COUNT ROOT: as the seat's user, with the Wine of that root, the Linux launcher of
# a kit whose tool is the Windows probe, which it starts under Wine, then the Windows launcher
# under Wine (tests/kernel/guest_wine.sh;
# COUNT: the HID interfaces the probe waits for), while the gadget side reads one report from
# each HID function: "@@ report GADGET hid.N HEX" for each that got one.
run_wine() {
    local gadget function minor readers="" file
    in_host udevadm settle --timeout=120 || say "event udevadm settle timed out"
    for gadget in $bound; do
        for function in "$GADGETS/$gadget"/functions/hid.*; do
            minor=$(cut -d: -f2 "$function/dev")
            dd if="/dev/hidg$minor" of="/tmp/$gadget.${function##*/}" bs=64 count=1 2>/dev/null &
            readers="$readers $!"
        done
    done
    as_user "$(root_of "$3")" /bin/sh /run/tamsu/guest_wine.sh /run/tamsu/wine-kit \
        /run/tamsu/windows "$2" "$1"
    # shellcheck disable=SC2086 # the ids are words
    kill $readers 2>/dev/null
    for file in /tmp/*.hid.*; do
        [ ! -s "$file" ] || say "report ${file#/tmp/} $(od -An -tx1 -v "$file" | tr -d ' \n')"
    done
    rm -f /tmp/*.hid.*
}

say ready

while IFS=';' read -r name lang bound late gone kind count root <&3; do
    say "begin $name"
    # The host's udevd sees the gadgets' events from their first one.
    if [ "$kind" != launcher ]; then
        in_host /lib/systemd/systemd-udevd --daemon && in_host udevadm control --ping ||
            fatal "the host's systemd-udevd does not start"
    fi
    expected=0
    for gadget in $bound; do
        plug "$gadget" || fatal "cannot plug $gadget"
        expected=$((expected + $(interfaces "$gadget")))
    done
    wait_nodes "$expected"
    case $kind in
    launcher) run_launcher "$lang" "$late" "$gone" ;;
    rule) report_nodes ;;
    wine) run_wine "$name" "$count" "$root" ;;
    esac
    for gadget in $bound $late; do
        [ "$gadget" = "$gone" ] || unplug "$gadget"
    done
    wait_nodes 0
    [ "$kind" = launcher ] || in_host udevadm control --exit
    say "end $name"
done 3</scenarios
sync
say "done"
reboot -f
