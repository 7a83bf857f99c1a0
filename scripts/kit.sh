#!/usr/bin/env bash
# Builds the Windows launcher and writes the kit ZIP: the layout `cmake --install` (and so
# cpack) makes, the pairing tools when given, plus SHA256SUMS of every file in it, and a
# checksum file beside the ZIP. One build gives the same ZIP bytes on every run.
#
#   kit.sh [--sign PKCS12 [--password-file FILE] [--timestamp URL]] [--tools DIR] [--from BUILD]
#          [--output DIR]
#   kit.sh --sign PKCS11_KEY_URI --pkcs11-module MODULE --certs CERTS [--password-file PIN] ...
#
# --sign: Authenticode-signs the launcher in the kit (SHA-256; description from the version
#   record), from a PKCS12 file or a key on a hardware token. The password or PIN comes from a
#   file, never from the command line. --timestamp adds an RFC 3161 timestamp from that URL.
# --tools: the pairing tools to carry, laid out as in the kit (DIR/Alder24/TamsuPair.exe, ...);
#   each tool folder's files go into the kit's folder of that name, and into SHA256SUMS, since
#   the tools run elevated too.
# --from: packs the launcher already built in BUILD instead of installing the build packages
#   and building build/windows; a test uses it to pack the build it is checking.
# --output: where the ZIP goes (default: the build folder).
# Every entry of the ZIP is dated at the commit's time, or at SOURCE_DATE_EPOCH when set.
# Only a complete, verified kit is written; a failed run leaves no kit ZIP behind, and no
# half-signed launcher.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

USAGE="usage: kit.sh [--sign PKCS12 [--password-file FILE] [--timestamp URL]] [--tools DIR] [--from BUILD] [--output DIR]"
fail() {
    echo "kit.sh: $*" >&2
    exit 1
}

sign= password_file= timestamp= tools= from= output= module= certs=
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || fail "$USAGE"
    case $1 in
        --sign) sign=$2 ;;
        --password-file) password_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --tools) tools=$2 ;;
        --from) from=$2 ;;
        --output) output=$2 ;;
        --pkcs11-module) module=$2 ;;
        --certs) certs=$2 ;;
        *) fail "$USAGE" ;;
    esac
    shift 2
done
if [ -z "$sign" ] && [ -n "$password_file$timestamp$module$certs" ]; then
    fail "--password-file, --timestamp, --pkcs11-module and --certs only go with --sign"
fi
token=
if [[ $sign == pkcs11:* ]]; then
    token=1
    [ -n "$module" ] && [ -n "$certs" ] || fail "a key on a token needs --pkcs11-module and --certs"
    [ -r "$certs" ] || fail "cannot read the certificate file $certs"
elif [ -n "$sign" ]; then
    [ -z "$module$certs" ] || fail "--pkcs11-module and --certs go with a pkcs11: key"
    [ -f "$sign" ] && [ -r "$sign" ] || fail "cannot read the PKCS12 file $sign"
fi
if [ -n "$password_file" ] && ! { [ -f "$password_file" ] && [ -r "$password_file" ]; }; then
    fail "cannot read the password file $password_file"
fi
if [ -n "$tools" ]; then
    [ -d "$tools" ] && [ -r "$tools" ] || fail "cannot read the tools folder $tools"
fi
# The ZIP's one date: a date of its own per run would make every run's bytes differ.
if [ -n "${SOURCE_DATE_EPOCH+set}" ]; then
    [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH"
    epoch=$SOURCE_DATE_EPOCH
else
    epoch=$(git -C "$TAMSU_ROOT" log -1 --format=%ct 2>/dev/null) && [ -n "$epoch" ] ||
        fail "no commit time from git in $TAMSU_ROOT: set SOURCE_DATE_EPOCH"
fi

if [ -n "$from" ]; then
    build=$(realpath -e -- "$from" 2>/dev/null) || fail "no build folder $from"
else
    build=$TAMSU_ROOT/build/windows
    # Only the launcher: the kit needs neither Wine nor the tests built.
    ensure_packages cmake ninja-build g++-mingw-w64-i686-posix googletest
    (cd "$TAMSU_ROOT" && cmake --preset windows && cmake --build --preset windows --target TamsuLauncher)
fi
ensure_packages python3 # writes the ZIP
[ -z "$sign" ] || ensure_packages osslsigncode openssl ca-certificates
# The kit's name as cpack spells it, e.g. TamsuPairKit-1.5.0-win32.
name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$build/CPackConfig.cmake" 2>/dev/null) || true
[ -n "$name" ] || fail "$build is not a configured Windows build"
output=${output:-$build}
# "--" wherever a path is passed: an output folder may be named "-kit".
mkdir -p -- "$output"
output=$(realpath -e -- "$output") # cmake --install takes no "--"
# An older kit of the same name must not outlive a failed run and pass for this run's.
rm -f -- "$output/$name.zip" "$output/$name.zip.sha256"

# Everything is made in a private folder beside the ZIP, so the last step is a rename.
work=$(mktemp -d -- "$output/.kit.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
trap 'exit 1' HUP INT TERM
kit=$work/$name
cmake --install "$build" --prefix "$kit" >"$work/install.log" || fail "cmake --install $build failed"
launcher=$kit/TamsuLauncher.exe
[ -f "$launcher" ] || fail "no TamsuLauncher.exe in $build: build it first"

# Each tool folder of --tools into the kit's folder of that name. Anything else there, or a
# folder without the tool the launcher starts, is an assembler's slip that would ship unseen.
if [ -n "$tools" ]; then
    tool=$(sed -n 's/^set(TAMSU_TOOL_FILE \(.*\))$/\1/p' "$TAMSU_ROOT/CMakeLists.txt")
    carried=0
    while IFS= read -r -d '' entry; do
        folder=${entry##*/}
        [ -d "$entry" ] && [ -d "$kit/$folder" ] || fail "$entry is not one of the kit's tool folders"
        [ -f "$entry/$tool" ] || fail "no $tool in $entry"
        cp -RL -- "$entry/." "$kit/$folder/" || fail "cannot copy $entry into the kit"
        carried=$((carried + 1))
    done < <(find "$tools" -mindepth 1 -maxdepth 1 -print0)
    [ "$carried" -gt 0 ] || fail "no tool folder in $tools"
fi

# Runs openssl pkcs12 on the signing file; files from older tools need the legacy algorithms.
# The password is the file's first line without its line end: `-passin file:` would keep the
# CR of a CRLF line end, which osslsigncode drops.
pkcs12() {
    local password=
    if [ -n "$password_file" ]; then
        IFS= read -r password <"$password_file" || true
        password=${password%$'\r'}
    fi
    openssl pkcs12 -in "$sign" -passin fd:3 "$@" 2>>"$work/pkcs12.log" 3<<<"$password" ||
        openssl pkcs12 -legacy -in "$sign" -passin fd:3 "$@" 2>>"$work/pkcs12.log" 3<<<"$password"
}

# Signs the staged copy of the launcher (never the build's own file) into a new file, checks
# the signature, and only then puts it in place of the copy.
sign_launcher() {
    local rc=$TAMSU_ROOT/res/TamsuLauncher.rc description url origin=$sign
    [ -z "$token" ] || origin=$certs
    description=$(sed -n 's/^ *VALUE "FileDescription", "\(.*\)"$/\1/p' "$rc")
    url=$(sed -n 's/^ *VALUE "URL", "\(.*\)"$/\1/p' "$rc")
    local args=(sign -h sha256 -n "$description")
    [ -z "$url" ] || args+=(-i "$url")
    [ -z "$password_file" ] || args+=(-readpass "$password_file")
    [ -z "$timestamp" ] || args+=(-ts "$timestamp")
    # The chain to trust in the check below, and the signing certificate: the token's
    # certificate file (its first one), or the PKCS12's own.
    if [ -n "$token" ]; then
        cp -- "$certs" "$work/chain.pem"
        openssl x509 -in "$certs" -out "$work/leaf.pem" 2>/dev/null || fail "no certificate in $certs"
        args+=(-pkcs11module "$module" -certs "$certs" -key "$sign")
    else
        if ! pkcs12 -nokeys -out "$work/chain.pem"; then
            grep -q -- 'invalid password' "$work/pkcs12.log" && fail "wrong password for $sign"
            fail "$sign is not a PKCS12 file this OpenSSL can read"
        fi
        pkcs12 -nokeys -clcerts -out "$work/leaf.pem" && [ -s "$work/leaf.pem" ] ||
            fail "no certificate for the key in $sign"
        args+=(-pkcs12 "$sign")
    fi
    local usage
    usage=$(openssl x509 -in "$work/leaf.pem" -noout -ext extendedKeyUsage 2>/dev/null) || true
    [[ $usage == *"Code Signing"* ]] ||
        fail "the certificate in $origin cannot sign code: it lacks the Code Signing extended key usage"
    openssl x509 -in "$work/leaf.pem" -noout -checkend 0 >/dev/null || fail "the certificate in $origin has expired"
    # Signed before its time, the launcher would not verify until then.
    local valid_from
    valid_from=$(openssl x509 -in "$work/leaf.pem" -noout -startdate) && valid_from=${valid_from#notBefore=}
    if [ "$(date -u -d "$valid_from" +%s)" -gt "$(date -u +%s)" ]; then
        fail "the certificate in $origin is not yet valid: it becomes valid on $(date -u -d "$valid_from" '+%Y-%m-%d %H:%M:%S UTC')"
    fi

    osslsigncode "${args[@]}" -in "$launcher" -out "$work/signed.exe" >"$work/sign.log" 2>&1 ||
        fail "osslsigncode could not sign the launcher${timestamp:+ with a timestamp from $timestamp}"
    # Trusted: the system's CAs and the certificates that came with the key.
    cat -- "$work/chain.pem" /etc/ssl/certs/ca-certificates.crt >"$work/trust.pem"
    osslsigncode verify -in "$work/signed.exe" -CAfile "$work/trust.pem" -TSA-CAfile "$work/trust.pem" \
        >"$work/verify.log" 2>&1 ||
        fail "the signed launcher does not verify against the system's CAs and those that came with $origin"
    mv -f -- "$work/signed.exe" "$launcher"
    signer=$(openssl x509 -in "$work/leaf.pem" -noout -subject -nameopt oneline)
    signer=${signer#subject=}
}

if [ -n "$sign" ]; then
    sign_launcher
fi

# A user checks the unpacked kit with `sha256sum -c SHA256SUMS` in its folder.
(cd -- "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | while IFS= read -r file; do
    sha256sum -- "$file"
done) >"$work/SHA256SUMS"
mv -- "$work/SHA256SUMS" "$kit/SHA256SUMS"
# Written entry by entry, so that one build always gives the same bytes: names in byte order,
# every entry at the one date, fixed modes, and no extra fields, which would carry each file's
# own times and owner.
/usr/bin/python3 - "$work" "$name" "$epoch" <<'PY' || fail "could not write the ZIP"
import os, sys, time, zipfile

work, top, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
# A ZIP date is a time of day without a zone, from 1980 to 2107: taken in UTC, so the bytes do
# not depend on the machine's zone.
date = time.gmtime(min(max(epoch, 315532800), 4354819198))[:6]
def unreadable(error):
    raise error


entries = []
for folder, _, files in os.walk(os.path.join(work, top), onerror=unreadable):
    folder = os.path.relpath(folder, work)
    entries += [folder + "/"] + [folder + "/" + f for f in files]
with zipfile.ZipFile(os.path.join(work, top + ".zip"), "w") as archive:
    for entry in sorted(entries):
        info = zipfile.ZipInfo(entry, date)
        info.create_system = 3  # Unix: the upper half of external_attr is the mode
        if entry.endswith("/"):
            info.external_attr = 0o40755 << 16 | 0x10  # and the MS-DOS directory bit
            archive.writestr(info, b"")
        else:
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(work, entry), "rb") as f:
                archive.writestr(info, f.read())
PY
(cd -- "$work" && sha256sum -- "$name.zip" >"$name.zip.sha256")
mv -f -- "$work/$name.zip" "$output/$name.zip"
mv -f -- "$work/$name.zip.sha256" "$output/$name.zip.sha256"

echo "kit: $output/$name.zip"
if [ -n "$sign" ]; then
    echo "launcher signed by $signer${timestamp:+, timestamped by $timestamp}"
else
    echo "kit.sh: the launcher in this kit is NOT signed (--sign PKCS12 signs it)" >&2
fi
