#!/usr/bin/env bash
# The kernel stage: the native launcher in a QEMU guest running Debian's own kernel, against
# receivers made by the kernel's USB gadget stack; the kit's udev rule under the host's own
# udevd there; and the Windows HID probe and launcher under the host's Wine there, and under
# Debian 13's. Installs QEMU, busybox, udev, pytest, debootstrap, the Windows build's packages
# and Wine, fetches the kernel once into build/kernel (never installed: that would run
# initramfs hooks here), builds both launchers and the probe, and runs
# tests/kernel/test_kernel.py, which makes the Debian 13 root once per user (in the cache
# folder, for every clone), the kit's Wine prefix of each root once (build/kernel/wine-homes)
# and boots the guest once.
# Anything missing fails the stage with one line saying what.
set -euo pipefail
# shellcheck source=../../scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
cd "$TAMSU_ROOT"

stop() {
    echo "kernel stage failed: $*"
    exit 1
}

packages=("${NATIVE_BUILD_PACKAGES[@]}" "${KERNEL_TEST_PACKAGES[@]}")
if ! ensure_packages "${packages[@]}"; then
    stop "packages missing: $(missing_packages "${packages[@]}")"
fi
# The Wine scenario runs the host's Wine and the cross-built probe and Windows launcher.
ensure_windows_packages || stop "the Windows build's packages or Wine are missing"

# The image package that linux-image-amd64 depends on (linux-image-cloud-amd64 has no USB core,
# gadget or usbhid modules). The package lists may be empty on a fresh machine.
image_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1
}
package=$(image_package)
if [ -z "$package" ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null 2>&1 || true
    package=$(image_package)
fi
[ -n "$package" ] || stop "apt knows no kernel image that linux-image-amd64 depends on"

KERNEL=build/kernel/$package
# Only the image and the folders the guest takes its modules from: the USB gadget and HID
# drivers, and virtio and 9p to reach the host's files. A cache without one of them is fetched anew.
MODULE_FOLDERS=(drivers/usb drivers/hid fs/configfs drivers/virtio net/9p fs/9p fs/netfs fs/fscache)
cached() {
    local folder
    [ -f "$KERNEL/vmlinuz" ] || return 1
    for folder in "${MODULE_FOLDERS[@]}"; do
        [ -d "$KERNEL/modules/kernel/$folder" ] || return 1
    done
}
if ! cached; then
    rm -rf "$KERNEL.partial"
    mkdir -p "$KERNEL.partial"
    if ! error=$(cd "$KERNEL.partial" &&
        apt-get -qq -o APT::Sandbox::User=root download "$package" 2>&1); then
        stop "could not download $package (apt-get download: $(tail -n 1 <<<"$error"))"
    fi
    dpkg-deb --fsys-tarfile "$KERNEL.partial"/*.deb |
        tar -x -C "$KERNEL.partial" --wildcards './boot/vmlinuz-*' \
            "${MODULE_FOLDERS[@]/#/./lib/modules/*/kernel/}" ||
        stop "could not unpack $package"
    mv "$KERNEL.partial"/boot/vmlinuz-* "$KERNEL.partial/vmlinuz"
    mv "$KERNEL.partial"/lib/modules/* "$KERNEL.partial/modules"
    rm -rf "$KERNEL.partial"/*.deb "$KERNEL.partial/boot" "$KERNEL.partial/lib" "$KERNEL"
    mv "$KERNEL.partial" "$KERNEL"
fi

# Unpacking the compressed image under emulation costs seconds at every boot: the xz stream
# inside the bzImage is unpacked here once, and the plain image boots through its PVH entry.
IMAGE=$KERNEL/vmlinuz
if [ ! -f "$KERNEL/vmlinux" ]; then
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$KERNEL/vmlinuz" | head -n 1 | cut -d: -f1)
    if [ -n "$offset" ] &&
        # xz stops at the stream's end, and tail meets a closed pipe.
        { tail -c +$((offset + 1)) "$KERNEL/vmlinuz" || true; } |
        xz -dc --single-stream >"$KERNEL/vmlinux.partial" 2>/dev/null &&
        readelf -n "$KERNEL/vmlinux.partial" 2>/dev/null | grep -q 'Xen.*0x00000012'; then
        mv "$KERNEL/vmlinux.partial" "$KERNEL/vmlinux"
    else
        rm -f "$KERNEL/vmlinux.partial"
        echo "no plain image with a PVH entry in $KERNEL/vmlinuz: booting the compressed one"
    fi
fi
[ -f "$KERNEL/vmlinux" ] && IMAGE=$KERNEL/vmlinux

# The launcher of the current sources, and the kit's udev rule it writes; the Windows launcher
# and the HID probe.
[ -f build/linux/build.ninja ] || cmake --preset linux >/dev/null
cmake --build --preset linux --target tamsu-launcher tamsu_device_rule ||
    stop "the launcher does not build"
[ -f build/windows/build.ninja ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target TamsuLauncher hid_probe ||
    stop "the Windows launcher or the HID probe does not build"

export TAMSU_KERNEL_IMAGE=$IMAGE TAMSU_KERNEL_MODULES=$KERNEL/modules \
    TAMSU_LAUNCHER=$TAMSU_ROOT/build/linux/bin/tamsu-launcher \
    TAMSU_DEVICE_RULE=$TAMSU_ROOT/build/linux/kit-rule/70-tamsu-receivers.rules \
    TAMSU_WINDOWS_LAUNCHER=$TAMSU_ROOT/build/windows/bin/TamsuLauncher.exe \
    TAMSU_HID_PROBE=$TAMSU_ROOT/build/windows/tests/windows/probe/hid_probe.exe \
    TAMSU_WINE_HOME=$TAMSU_ROOT/build/kernel/wine-homes TAMSU_KERNEL_WORK=build/kernel/guest
mkdir -p "$TAMSU_KERNEL_WORK"
if ! host_runs_i386; then
    export TAMSU_KERNEL_WINE=off
    echo "kernel stage: this machine's kernel runs no 32-bit x86 program (Exec format error), so" \
        "the host cannot make the guest's 32-bit Wine prefixes: the Wine scenarios are left out"
fi
exec /usr/bin/python3 -m pytest -p no:cacheprovider -v tests/kernel/test_kernel.py
