#!/usr/bin/env bash
# Packs the guest of the real-kernel test bed: busybox, the kernel's USB
# modules (host controller and usbmon), the command-line program and the
# usbmon tool with the shared libraries they load, and the guest's init and
# cases, into a gzip-compressed newc cpio archive.
#   make-initramfs.sh OUTPUT PROGRAM USBMON_TOOL KERNEL_VERSION
set -euo pipefail
if (($# != 4)); then
    echo "usage: make-initramfs.sh OUTPUT PROGRAM USBMON_TOOL KERNEL_VERSION" >&2
    exit 2
fi
output=$1 program=$2 usbmon_tool=$3 kernel_version=$4
guest_dir=$(cd "$(dirname "$0")/guest" && pwd)
modules=/lib/modules/$kernel_version/kernel/drivers/usb
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,modules,lib64}
cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
for module in common/usb-common core/usbcore host/xhci-hcd host/xhci-pci mon/usbmon; do
    cp "$modules/$module.ko" "$root/modules/"
done

# A binary and every library ldd names, each at the path the loader looks for.
copy_with_libraries() {
    cp "$1" "$root/bin/$2"
    ldd "$1" | grep -oE '/[^ ]+' | while read -r library; do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
}
copy_with_libraries "$program" ombrix-fwupdate
copy_with_libraries "$usbmon_tool" usbmon-tool

cp "$guest_dir/init" "$root/init"
cp "$guest_dir/cases.sh" "$root/cases.sh"
chmod 755 "$root/init"
printf 'root:x:0:0:root:/:/bin/sh\ntester:x:1000:1000:tester:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ntester:x:1000:\n' >"$root/etc/group"

# The guest's unprivileged user reads and runs what root does (mktemp made
# the root folder root's alone).
chmod -R a+rX "$root"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$output.partial"
mv "$output.partial" "$output"
