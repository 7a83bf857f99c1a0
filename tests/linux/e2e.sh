#!/usr/bin/env bash
# End-to-end tests of the real launcher in a kit folder, on devices simulated with umockdev.
#
#   e2e.sh GROUP LAUNCHER ARTIFACTS
#
# GROUP is elevation (an unprivileged user without pkexec, and with a pkexec stand-in that
# grants, refuses or meets a renamed kit) or faults (an unreadable interface list, 1,000
# interfaces at once, a parent leaving broken pipes, closed descriptors or hostile signal state,
# tools that cannot start or crash, no way to show a notice). The other groups are cases of
# test_e2e.py.
# Needs root; exits 77 (skipped) otherwise.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/run.sh
source "$HERE/../../scripts/run.sh" # lay_out_kit, simulation_devices
STAND_IN_LOG=$("${KIT_DESCRIPTION[@]}" stand-in-log)
SOC_TOOL=$("${KIT_DESCRIPTION[@]}" tool SOC) # relative to the kit
GROUP=$1
LAUNCHER=$2
ARTIFACTS=$3

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the launcher must run as root here, or it would ask pkexec for rights"
    exit 77
fi

WORK=$(mktemp -d -t tamsu-e2e.XXXXXX)
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT

FAILURES=0
CASE=""
fail() {
    echo "FAIL [$CASE]: $*"
    FAILURES=$((FAILURES + 1))
}
expect_eq() { # actual expected what
    [ "$1" == "$2" ] || fail "$3: expected <$2>, got <$1>"
}

NOTICE_NONE_EN=$("${KIT_DESCRIPTION[@]}" notice none en)
NOTICE_NONE_ZH=$("${KIT_DESCRIPTION[@]}" notice none zh)

new_kit() { # DIRECTORY: a fresh kit there
    lay_out_kit "$1" "$LAUNCHER"
    chmod -R a+rX "$1"
}

# run_launcher KIT SIMULATION [VAR=value...]: runs the kit's launcher headless under
# umockdev-run on the machine that scripts/run.sh --simulate SIMULATION shows, or with no HID
# device at all for "empty"; sets OUT (a directory with stdout, stderr, rc) and ELAPSED_MS.
run_launcher() {
    local kit=$1 simulation=$2 file
    shift 2
    local command=(umockdev-run)
    while read -r file; do command+=(-d "$file"); done < <(simulation_devices "$simulation")
    # umockdev-run takes its arguments as text in the locale's encoding; a kit path that is not
    # UTF-8 reaches the launcher through the environment instead.
    run_recorded TAMSU_LAUNCHER="$kit/tamsu-launcher" "$@" \
        "${command[@]}" -- /bin/sh -c 'exec "$TAMSU_LAUNCHER"'
}

# run_recorded [VAR=value...] COMMAND...: runs COMMAND with only those variables (and a plain
# PATH) into a fresh OUT directory (stdout, stderr, rc), timing it in ELAPSED_MS.
run_recorded() {
    OUT=$(mktemp -d "$WORK/out.XXXXXX")
    local start
    start=$(date +%s%N)
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin ASAN_OPTIONS=verify_asan_link_order=0 "$@" \
        >"$OUT/stdout" 2>"$OUT/stderr" && echo 0 >"$OUT/rc" || echo $? >"$OUT/rc"
    ELAPSED_MS=$((($(date +%s%N) - start) / 1000000))
}

# The hardware parts of the traced paths (and a keyboard collection's \kbd), one per line; a
# line of another shape shows whole.
traced_hardware() {
    grep '^find: ' "$OUT/stderr" | cut -c7- | "${KIT_DESCRIPTION[@]}" hardware
}

# Lines of standard error that are not trace lines.
other_lines() {
    grep -v -e '^find: ' -e '^Pair: ' -e $'^nFlag: [0-9]*\r$' "$OUT/stderr" || true
}

# started_tools KIT [SECONDS]: the stand-ins' log, as soon as a line is there. A tool on a busy
# machine may take long to start, so the wait only bounds a hang; a shorter one shows that
# nothing started (the launcher has exited by then, so a tool it started is already running).
started_tools() {
    local log="$1/$STAND_IN_LOG" deadline=$((SECONDS + ${2:-60}))
    while [ ! -s "$log" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
    cat "$log" 2>/dev/null || true
}

# expect_started KIT FAMILY: exactly that family's tool started once, with no arguments, in a
# session of its own, as root.
expect_started() {
    local line pid session
    line=$(started_tools "$1")
    [[ "$line" =~ ^$2\ args=0\ session=([0-9]+)\ pid=([0-9]+)\ uid=0$ ]] ||
        { fail "expected the $2 tool to start once without arguments, got <$line>"; return; }
    session=${BASH_REMATCH[1]}
    pid=${BASH_REMATCH[2]}
    expect_eq "$session" "$pid" "the tool's session"
}

expect_nothing_started() {
    expect_eq "$(started_tools "$1" 2)" "" "started tools"
}

lines() { printf '%s\n' "$@"; }

# elevation_devices FAMILY: umockdev-run's -d arguments for that simulated machine, from copies in
# WORK; the checkout may lie in a folder that the unprivileged user cannot enter.
elevation_devices() {
    local file copy
    mkdir -p "$WORK/devices"
    while read -r file; do
        copy="$WORK/devices/$(basename "$file")"
        cp "$file" "$copy"
        chmod a+r "$copy"
        printf -- '-d\n%s\n' "$copy"
    done < <(simulation_devices "$1")
}

# run_unprivileged BIN [VAR=value...] COMMAND...: COMMAND as nobody with only those variables, in
# a private mount namespace where BIN's programs lie over /usr/bin ("none": pkexec hidden) and
# WORK/suid holds a set-user-id setpriv (WORK's own file system may be mounted nosuid). Sets OUT
# (stdout, stderr, rc).
run_unprivileged() {
    local bin=$1 variables=()
    shift
    while [[ $1 == *=* ]]; do
        variables+=("$1")
        shift
    done
    OUT=$(mktemp -d "$WORK/out.XXXXXX")
    chmod 777 "$OUT"
    mkdir -p "$WORK/suid"
    env -i PATH=/usr/bin:/bin HOME=/ ASAN_OPTIONS=verify_asan_link_order=0 "${variables[@]}" \
        unshare --mount --propagation private -- sh -c '
        if [ "$1" = none ]; then
            [ ! -e /usr/bin/pkexec ] || mount --bind /dev/null /usr/bin/pkexec || exit 90
        else
            mount -t tmpfs -o mode=755 tmpfs "$2" && cp /usr/bin/setpriv "$2" &&
                chmod 4755 "$2/setpriv" || exit 90
            mount -t overlay overlay -o "lowerdir=$1:/usr/bin" /usr/bin || exit 90
        fi
        shift 2
        exec setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"' sh "$bin" "$WORK/suid" "$@" \
        >"$OUT/stdout" 2>"$OUT/stderr" && echo 0 >"$OUT/rc" || echo $? >"$OUT/rc"
}

# A pkexec stand-in in BIN: it refuses the environments the real one refuses before asking
# anyone, takes its answer from ANSWER (grant, cancel or refuse), and once granted becomes root
# for real through a set-user-id setpriv, runs the hook WHILE_ASKING if there is one, and starts
# the program on the simulated SOC machine.
write_pkexec() { # BIN ANSWER WHILE_ASKING
    local devices
    mkdir -p "$1"
    mapfile -t devices < <(elevation_devices soc)
    cat >"$1/pkexec" <<PKEXEC
#!/bin/sh
if [ "\$(id -ru)" != 0 ]; then
    if [ -n "\${SHELL+set}" ] && ! grep -qxF -- "\$SHELL" /etc/shells; then exit 127; fi
    for name in LANG LANGUAGE TERM COLORTERM \$(export -p | sed -n 's/^export \(LC_[A-Z_]*\)=.*/\1/p'); do
        eval "value=\\\${\$name-}"
        case \$value in */* | *%* | *..*) exit 127 ;; esac
    done
    case $2 in cancel) exit 126 ;; refuse) exit 127 ;; esac
    exec "$WORK/suid/setpriv" --reuid=0 --regid=0 --clear-groups -- "\$0" "\$@"
fi
$3
ASAN_OPTIONS=verify_asan_link_order=0 exec umockdev-run ${devices[*]} -- "\$@"
PKEXEC
    chmod 755 "$1/pkexec"
}

group_elevation() {
    local kit="$WORK/kit"
    new_kit "$kit"
    # Writable for any user, so that a tool wrongly started without rights would still say so.
    : >"$kit/$STAND_IN_LOG"
    chmod 666 "$kit/$STAND_IN_LOG"
    CASE="unprivileged user, no pkexec"
    # A user without rights runs the launcher on a machine where a SOC receiver would otherwise
    # start its tool.
    local devices
    mapfile -t devices < <(elevation_devices soc)
    run_unprivileged none LANG=en_US.UTF-8 DISPLAY=:99 TAMSU_LAUNCHER="$kit/tamsu-launcher" \
        umockdev-run "${devices[@]}" -- /bin/sh -c 'exec "$TAMSU_LAUNCHER"'
    [ "$(cat "$OUT/rc")" != 0 ] || fail "exit code 0 without administrator rights"
    expect_eq "$(wc -l <"$OUT/stderr")" 1 "lines on standard error"
    grep -q '^tamsu-launcher: administrator rights are required .*/usr/bin/pkexec cannot be run' \
        "$OUT/stderr" || fail "no clear line: <$(cat "$OUT/stderr")>"
    expect_nothing_started "$kit"
    cat "$OUT/stderr"

    local bin="$WORK/bin" name
    write_pkexec "$bin" grant ""
    for name in SHELL=/usr/sbin/nologin LANG=../C.UTF-8; do
        CASE="pkexec stand-in given $name"
        run_unprivileged "$bin" "$name" /usr/bin/pkexec /bin/true
        expect_eq "$(cat "$OUT/rc")" 127 "its exit code"
    done

    # nobody's login shell and a locale named by its path, both of which pkexec refuses.
    CASE="caller's environment unfit for pkexec"
    rm -f "$kit/$STAND_IN_LOG"
    run_unprivileged "$bin" SHELL=/usr/sbin/nologin LANG=/usr/lib/locale/C.utf8 "$kit/tamsu-launcher"
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    expect_eq "$(other_lines)" "" "anything besides the trace"
    expect_started "$kit" SOC

    # Renamed while the user is asked, with another program put in its place: root runs the
    # launcher that asked, from where it now lies.
    CASE="kit renamed while asking"
    rm -f "$kit/$STAND_IN_LOG"
    write_pkexec "$bin" grant "mv '$kit' '$kit-moved' && mkdir '$kit' &&
        printf '#!/bin/sh\\necho impostor >>$WORK/impostor.log\\n' >'$kit/tamsu-launcher' &&
        chmod 755 '$kit/tamsu-launcher'"
    run_unprivileged "$bin" LANG=en_US.UTF-8 "$kit/tamsu-launcher"
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    expect_eq "$(cat "$WORK/impostor.log" 2>/dev/null)" "" "the impostor's log"
    expect_started "$kit-moved" SOC
    rm -rf "$kit"
    mv "$kit-moved" "$kit"
    rm -f "$kit/$STAND_IN_LOG"

    # Refused, by a caller that ignores SIGCHLD (the kernel would reap pkexec unwaited for).
    CASE="refused, SIGCHLD ignored"
    write_pkexec "$bin" refuse ""
    run_unprivileged "$bin" LANG=en_US.UTF-8 env --ignore-signal=CHLD "$kit/tamsu-launcher"
    expect_eq "$(cat "$OUT/rc")" 127 "exit code"
    expect_eq "$(grep -c 'administrator rights are required.* not authorised\.$' "$OUT/stderr")" 1 \
        "refusal line"

    # Granted, but env cannot start the launcher: pkexec's 127 is no longer the reason given.
    CASE="granted, env fails"
    write_pkexec "$bin" grant ""
    printf '#!/bin/sh\necho "env: simulated failure" >&2\nexit 127\n' >"$bin/env"
    chmod 755 "$bin/env"
    run_unprivileged "$bin" LANG=en_US.UTF-8 "$kit/tamsu-launcher"
    rm "$bin/env"
    expect_eq "$(cat "$OUT/rc")" 127 "exit code"
    expect_eq "$(grep '^tamsu-launcher: ' "$OUT/stderr" | sed 's/.*, but //')" \
        "once they were given the launcher could not be started as root (/usr/bin/env exit 127)." \
        "reason"
    expect_nothing_started "$kit"
}

# run_isolated KIT SYSFS [VAR=value...]: runs the kit's launcher with SYSFS bound over /sys and,
# where zenity is installed, /dev/null bound over it (HIDE_ZENITY=1) or another program
# (ZENITY=path), in a private mount namespace; nothing intercepts its file calls. The program
# WRAPPER, when given, starts the launcher. Sets OUT and ELAPSED_MS as run_launcher does.
run_isolated() {
    local kit=$1 sysfs=$2
    shift 2
    run_recorded HIDE_ZENITY="${HIDE_ZENITY:-0}" ZENITY="${ZENITY:-}" WRAPPER="${WRAPPER:-}" "$@" \
        unshare --mount --propagation private -- sh -c '
            mount --bind "$1" /sys || exit 90
            if [ "$HIDE_ZENITY" = 1 ] && [ -e /usr/bin/zenity ]; then
                mount --bind /dev/null /usr/bin/zenity || exit 91
            fi
            if [ -n "$ZENITY" ]; then mount --bind "$ZENITY" /usr/bin/zenity || exit 91; fi
            exec $WRAPPER "$2"' sh "$sysfs" "$kit/tamsu-launcher"
}

# write_wrappers: programs in WORK that start the launcher (their arguments) as a hostile parent
# would: with standard output and error on a pipe whose reader has gone, with standard
# descriptors 0-2 closed, or with every signal ignored and blocked.
write_wrappers() {
    printf '%s\n' '#!/bin/sh' 'fifo=$(mktemp -u "$0.XXXXXX") && mkfifo "$fifo" || exit 92' \
        'exec 3<>"$fifo" 4>"$fifo"' 'rm "$fifo"' 'exec "$@" 3<&- >&4 2>&4 4>&-' >"$WORK/broken-pipes"
    printf '%s\n' '#!/bin/sh' 'exec "$@" <&- >&- 2>&-' >"$WORK/closed-descriptors"
    printf '%s\n' '#!/bin/sh' 'exec env --ignore-signal --block-signal "$@"' >"$WORK/hostile-signals"
    chmod 755 "$WORK/broken-pipes" "$WORK/closed-descriptors" "$WORK/hostile-signals"
}

# write_probe PROGRAM DIR: a program that leaves in DIR links to its open descriptors 0-2 and
# its /proc status, and exits 0. bash's exec keeps the signal state it was given (dash clears
# the mask), and cp opens nothing before it has read the links.
write_probe() {
    printf '#!/bin/bash\nexec cp -P /proc/self/fd/0 /proc/self/fd/1 /proc/self/fd/2 /proc/self/status %s/\n' \
        "$2" >"$1"
    chmod 755 "$1"
}

# probe_report DIR: what a probe left: its descriptors 0-2 ("-" when closed) on one line, its
# blocked and ignored signals on the next; "not started" when it left nothing within 60 s.
probe_report() {
    local deadline=$((SECONDS + 60))
    # The status file's last line marks it whole.
    until grep -qs '^nonvoluntary_ctxt_switches:' "$1/status"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "not started"; return; }
        sleep 0.1
    done
    echo "$(readlink "$1/0" || echo -) $(readlink "$1/1" || echo -) $(readlink "$1/2" || echo -)"
    grep -E '^Sig(Blk|Ign):' "$1/status" | tr -d '\t' | tr '\n' ' '
}

group_faults() {
    local kit="$WORK/kit" sysfs="$WORK/sysfs"
    new_kit "$kit"

    CASE="interface list unreadable on both passes"
    # A file where the list's directory should be: opendir fails with ENOTDIR (0x14) even for
    # root, who reads any directory whatever its mode.
    mkdir -p "$sysfs/class"
    : >"$sysfs/class/hidraw"
    run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8
    expect_eq "$(cat "$OUT/stdout")" "$(lines 'opendir /sys/class/hidraw failed: 14' \
        'opendir /sys/class/hidraw failed: 14')" "failure lines"
    expect_eq "$(grep -c '^find: ' "$OUT/stderr")" 0 "trace lines"
    expect_eq "$(grep '^Pair: ' "$OUT/stderr")" "$("${KIT_DESCRIPTION[@]}" summary 0 0 0 0 0 0)" \
        "summary line"
    expect_eq "$(grep -c $'^nFlag: 0\r$' "$OUT/stderr")" 1 "nFlag line"
    expect_eq "$(other_lines)" "$NOTICE_NONE_EN" "notice"
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    [ "$ELAPSED_MS" -ge 3500 ] || fail "both failures within $ELAPSED_MS ms: no 3000 ms wait"
    expect_nothing_started "$kit"

    CASE="1000 interfaces at once"
    rm -rf "$sysfs"
    /usr/bin/python3 "$HERE/../bench/make_testbed.py" 1000 --tree "$sysfs"
    run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8
    expect_eq "$(traced_hardware | sort | uniq -c | sed 's/^ *//')" \
        "$(lines '500 hid#vid_7c2f&pid_2003&mi_00\kbd' '500 hid#vid_7c2f&pid_2003&mi_01')" \
        "traced paths"
    expect_eq "$(traced_hardware | wc -l)" 1000 "trace lines"
    expect_eq "$(grep '^find: ' "$OUT/stderr" | sort | uniq -d | head -n 3)" "" \
        "paths traced more than once (a second pass)"
    expect_eq "$(grep '^Pair: ' "$OUT/stderr")" "$("${KIT_DESCRIPTION[@]}" summary 0 0 0 0 1000 0)" \
        "summary line"
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    expect_started "$kit" SOC

    # A hostile parent: the launcher still starts the tool (a probe here), exits 0, and hands the
    # tool open standard descriptors and default signal actions with nothing blocked.
    rm -rf "$sysfs"
    /usr/bin/python3 "$HERE/../bench/make_testbed.py" 2 --tree "$sysfs"
    write_wrappers
    local probe="$WORK/probe" wrapper report clean='SigBlk:0000000000000000 SigIgn:0000000000000000 '
    write_probe "$kit/$SOC_TOOL" "$probe"
    for wrapper in broken-pipes closed-descriptors hostile-signals; do
        CASE="SOC tool started by a launcher given $wrapper"
        rm -rf "$probe"
        mkdir "$probe"
        WRAPPER="$WORK/$wrapper" run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8
        expect_eq "$(cat "$OUT/rc")" 0 "exit code"
        report=$(probe_report "$probe")
        expect_eq "$(sed -n 2p <<<"$report")" "$clean" "the tool's signal state"
        [ "$wrapper" != closed-descriptors ] ||
            expect_eq "$(head -n 1 <<<"$report")" "/dev/null /dev/null /dev/null" "the tool's descriptors"
    done
    # With the list unreadable, the failure line goes to the broken standard output; the run
    # goes on to its second pass and its notice.
    CASE="interface list unreadable, output on a broken pipe"
    rm -rf "$sysfs"
    mkdir -p "$sysfs/class"
    : >"$sysfs/class/hidraw"
    HIDE_ZENITY=1 WRAPPER="$WORK/broken-pipes" run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    [ "$ELAPSED_MS" -ge 3500 ] || fail "ended after $ELAPSED_MS ms, before the second pass"
    # zenity (the probe) shown to a parent ignoring SIGCHLD: waited for, the notice not repeated.
    CASE="notice shown by a launcher given hostile-signals"
    rm -rf "$sysfs" "$probe"
    mkdir -p "$sysfs/class/hidraw" "$probe"
    ZENITY="$kit/$SOC_TOOL" WRAPPER="$WORK/hostile-signals" \
        run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8 DISPLAY=:97
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    expect_eq "$(other_lines)" "" "notice line besides the box"
    expect_eq "$(probe_report "$probe" | sed -n 2p)" "$clean" "zenity's signal state"

    # Tools that cannot start, or die at once: the launcher shows nothing and exits 0.
    local tool="$kit/$SOC_TOOL" how
    for how in "not executable" "crashing at once"; do
        CASE="SOC tool $how"
        rm -f "$tool" "$kit/$STAND_IN_LOG"
        new_kit "$kit"
        if [ "$how" = "not executable" ]; then
            chmod a-x "$tool"
        else
            printf '#!/bin/sh\necho SOC crashed >>"$(dirname "$0")/../%s"\nkill -SEGV $$\n' \
                "$STAND_IN_LOG" >"$tool"
        fi
        run_launcher "$kit" soc LANG=en_US.UTF-8
        expect_eq "$(cat "$OUT/rc")" 0 "exit code"
        expect_eq "$(other_lines)" "" "anything besides the trace"
        if [ "$how" = "not executable" ]; then
            expect_nothing_started "$kit"
        else
            expect_eq "$(started_tools "$kit")" "SOC crashed" "the tool's own start"
        fi
    done

    # A display that cannot be opened, with zenity there and with zenity missing: the notice
    # still reaches the user, as one line on standard error.
    rm -f "$tool" "$kit/$STAND_IN_LOG"
    new_kit "$kit"
    rm -rf "$sysfs"
    mkdir -p "$sysfs/class/hidraw"
    for HIDE_ZENITY in 0 1; do
        CASE="no usable display, zenity hidden=$HIDE_ZENITY"
        HIDE_ZENITY=$HIDE_ZENITY run_isolated "$kit" "$sysfs" LANG=zh_CN.UTF-8 DISPLAY=:97
        expect_eq "$(grep -e '^Tips: ' -e '^提示: ' "$OUT/stderr")" "$NOTICE_NONE_ZH" "notice line"
        expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    done
    expect_nothing_started "$kit"
}

case "$GROUP" in
faults) group_faults ;;
elevation) group_elevation ;;
*)
    echo "unknown group $GROUP" >&2
    exit 2
    ;;
esac

if [ "$FAILURES" -ne 0 ]; then
    echo "$GROUP: $FAILURES failed checks"
    exit 1
fi
echo "$GROUP: all checks passed"
