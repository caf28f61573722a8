#!/usr/bin/env bash
# Runs the tests through the real Linux USB stack: Debian's kernel under qemu
# with a small initramfs that holds busybox, udev, the test gadget, the tests
# and the shared libraries they need. The kernel comes from the package
# mirror (apt-get download, cached in the build directory, never committed).
#
# usage: run-usb-vm.sh BUILD_DIR
# With USBVM_ONLY=bench in the environment the guest runs only usbvm-bench;
# with USBVM_ONLY=profile, one round of each compared way under strace and
# perf (both needed on this machine). USBVM_CPUS sets the guest's emulated
# CPUs (1 unless set), USBVM_ROUNDS the bench's rounds when it runs alone
# (7 unless set).
# Exit status 0 only when the guest printed its result line with no failure:
# qemu itself exits 0 whatever the guest's tests did.
set -euo pipefail

build=$(cd "${1:?usage: run-usb-vm.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cache="$build/usbvm"
root="$cache/initramfs"
mkdir -p "$cache"

for program in usbvm-gadget tst_usbvm tst_usbvmflash tst_usbvmflashall usbvm-bench talvex-cli; do
  [ -x "$build/bin/$program" ] || { echo "run-usb-vm: $build/bin/$program is missing; build first" >&2; exit 2; }
done

# The kernel the distribution installs today, and its USB gadget modules.
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
[ -n "$package" ] || { echo "run-usb-vm: no linux-image-amd64 in the package lists (apt-get update?)" >&2; exit 2; }
if [ ! -d "$cache/$package" ]; then
  rm -rf "$cache/download" && mkdir -p "$cache/download"
  (cd "$cache/download" && apt-get download -q "$package" >/dev/null 2>&1)
  dpkg-deb -x "$cache"/download/"$package"_*.deb "$cache/$package.tmp"
  mv "$cache/$package.tmp" "$cache/$package"
  rm -rf "$cache/download"
fi
kernel=$(ls "$cache/$package"/boot/vmlinuz-*)
modules=$(ls -d "$cache/$package"/lib/modules/*)

rm -rf "$root"
mkdir -p "$root"/{bin,lib/modules,lib/systemd,etc,proc,sys,dev,run,tmp}
cp /bin/busybox "$root/bin/busybox"
if ldd "$root/bin/busybox" >/dev/null 2>&1; then
  echo "run-usb-vm: /bin/busybox is not static (install busybox-static)" >&2
  exit 2
fi
for module in usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs; do
  found=$(find "$modules" -name "$module.ko*" | head -n 1)
  [ -n "$found" ] || { echo "run-usb-vm: module $module not in $package" >&2; exit 2; }
  case "$found" in
    *.ko.xz) xz -dc "$found" >"$root/lib/modules/$module.ko" ;;
    *.ko.zst) zstd -qdc "$found" >"$root/lib/modules/$module.ko" ;;
    *) cp "$found" "$root/lib/modules/$module.ko" ;;
  esac
done

# Programs with the shared libraries ldd lists (Debian has no static libudev).
copy_with_libraries() {
  cp "$1" "$root/bin/"
  ldd "$1" | awk '/=>/ { print $3 } /^\t\/lib/ { print $1 }' | while read -r library; do
    [ -f "$library" ] || continue
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
}
copy_with_libraries /bin/udevadm
if [ "${USBVM_ONLY:-}" = profile ]; then
  for tool in strace perf; do
    path=$(command -v "$tool") || { echo "run-usb-vm: USBVM_ONLY=profile needs $tool" >&2; exit 2; }
    copy_with_libraries "$path"
  done
fi
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
for program in usbvm-gadget tst_usbvm tst_usbvmflash tst_usbvmflashall usbvm-bench talvex-cli; do
  copy_with_libraries "$build/bin/$program"
done
mkdir -p "$root/lib64"
cp -L /lib64/ld-linux-x86-64.so.2 "$root/lib64/"
mkdir -p "$root/etc/udev/rules.d"
cp "$here/../../packaging/linux/70-talvex-updater.rules" "$root/etc/udev/rules.d/"
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/false\n' >"$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
cp "$here/init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$cache/initramfs.cpio"

# TCG: the paravirtual /dev/kvm of such machines hangs the stock kernel.
log="$cache/console.log"
start=$(date +%s.%N)
# no_timer_check: on a busy host the emulated timer can miss the kernel's
# boot-time check, which then panics.
timeout 900 qemu-system-x86_64 -accel tcg -m 1024 -smp "${USBVM_CPUS:-1}" -nodefaults -display none -no-reboot \
  -serial "file:$log" -kernel "$kernel" -initrd "$cache/initramfs.cpio" \
  -append "console=ttyS0 rdinit=/init panic=-1 no_timer_check quiet loglevel=3${USBVM_ONLY:+ usbvm_only=$USBVM_ONLY}${USBVM_ROUNDS:+ usbvm_rounds=$USBVM_ROUNDS}" || true
end=$(date +%s.%N)

grep -v '^usbvm-[a-z]*-s:' "$log" | tr -d '\r'
boot=$(sed -n 's/^usbvm-tests-s: \([0-9.]*\).*/\1/p' "$log" | tr -d '\r')
finished=$(sed -n 's/^usbvm-end-s: \([0-9.]*\).*/\1/p' "$log" | tr -d '\r')
if [ -n "$boot" ] && [ -n "$finished" ]; then
  awk -v boot="$boot" -v finished="$finished" -v start="$start" -v end="$end" 'BEGIN {
    printf "usb-vm times: boot to tests %.1f s, tests %.1f s (guest clock); %.1f s in all with qemu\n",
      boot, finished - boot, end - start }'
fi
result=$(grep -a '^usb-vm: [0-9]* passed, [0-9]* failed' "$log" | tail -n 1 | tr -d '\r')
if [ -z "$result" ]; then
  echo "run-usb-vm: the guest printed no result line (see $log)" >&2
  exit 1
fi
case "$result" in
  *", 0 failed") exit 0 ;;
  *) exit 1 ;;
esac
