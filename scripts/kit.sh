#!/usr/bin/env bash
# Builds the Windows launcher and writes the kit ZIP: the layout `cmake --install` (and so
# cpack) makes, the pairing tools when given, plus SHA256SUMS of every file in it, and a
# checksum file beside the ZIP. One build gives the same ZIP bytes on every run, in any locale.
#
#   kit.sh [--sign PKCS12 [--password-file FILE] [--timestamp URL]] [--tools DIR] [--from BUILD]
#          [--linux-from BUILD] [--output DIR]
#   kit.sh --sign PKCS11_KEY_URI --pkcs11-module MODULE --certs CERTS [--password-file PIN] ...
#
# --sign: Authenticode-signs the launcher in the kit (SHA-256; description from the version
#   record), from a PKCS12 file or a key on a hardware token, and signs SHA256SUMS with the same
#   key and certificate (SHA256SUMS.p7s, a detached CMS signature, in the kit and beside the
#   ZIP), so that no file of the kit can be swapped unseen. The password or PIN comes from a
#   file, never from the command line. --timestamp adds an RFC 3161 timestamp from that URL.
# --tools: the pairing tools to carry, laid out as in the kit (DIR/Alder24/TamsuPair.exe, ...);
#   each tool folder's files go into the kit's folder of that name, and into SHA256SUMS, since
#   the tools run elevated too. DIR is a supplier's folder: only regular files and folders are
#   taken, under names Windows keeps as they are; a link, FIFO, socket or device, or a name
#   Windows would read as another, stops the run with one line naming it. Hidden files and
#   folders (.git, .DS_Store) are left out with a line, and so is a tool folder DIR lacks.
# --from: packs the launcher already built in BUILD instead of installing the build packages
#   and building build/windows; a test uses it to pack the build it is checking.
# --linux-from: the same for the kit's Linux launcher (the linux-kit preset's build,
#   build/linux-kit): a static program that runs on any x86-64 distribution with glibc 2.31 or
#   newer, or none. Beside it the kit carries its udev rule (as it prints it), its desktop entry
#   and the icon.
# --output: where the ZIP goes (default: the build folder).
# Every entry of the ZIP is dated at the commit's time, or at SOURCE_DATE_EPOCH when set.
# Only a complete, verified kit is written; a failed run leaves no kit ZIP behind, and no
# half-signed launcher. Files are copied, hashed and packed in pieces: memory stays small
# whatever their size.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

USAGE="usage: kit.sh [--sign PKCS12 [--password-file FILE] [--timestamp URL]] [--tools DIR] [--from BUILD] [--linux-from BUILD] [--output DIR]"
fail() {
    echo "kit.sh: $*" >&2
    exit 1
}

sign= password_file= timestamp= tools= from= linux_from= output= module= certs=
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || fail "$USAGE"
    case $1 in
        --sign) sign=$2 ;;
        --password-file) password_file=$2 ;;
        --timestamp) timestamp=$2 ;;
        --tools) tools=$2 ;;
        --from) from=$2 ;;
        --linux-from) linux_from=$2 ;;
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
if [ -n "$linux_from" ]; then
    linux_build=$(realpath -e -- "$linux_from" 2>/dev/null) || fail "no build folder $linux_from"
else
    linux_build=$TAMSU_ROOT/build/linux-kit
    ensure_packages cmake ninja-build g++
    (cd "$TAMSU_ROOT" && cmake --preset linux-kit >/dev/null &&
        cmake --build --preset linux-kit --target tamsu-launcher)
fi
[ -f "$linux_build/bin/tamsu-launcher" ] || fail "no tamsu-launcher in $linux_build: build it first"
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
rm -f -- "$output/$name.zip" "$output/$name.zip.sha256" "$output/SHA256SUMS.p7s"

# Everything is made in a private folder beside the ZIP, so the last step is a rename.
work=$(mktemp -d -- "$output/.kit.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
trap 'exit 1' HUP INT TERM
kit=$work/$name
cmake --install "$build" --prefix "$kit" >"$work/install.log" || fail "cmake --install $build failed"
launcher=$kit/TamsuLauncher.exe
[ -f "$launcher" ] || fail "no TamsuLauncher.exe in $build: build it first"
# The Linux half: the launcher, the udev rule that opens the receivers to the person at the seat
# (from the kit's own launcher, so the two cannot disagree), the desktop entry and its icon.
install -m 0755 -- "$linux_build/bin/tamsu-launcher" "$kit/tamsu-launcher"
"$kit/tamsu-launcher" --device-rule >"$kit/70-tamsu-receivers.rules" ||
    fail "the kit's Linux launcher does not run here"
install -m 0644 -- "$TAMSU_ROOT/res/tamsu-pair-kit.desktop" "$TAMSU_ROOT/res/tamsu-pair-kit.png" "$kit/"

# Copies a supplier's tools, writes SHA256SUMS and the ZIP, all from names as bytes: the caller's
# locale changes nothing (-X utf8), and nothing in the current folder can be imported (-I).
KIT_PY=$(
    cat <<'PY'
import hashlib, os, shutil, stat, sys, time, zipfile

PIECE = 1 << 20  # every file is read and written in pieces of this size, whatever its size
# What Windows refuses in a name, and the device names it keeps with or without an extension
# ("con.txt" is the console too).
REFUSED = '\\:*?"<>|'
DEVICES = {"CON", "PRN", "AUX", "NUL"} | {
    port + digit for port in ("COM", "LPT") for digit in "0123456789\u00b9\u00b2\u00b3"}
HIDDEN = "kit.sh: left out %s: hidden files and folders do not ship\n"
EXECUTABLE = {"tamsu-launcher"}
KINDS = {stat.S_IFLNK: "a symbolic link", stat.S_IFIFO: "a FIFO", stat.S_IFSOCK: "a socket",
         stat.S_IFCHR: "a character device", stat.S_IFBLK: "a block device"}


def fail(text):
    print("kit.sh: " + text, file=sys.stderr)
    sys.exit(1)


def shown(path):
    """PATH on one line: bytes that are not UTF-8, and control characters, escaped."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def refuse(path, why):
    fail("%s %s" % (shown(path), why))


def name_fault(name):
    """Why the ZIP or Windows would not keep NAME as it is, or None."""
    try:
        name.encode("utf-8")  # bytes that are not UTF-8 come in as lone surrogates
    except UnicodeEncodeError:
        return "is not valid UTF-8"
    if any(c in REFUSED or ord(c) < 32 or 127 <= ord(c) < 160 for c in name):
        return ('holds a character Windows refuses in a name (\\ : * ? " < > | or a control '
                'character)')
    if name.endswith((".", " ")):
        return "ends in a dot or a space, which Windows drops"
    if name.split(".")[0].rstrip(" ").upper() in DEVICES:
        return "is a device name on Windows"
    return None


def windows_key(entry):
    """ENTRY as Windows compares names: case ignored, character for character."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in entry)


def open_folder(name, fd, path):
    try:
        return os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
    except OSError as error:
        refuse(path, "cannot be read: " + error.strerror)


def copy_file(name, fd, path, target):
    """Copies the file NAME of the folder open as FD. Opened without following a link and
    without waiting, and checked once open: what took its place since it was looked at must
    neither be followed nor hang the run."""
    try:
        source = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=fd)
    except OSError as error:
        refuse(path, "cannot be read: " + error.strerror)
    try:
        if not stat.S_ISREG(os.fstat(source).st_mode):
            refuse(path, "changed while it was copied")
        with open(target, "xb") as copy:
            while piece := os.read(source, PIECE):
                copy.write(piece)
    finally:
        os.close(source)


def copy_folder(fd, path, target, entry, seen, notes):
    """Copies the folder open as FD (PATH in lines, ENTRY in the kit) into TARGET: regular files
    and folders, under names Windows keeps apart; SEEN maps each entry as Windows compares
    names to its path. Hidden ones are left out, with a line in NOTES."""
    for name in sorted(os.listdir(fd), key=os.fsencode):
        inner, inner_entry = path + "/" + name, entry + "/" + name
        fault = name_fault(name)
        if fault:
            refuse(inner, fault)
        if name.startswith("."):
            notes.append(HIDDEN % shown(inner))
            continue
        key = windows_key(inner_entry)
        if key in seen:
            refuse(inner, "is the same name on Windows as %s: case is ignored there"
                   % shown(seen[key]))
        seen[key] = inner
        mode = os.stat(name, dir_fd=fd, follow_symlinks=False).st_mode
        if stat.S_ISDIR(mode):
            os.mkdir(os.path.join(target, name))
            child = open_folder(name, fd, inner)
            try:
                copy_folder(child, inner, os.path.join(target, name), inner_entry, seen, notes)
            finally:
                os.close(child)
        elif stat.S_ISREG(mode):
            copy_file(name, fd, inner, os.path.join(target, name))
        else:
            refuse(inner, "is %s: --tools takes regular files and folders only"
                   % KINDS.get(stat.S_IFMT(mode), "no regular file"))


def gather(kit, tools, tool, notes_file):
    """Each tool folder of TOOLS into the kit's folder of that name. Anything else there, or a
    folder without the tool the launcher starts, is an assembler's slip that would ship unseen.
    What was left out is written to NOTES_FILE, for a kit that is made."""
    folders = sorted(n for n in os.listdir(kit) if os.path.isdir(os.path.join(kit, n)))
    top, seen, carried, notes = os.open(tools, os.O_RDONLY | os.O_DIRECTORY), {}, [], []
    try:
        for name in sorted(os.listdir(top), key=os.fsencode):
            path = tools + "/" + name
            if name.startswith("."):
                notes.append(HIDDEN % shown(path))
                continue
            mode = os.stat(name, dir_fd=top, follow_symlinks=False).st_mode
            if stat.S_ISLNK(mode):
                refuse(path, "is a symbolic link: --tools takes regular files and folders only")
            if name not in folders or not stat.S_ISDIR(mode):
                refuse(path, "is not one of the kit's tool folders")
            folder = open_folder(name, top, path)
            try:
                copy_folder(folder, path, os.path.join(kit, name), name, seen, notes)
            finally:
                os.close(folder)
            if not os.path.isfile(os.path.join(kit, name, tool)):
                fail("no %s in %s" % (tool, shown(path)))
            carried.append(name)
    finally:
        os.close(top)
    if not carried:
        fail("no tool folder in " + shown(tools))
    with open(notes_file, "a", encoding="utf-8") as f:
        f.writelines(notes)


def entries(root):
    """Every folder (ending in /) and file under ROOT, relative to it, in the byte order of
    their UTF-8 names: the order of SHA256SUMS and of the ZIP."""
    found = []
    for folder, folders, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        prefix = "" if relative == "." else relative + "/"
        found += [prefix + f + "/" for f in folders] + [prefix + f for f in files]
    return sorted(found)


def write_sums(kit):
    """SHA256SUMS: every file of the kit once, listed before SHA256SUMS itself exists. Every name
    passed name_fault, so none needs sha256sum's escapes."""
    files = [e for e in entries(kit) if not e.endswith("/")]
    with open(os.path.join(kit, "SHA256SUMS"), "x", encoding="utf-8", newline="\n") as sums:
        for entry in files:
            digest = hashlib.sha256()
            with open(os.path.join(kit, entry), "rb") as f:
                while piece := f.read(PIECE):
                    digest.update(piece)
            sums.write("%s  %s\n" % (digest.hexdigest(), entry))


def write_zip(work, top, epoch):
    """The ZIP, entry by entry, so that one build always gives the same bytes: names in byte
    order, every entry at the one date, fixed modes, and no extra fields, which would carry
    each file's own times and owner."""
    # A ZIP date is a time of day without a zone, from 1980 to 2107: taken in UTC, so the bytes
    # do not depend on the machine's zone.
    date = time.gmtime(min(max(int(epoch), 315532800), 4354819198))[:6]
    with zipfile.ZipFile(os.path.join(work, top + ".zip"), "x") as archive:
        for entry in [""] + entries(os.path.join(work, top)):
            info = zipfile.ZipInfo(top + "/" + entry, date)
            info.create_system = 3  # Unix: the upper half of external_attr is the mode
            if entry == "" or entry.endswith("/"):
                info.external_attr = 0o40755 << 16 | 0x10  # and the MS-DOS directory bit
                archive.writestr(info, b"")
                continue
            path = os.path.join(work, top, entry)
            # The Linux launcher is the one program a Linux user starts from the kit.
            info.external_attr = (0o100755 if entry in EXECUTABLE else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            info.file_size = os.path.getsize(path)  # a ZIP64 entry when it needs one
            with open(path, "rb") as source, archive.open(info, "w") as packed:
                shutil.copyfileobj(source, packed, PIECE)


try:
    {"gather": gather, "sums": write_sums, "zip": write_zip}[sys.argv[1]](*sys.argv[2:])
except OSError as error:
    fail("%s: %s" % (shown(error.filename or ""), error.strerror))
PY
)
kit_py() {
    /usr/bin/python3 -I -X utf8 -c "$KIT_PY" "$@"
}

# Lines for a kit that is made, not for a failed run: what it left out, and what it lacks.
: >"$work/notes"
if [ -n "$tools" ]; then
    tool=$(sed -n 's/^set(TAMSU_TOOL_FILE \(.*\))$/\1/p' "$TAMSU_ROOT/CMakeLists.txt")
    kit_py gather "$kit" "$tools" "$tool" "$work/notes" || exit 1
fi
empty=
for folder in "$kit"/*/; do
    folder=${folder%/}
    [ -n "$(ls -A -- "$folder")" ] || empty+=", ${folder##*/}"
done
[ -z "$empty" ] ||
    echo "kit.sh: these kit folders ship empty, with no tools: ${empty#, }" >>"$work/notes"

# The password's first line without its line end: `-passin file:` would keep the CR of a CRLF
# line end, which osslsigncode drops.
password() {
    local line=
    if [ -n "$password_file" ]; then
        IFS= read -r line <"$password_file" || true
    fi
    printf '%s\n' "${line%$'\r'}"
}

# Runs openssl pkcs12 on the signing file; files from older tools need the legacy algorithms.
pkcs12() {
    local secret
    secret=$(password)
    openssl pkcs12 -in "$sign" -passin fd:3 "$@" 2>>"$work/pkcs12.log" 3<<<"$secret" ||
        openssl pkcs12 -legacy -in "$sign" -passin fd:3 "$@" 2>>"$work/pkcs12.log" 3<<<"$secret"
}
# Signs the staged copy of the launcher (never the build's own file) into a new file, checks
# the signature, and only then puts it in place of the copy.
sign_launcher() {
    local rc=$TAMSU_ROOT/res/TamsuLauncher.rc description url
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

# Signs SHA256SUMS with the launcher's key and certificate: a detached CMS signature, checked
# as a user checks it, against that certificate alone. The key goes to openssl through a pipe,
# never into a file.
sign_sums() {
    local sums=$kit/SHA256SUMS signature=$work/SHA256SUMS.p7s
    local args=(cms -sign -binary -md sha256 -in "$sums" -signer "$work/leaf.pem" -outform DER
        -out "$signature")
    if [ -n "$token" ]; then
        PKCS11_MODULE_PATH=$module openssl "${args[@]}" -engine pkcs11 -keyform engine \
            -inkey "$sign" -passin fd:3 3< <(password) 2>"$work/cms.log" ||
            fail "openssl could not sign SHA256SUMS with the key $sign"
    else
        openssl "${args[@]}" -inkey /dev/fd/4 4< <(pkcs12 -nocerts -nodes) 2>"$work/cms.log" ||
            fail "openssl could not sign SHA256SUMS with the key in $sign"
    fi
    openssl cms -verify -binary -inform DER -in "$signature" -content "$sums" \
        -CAfile "$work/leaf.pem" -partial_chain -purpose any -out /dev/null 2>>"$work/cms.log" ||
        fail "the signature of SHA256SUMS does not verify against the certificate in $origin"
    mv -- "$signature" "$kit/SHA256SUMS.p7s"
}

origin=$sign
[ -z "$token" ] || origin=$certs
if [ -n "$sign" ]; then
    sign_launcher
fi
# A user checks the unpacked kit with `sha256sum -c SHA256SUMS` in its folder, after checking
# the signature of SHA256SUMS when the kit is signed (docs/release.md).
kit_py sums "$kit" || exit 1
if [ -n "$sign" ]; then
    sign_sums
fi
kit_py zip "$work" "$name" "$epoch" || exit 1
(cd -- "$work" && sha256sum -- "$name.zip" >"$name.zip.sha256")
mv -f -- "$work/$name.zip" "$output/$name.zip"
mv -f -- "$work/$name.zip.sha256" "$output/$name.zip.sha256"
# The signature also beside the ZIP, to publish with the download.
[ -z "$sign" ] || cp -- "$kit/SHA256SUMS.p7s" "$output/SHA256SUMS.p7s"

echo "kit: $output/$name.zip"
cat -- "$work/notes" >&2
if [ -n "$sign" ]; then
    echo "launcher and SHA256SUMS signed by $signer${timestamp:+, the launcher timestamped by $timestamp}"
else
    echo "kit.sh: the launcher in this kit is NOT signed (--sign PKCS12 signs it)" >&2
fi
