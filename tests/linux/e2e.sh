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
trap '[ -n "${TAMSU_KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT

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
# private mount and pid namespaces where BIN's programs lie over /usr/bin ("none": pkexec hidden)
# and WORK/suid holds a set-user-id setpriv (WORK's own file system may be mounted nosuid).
# Standard input comes from WORK/stdin when it exists. Sets OUT (stdout, stderr, rc) and
# ELAPSED_MS.
run_unprivileged() {
    local bin=$1 variables=() start
    shift
    while [[ $1 == *=* ]]; do
        variables+=("$1")
        shift
    done
    OUT=$(mktemp -d "$WORK/out.XXXXXX")
    chmod 777 "$OUT"
    mkdir -p "$WORK/suid"
    start=$(date +%s%N)
    env -i PATH=/usr/bin:/bin HOME=/ ASAN_OPTIONS=verify_asan_link_order=0 "${variables[@]}" \
        unshare --mount --propagation private --pid --fork --mount-proc -- sh -c '
        if [ "$1" = none ]; then
            [ ! -e /usr/bin/pkexec ] || mount --bind /dev/null /usr/bin/pkexec || exit 90
        else
            mount -t tmpfs -o mode=755 tmpfs "$2" && cp /usr/bin/setpriv "$2" &&
                chmod 4755 "$2/setpriv" || exit 90
            mount -t overlay overlay -o "lowerdir=$1:/usr/bin" /usr/bin || exit 90
        fi
        shift 2
        setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"
        status=$?
        # This is the namespace'"'"'s init: what outlived the command (a tool, a pkexec whose
        # launcher was killed) ends with it, so it waits for them first.
        deadline=$(($(date +%s) + 60))
        while set -- /proc/[0-9]* && [ $# -gt 1 ] && [ "$(date +%s)" -lt "$deadline" ]; do
            sleep 0.1
        done
        exit "$status"' sh "$bin" "$WORK/suid" "$@" \
        <"$( [ -e "$WORK/stdin" ] && echo "$WORK/stdin" || echo /dev/null)" \
        >"$OUT/stdout" 2>"$OUT/stderr" && echo 0 >"$OUT/rc" || echo $? >"$OUT/rc"
    ELAPSED_MS=$((($(date +%s%N) - start) / 1000000))
}

# A pkexec stand-in in BIN. Like the real one it refuses before asking anyone when it cannot
# gain rights (no_new_privs) or dislikes its environment, and runs its program with descriptors
# 0-2 alone and PKEXEC_UID set. It writes the command line the administrator would be shown to
# WORK/pkexec.log, takes its answer from ANSWER (grant, cancel or refuse), and once granted
# becomes root for real through a set-user-id setpriv and runs the hook WHILE_ASKING first.
write_pkexec() { # BIN ANSWER WHILE_ASKING
    mkdir -p "$1"
    : >>"$WORK/pkexec.log"
    : >>"$WORK/pkexec-fd7.log"
    chmod 666 "$WORK/pkexec.log" "$WORK/pkexec-fd7.log"
    cat >"$1/pkexec" <<PKEXEC
#!/bin/bash
if [ "\$(id -ru)" != 0 ]; then
    # Written past any file-size limit the caller set, which must still reach the program.
    limit=\$(ulimit -S -f)
    ulimit -S -f unlimited
    echo "\$*" >>"$WORK/pkexec.log"
    readlink /proc/\$\$/fd/7 >>"$WORK/pkexec-fd7.log"
    ulimit -S -f "\$limit"
    if grep -q '^NoNewPrivs:[[:space:]]*1' /proc/self/status; then
        echo "pkexec must be setuid root" >&2
        exit 127
    fi
    # (bash sets SHELL itself when its environment has none)
    shell=\$(printenv SHELL) && ! grep -qxF -- "\$shell" /etc/shells && exit 127
    for name in LANG LANGUAGE TERM COLORTERM \$(export -p | sed -n 's/^declare -x \(LC_[A-Z_]*\)=.*/\1/p'); do
        case \${!name-} in */* | *%* | *..*) exit 127 ;; esac
    done
    case $2 in cancel) exit 126 ;; refuse) exit 127 ;; esac
    PKEXEC_UID=\$(id -ru) exec "$WORK/suid/setpriv" --reuid=0 --regid=0 --clear-groups -- "\$0" "\$@"
fi
$3
for fd in /proc/\$\$/fd/*; do
    fd=\${fd##*/}
    [ "\$fd" -le 2 ] || eval "exec \$fd>&-"
done
exec "\$@"
PKEXEC
    chmod 755 "$1/pkexec"
}

# A zenity stand-in in BIN that records who showed the notice, with what, and its descriptor 7.
write_zenity_probe() { # BIN
    : >"$WORK/zenity.log"
    chmod 666 "$WORK/zenity.log"
    printf '#!/bin/sh\necho "uid=$(id -u) home=$HOME xauthority=${XAUTHORITY-unset} fd7=$(readlink /proc/self/fd/7 || echo -)" >>%s\n' \
        "$WORK/zenity.log" >"$1/zenity"
    chmod 755 "$1/zenity"
}

# x_authority FILE OWNER COOKIE: an X authority file granting COOKIE (hex) for display 7 on any
# address, owned by OWNER, mode 600.
x_authority() {
    /usr/bin/python3 -c 'import struct, sys
field = lambda b: struct.pack(">H", len(b)) + b
sys.stdout.buffer.write(struct.pack(">H", 0xFFFF) + field(b"") + field(b"7")
                        + field(b"MIT-MAGIC-COOKIE-1") + field(bytes.fromhex(sys.argv[1])))' "$3" >"$1"
    chown "$2" "$1"
    chmod 600 "$1"
}

group_elevation() {
    local kit="$WORK/kit" bin="$WORK/bin"
    new_kit "$kit"
    # Writable for any user, so that a tool wrongly started without rights would still say so.
    : >"$kit/$STAND_IN_LOG"
    chmod 666 "$kit/$STAND_IN_LOG"
    # Detection runs as the caller, on the simulated machine; root's step needs no devices.
    local devices soc none many
    mapfile -t soc < <(elevation_devices soc)
    soc=(umockdev-run "${soc[@]}" --)
    mapfile -t none < <(elevation_devices none)
    none=(umockdev-run "${none[@]}" --)
    mapfile -t many < <(elevation_devices many)
    many=(umockdev-run "${many[@]}" --)

    CASE="unprivileged user, no pkexec"
    run_unprivileged none LANG=en_US.UTF-8 DISPLAY=:99 "${soc[@]}" "$kit/tamsu-launcher"
    [ "$(cat "$OUT/rc")" != 0 ] || fail "exit code 0 without administrator rights"
    expect_eq "$(other_lines | grep -c '^tamsu-launcher: administrator rights are required .*/usr/bin/pkexec cannot be run')$(other_lines | wc -l)" \
        11 "the one line besides the trace"
    expect_nothing_started "$kit"

    write_pkexec "$bin" grant ""
    for name in SHELL=/usr/sbin/nologin LANG=../C.UTF-8; do
        CASE="pkexec stand-in given $name"
        run_unprivileged "$bin" "$name" /usr/bin/pkexec /bin/true
        expect_eq "$(cat "$OUT/rc")" 127 "its exit code"
    done

    # No receiver, or several families: the notice, shown by the caller (at home, with no
    # XAUTHORITY), and no request for rights.
    write_zenity_probe "$bin"
    : >"$WORK/pkexec.log"
    local simulation
    for simulation in none many; do
        CASE="$simulation found: notice without asking"
        local -n machine=$simulation
        run_unprivileged "$bin" LANG=en_US.UTF-8 DISPLAY=:99 HOME=/nonexistent "${machine[@]}" "$kit/tamsu-launcher"
        expect_eq "$(cat "$OUT/rc")" 0 "exit code"
        expect_eq "$(cat "$WORK/pkexec.log")" "" "requests for rights"
        expect_eq "$(tail -n 1 "$WORK/zenity.log")" "uid=65534 home=/nonexistent xauthority=unset fd7=-" \
            "who showed the notice"
        echo "$CASE: $ELAPSED_MS ms"
    done
    rm "$bin/zenity"

    # A root-only X authority file named by the caller, and a display the caller listens on:
    # whatever connects must not bring the cookie.
    CASE="X cookie of a root-only file"
    local secret=5ec12e75ec12e75ec12e75ec12e75ec1 heard="$WORK/heard"
    x_authority "$WORK/root-cookie" root "$secret"
    rm -f "$heard"
    /usr/bin/python3 -c 'import socket, sys
listener = socket.create_server(("127.0.0.1", 6007))
listener.settimeout(120)
connection, _ = listener.accept()
connection.settimeout(10)
data = b""
try:
    while len(data) < 4096:
        chunk = connection.recv(4096)
        if not chunk:
            break
        data += chunk
except OSError:
    pass
open(sys.argv[1], "w").write(data.hex())' "$heard" &
    local listener=$!
    sleep 0.5
    run_unprivileged "$bin" LANG=en_US.UTF-8 DISPLAY=127.0.0.1:7 XAUTHORITY="$WORK/root-cookie" \
        "${none[@]}" "$kit/tamsu-launcher"
    wait "$listener" || fail "nothing connected to the caller's display"
    [ -e "$heard" ] || fail "nothing connected to the caller's display"
    grep -q "$secret" "$heard" && fail "the root-only cookie reached the caller's listener"
    expect_eq "$(grep -e '^Tips: ' "$OUT/stderr")" "$NOTICE_NONE_EN" "notice line"

    # Granted: root starts the tool (a probe) by path, with umask 022, PID 1's limits, the
    # caller's own credentials on descriptor 3 and nothing else inherited, whatever the caller
    # had: an environment pkexec refuses, umask 077, no file size, an open descriptor 7.
    CASE="granted: the tool's start"
    local probe="$WORK/probe" cookie=0123456789abcdef0123456789abcdef
    rm -rf "$probe"
    mkdir -m 777 "$probe"
    write_probe "$kit/$SOC_TOOL" "$probe"
    x_authority "$WORK/caller-cookie" nobody "$cookie"
    : >"$WORK/pkexec.log"
    run_unprivileged "$bin" SHELL=/usr/sbin/nologin LANG=/usr/lib/locale/C.utf8 DISPLAY=:99 \
        XAUTHORITY="$WORK/caller-cookie" "${soc[@]}" prlimit --fsize=0: -- \
        sh -c 'umask 077; exec "$0" 7<"$0"' "$kit/tamsu-launcher"
    expect_eq "$(cat "$OUT/rc")" 0 "exit code"
    # Root's step shows nothing of its own, although it sees no receiver there.
    expect_eq "$(other_lines)" "" "anything besides the trace"
    expect_eq "$(cat "$WORK/pkexec-fd7.log" 2>/dev/null)" "" "pkexec's descriptor 7"
    expect_eq "$(cat "$WORK/pkexec.log")" "$kit/tamsu-launcher --start-tool $kit/$SOC_TOOL DISPLAY=:99" \
        "what the administrator is shown"
    echo "pkexec's command line: $(cat "$WORK/pkexec.log")"
    expect_eq "$(probe_report "$probe" | sed -n 3p)" "uid=0 umask=0022 fsize=unlimited fd3=credentials fd7=-" \
        "the tool's start"
    expect_eq "$(od -An -tx1 "$probe/credentials" | tr -d ' \n')" "$(od -An -tx1 "$WORK/caller-cookie" | tr -d ' \n')" \
        "the credentials the tool got"
    tr '\0' '\n' <"$probe/environ" | grep -qx 'XAUTHORITY=/dev/fd/3' || fail "no XAUTHORITY=/dev/fd/3"
    rm "$kit/$SOC_TOOL"
    new_kit "$kit"

    # The launcher killed while the administrator is asked, and its pid taken by a process of
    # nobody's: root runs nothing of that process's.
    CASE="launcher's pid taken while asking"
    : >"$WORK/impostor.log"
    chmod 666 "$WORK/impostor.log"
    echo "id -u >>$WORK/impostor.log" >"$WORK/stdin"
    rm -f "$kit/$STAND_IN_LOG"
    write_pkexec "$bin" grant "launcher=\$PPID; kill -KILL \$launcher
        while [ -e /proc/\$launcher ]; do sleep 0.05; done
        echo \$((launcher - 1)) >/proc/sys/kernel/ns_last_pid
        setpriv --reuid=65534 --regid=65534 --clear-groups -- bash -c 'sleep 3; :' &
        [ \$! = \$launcher ] || echo 'the pid was not taken' >&2
        for _ in \$(seq 100); do
            [ \"\$(stat -c %u /proc/\$launcher)\" = 65534 ] && [ \"\$(readlink /proc/\$launcher/exe)\" = /usr/bin/bash ] && break
            sleep 0.05
        done"
    run_unprivileged "$bin" LANG=en_US.UTF-8 "${soc[@]}" "$kit/tamsu-launcher"
    rm "$WORK/stdin"
    expect_eq "$(grep -c 'the pid was not taken' "$OUT/stderr")" 0 "pid reuse set up"
    expect_eq "$(cat "$WORK/impostor.log")" "" "what root ran of the impostor's"
    expect_started "$kit" SOC
    rm -f "$kit/$STAND_IN_LOG"

    # A folder above the kit that another user can change: nothing asked, one line naming it.
    CASE="kit in a folder others can write"
    local open_folder="$WORK/shared"
    mkdir -p "$open_folder"
    chmod 777 "$open_folder"
    new_kit "$open_folder/kit"
    write_pkexec "$bin" grant ""
    : >"$WORK/pkexec.log"
    run_unprivileged "$bin" LANG=en_US.UTF-8 "${soc[@]}" "$open_folder/kit/tamsu-launcher"
    expect_eq "$(other_lines)" "tamsu-launcher: administrator rights are required (the pairing tool must open the receiver as root), but they are not asked for: another user could change $open_folder." \
        "refusal line"
    expect_eq "$(cat "$WORK/pkexec.log")" "" "requests for rights"

    # Under no_new_privs nothing can be gained: nothing is asked, and the line says so.
    CASE="no_new_privs"
    run_unprivileged "$bin" LANG=en_US.UTF-8 "${soc[@]}" setpriv --no-new-privs -- "$kit/tamsu-launcher"
    expect_eq "$(cat "$WORK/pkexec.log")" "" "requests for rights"
    expect_eq "$(other_lines | sed 's/.*, but //')" \
        "they cannot be gained in this process (no_new_privs is set), so none were asked for." "reason"
    expect_eq "$(cat "$OUT/rc")" 1 "exit code"

    # Refused, by a caller that ignores SIGCHLD (the kernel would reap pkexec unwaited for).
    CASE="refused, SIGCHLD ignored"
    write_pkexec "$bin" refuse ""
    run_unprivileged "$bin" LANG=en_US.UTF-8 "${soc[@]}" env --ignore-signal=CHLD "$kit/tamsu-launcher"
    expect_eq "$(cat "$OUT/rc")" 127 "exit code"
    expect_eq "$(grep -c 'administrator rights are required.* not authorised\.$' "$OUT/stderr")" 1 \
        "refusal line"

    # Granted, but root cannot run the launcher: pkexec's 127 is no longer the reason given.
    CASE="granted, the launcher cannot be run as root"
    write_pkexec "$bin" grant "set -- /nonexistent/tamsu-launcher"
    run_unprivileged "$bin" LANG=en_US.UTF-8 "${soc[@]}" "$kit/tamsu-launcher"
    expect_eq "$(cat "$OUT/rc")" 127 "exit code"
    expect_eq "$(grep '^tamsu-launcher: ' "$OUT/stderr" | sed 's/.*, but //')" \
        "once they were given the launcher could not be started as root (pkexec exit 127)." \
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
# descriptors 0-2 closed, with every signal ignored and blocked, with descriptor 7 open, or with
# umask 077 and soft limits of 4 descriptors, a 32 KiB stack and no file size.
write_wrappers() {
    printf '%s\n' '#!/bin/sh' 'fifo=$(mktemp -u "$0.XXXXXX") && mkfifo "$fifo" || exit 92' \
        'exec 3<>"$fifo" 4>"$fifo"' 'rm "$fifo"' 'exec "$@" 3<&- >&4 2>&4 4>&-' >"$WORK/broken-pipes"
    printf '%s\n' '#!/bin/sh' 'exec "$@" <&- >&- 2>&-' >"$WORK/closed-descriptors"
    printf '%s\n' '#!/bin/sh' 'exec env --ignore-signal --block-signal "$@"' >"$WORK/hostile-signals"
    printf '%s\n' '#!/bin/sh' 'exec "$@" 7<"$0"' >"$WORK/open-descriptors"
    # (descriptors the harness left open closed first: with them the loader could not open libc)
    printf '%s\n' '#!/bin/bash' 'for fd in /proc/$$/fd/*; do' '    fd=${fd##*/}' \
        '    [ "$fd" -le 2 ] || eval "exec $fd>&-"' 'done' 'umask 077' \
        'exec prlimit --nofile=4: --stack=32768: --fsize=0: -- "$@"' >"$WORK/tight-limits"
    chmod 755 "$WORK/broken-pipes" "$WORK/closed-descriptors" "$WORK/hostile-signals" \
        "$WORK/open-descriptors" "$WORK/tight-limits"
}

# write_probe PROGRAM DIR: a program that leaves in DIR links to its open descriptors 0-2, its
# /proc status and environment, what it could read on descriptor 3, and a line "start" with its
# user, umask, soft file-size limit and descriptors 3 and 7, and exits
# 0. bash's exec keeps the signal state it was given (dash clears the mask), and cp opens nothing
# before it has read the links.
write_probe() {
    cat >"$1" <<PROBE
#!/bin/bash
cat /dev/fd/3 >$2/credentials 2>/dev/null
echo "uid=\$(id -u) umask=\$(umask) fsize=\$(ulimit -S -f) fd3=\$([ -s $2/credentials ] && echo credentials || echo -) fd7=\$(readlink /proc/self/fd/7 || echo -)" >$2/start
exec cp -P /proc/self/fd/0 /proc/self/fd/1 /proc/self/fd/2 /proc/self/environ /proc/self/status $2/
PROBE
    chmod 755 "$1"
}

# probe_report DIR: what a probe left: its descriptors 0-2 ("-" when closed) on one line, its
# blocked and ignored signals on the next, its start line on the third; "not started" when it
# left nothing within 60 s.
probe_report() {
    local deadline=$((SECONDS + 60))
    # The status file's last line marks it whole.
    until grep -qs '^nonvoluntary_ctxt_switches:' "$1/status"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "not started"; return; }
        sleep 0.1
    done
    echo "$(readlink "$1/0" || echo -) $(readlink "$1/1" || echo -) $(readlink "$1/2" || echo -)"
    grep -E '^Sig(Blk|Ign):' "$1/status" | tr -d '\t' | tr '\n' ' '
    echo
    cat "$1/start"
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
    for wrapper in broken-pipes closed-descriptors hostile-signals open-descriptors tight-limits; do
        CASE="SOC tool started by a launcher given $wrapper"
        rm -rf "$probe"
        mkdir "$probe"
        WRAPPER="$WORK/$wrapper" run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8
        expect_eq "$(cat "$OUT/rc")" 0 "exit code"
        report=$(probe_report "$probe")
        expect_eq "$(sed -n 2p <<<"$report")" "$clean" "the tool's signal state"
        # As root from the start: a fresh root's umask and limits, nothing inherited past 2.
        expect_eq "$(sed -n 3p <<<"$report")" "uid=0 umask=0022 fsize=unlimited fd3=- fd7=-" "the tool's start"
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
    rm -rf "$sysfs"
    mkdir -p "$sysfs/class/hidraw"
    for wrapper in hostile-signals open-descriptors; do
        CASE="notice shown by a launcher given $wrapper"
        rm -rf "$probe"
        mkdir -p "$probe"
        ZENITY="$kit/$SOC_TOOL" WRAPPER="$WORK/$wrapper" \
            run_isolated "$kit" "$sysfs" LANG=en_US.UTF-8 DISPLAY=:97
        expect_eq "$(cat "$OUT/rc")" 0 "exit code"
        expect_eq "$(other_lines)" "" "notice line besides the box"
        report=$(probe_report "$probe")
        expect_eq "$(sed -n 2p <<<"$report")" "$clean" "zenity's signal state"
        expect_eq "$(sed -n 3p <<<"$report" | sed 's/.* fd7=/fd7=/')" "fd7=-" "zenity's descriptor 7"
    done

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
