#!/usr/bin/env bash
# The kernel stage: the native launcher in a QEMU guest running Debian's own kernel, against
# receivers made by the kernel's USB gadget stack. Installs QEMU, busybox and pytest, fetches
# the kernel once into build/kernel (never installed: that would run initramfs hooks here),
# builds the launcher, and runs tests/kernel/test_kernel.py, which boots the guest once.
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
if [ ! -f "$KERNEL/vmlinuz" ]; then
    rm -rf "$KERNEL.partial"
    mkdir -p "$KERNEL.partial"
    if ! error=$(cd "$KERNEL.partial" &&
        apt-get -qq -o APT::Sandbox::User=root download "$package" 2>&1); then
        stop "could not download $package (apt-get download: $(tail -n 1 <<<"$error"))"
    fi
    # Only the image and the driver folders the guest takes its modules from.
    dpkg-deb --fsys-tarfile "$KERNEL.partial"/*.deb |
        tar -x -C "$KERNEL.partial" --wildcards './boot/vmlinuz-*' \
            './lib/modules/*/kernel/drivers/usb' './lib/modules/*/kernel/drivers/hid' \
            './lib/modules/*/kernel/fs/configfs' ||
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

# The launcher of the current sources.
[ -f build/linux/build.ninja ] || cmake --preset linux >/dev/null
cmake --build --preset linux --target tamsu-launcher || stop "the launcher does not build"

export TAMSU_KERNEL_IMAGE=$IMAGE TAMSU_KERNEL_MODULES=$KERNEL/modules \
    TAMSU_LAUNCHER=$TAMSU_ROOT/build/linux/bin/tamsu-launcher TAMSU_KERNEL_WORK=build/kernel/guest
mkdir -p "$TAMSU_KERNEL_WORK"
exec /usr/bin/python3 -m pytest -p no:cacheprovider -v tests/kernel/test_kernel.py
