#!/usr/bin/env bash
# The Windows release, checked from the outside:  check_release.sh SOURCE_DIR BUILD_DIR FOLDER...
#  - reproducible from any checkout: the launcher built again from a core.autocrlf=true clone of
#    the same sources, in another build folder, has the same bytes, and the clone's kit.sh packs
#    it into the same ZIP as this tree's kit.sh packs this build;
#  - packaged: CPack makes a ZIP of the kit, with the launcher at the top, the four tool folders
#    and the read-me for kit assemblers, whose lines end in CRLF for Notepad.
set -euo pipefail
source_dir=$1
build_dir=$2
shift 2
folders=("$@") # the kit's tool folders, from the build's one list
work=$build_dir/release-check
rm -rf "$work"
mkdir -p "$work"

# The sources as they are (changes not yet committed included), committed in a repository of
# their own and cloned as a Windows user's git clones them by default.
mkdir "$work/sources"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/sources" -xf -
git -C "$work/sources" -c init.defaultBranch=main init -q
git -C "$work/sources" add -A
git -C "$work/sources" -c user.name=check -c user.email=check@localhost commit -q -m sources
git clone -q -c core.autocrlf=true "$work/sources" "$work/crlf"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
cmake -S "$work/crlf" -B "$work/again" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
    --toolchain "$work/crlf/cmake/toolchain-i686-mingw32.cmake" >"$work/configure.log"
cmake --build "$work/again" --target TamsuLauncher >"$work/build.log"
if ! cmp "$build_dir/bin/TamsuLauncher.exe" "$work/again/bin/TamsuLauncher.exe"; then
    echo "FAIL: the launcher built from a core.autocrlf=true clone differs"
    exit 1
fi
for tree in plain crlf; do
    sources=$source_dir build=$build_dir
    [ "$tree" = plain ] || sources=$work/crlf build=$work/again
    SOURCE_DATE_EPOCH=1700000000 bash "$sources/scripts/kit.sh" --from "$build" \
        --output "$work/kit-$tree" >"$work/kit-$tree.log" 2>&1 ||
        { echo "FAIL: kit.sh of the $tree tree: $(tail -n 1 "$work/kit-$tree.log")"; exit 1; }
done
if ! cmp "$work"/kit-{plain,crlf}/*.zip; then
    echo "FAIL: kit.sh of a core.autocrlf=true clone packs another ZIP"
    exit 1
fi
echo "reproducible: $(sha256sum <"$build_dir/bin/TamsuLauncher.exe" | cut -c1-16)"

(cd "$build_dir" && cpack -G ZIP -B "$work/package" >"$work/cpack.log")
zips=("$work"/package/*.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || { echo "FAIL: no single ZIP: ${zips[*]}"; exit 1; }
listing=$(/usr/bin/python3 - "${zips[0]}" <<'PY'
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = archive.namelist()
top = {n.split("/", 1)[0] for n in names}
assert len(top) == 1, top  # one folder, named after the kit
lines = archive.read(top.pop() + "/README.txt").split(b"\r\n")
assert lines[-1] == b"" and not any(b"\r" in l or b"\n" in l for l in lines), "README.txt: not CRLF"
print("\n".join(sorted(n.split("/", 1)[1] for n in names)))
PY
)
expected=$(printf '%s\n' "${folders[@]/%//}" README.txt TamsuLauncher.exe | LC_ALL=C sort)
if [ "$listing" != "$expected" ]; then
    echo "FAIL: the ZIP holds"
    echo "$listing"
    exit 1
fi
echo "packaged: $(basename "${zips[0]}")"
