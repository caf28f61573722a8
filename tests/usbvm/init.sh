#!/bin/busybox sh
# The virtual machine's first process: brings up the kernel's USB device
# side (dummy_hcd and FunctionFS) and udev, plugs in the test gadget, runs
# the tests and the measurements, prints one result line and powers off.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /run /tmp
mount -t tmpfs run /run
mount -t tmpfs tmp /tmp
echo "usbvm-boot-s: $(cut -d' ' -f1 /proc/uptime)"

finish() {
  echo "usbvm-end-s: $(cut -d' ' -f1 /proc/uptime)"
  echo "usb-vm: $1 passed, $2 failed"
  sync
  poweroff -f
}

# No modules.dep: load in dependency order. Two dummy controllers, each with
# its own bus on the host side, so that two gadgets can be plugged in at once.
for module in usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs; do
  parameters=
  [ "$module" = dummy_hcd ] && parameters=num=2
  insmod "/lib/modules/$module.ko" $parameters || { echo "usbvm: cannot load $module"; finish 0 1; }
done
mount -t configfs none /sys/kernel/config

# udev turns the kernel's events into the ones libusb listens to, as on a real system.
/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || { echo "usbvm: udevd did not start"; finish 0 1; }
udevadm trigger --action=add >/dev/null 2>&1
udevadm settle

udc=$(ls /sys/class/udc | head -n 1)
/bin/usbvm-gadget "$udc" &
export USBVM_UDC="$udc"
# Free until tst_usbvmflashall plugs its second gadget in for its own tests.
export USBVM_SECOND_UDC="$(ls /sys/class/udc | sed -n 2p)"

passed=0
failed=0
# Runs a QtTest program and adds its totals.
run_suite() {
  "$@" >/tmp/suite.log 2>&1
  cat /tmp/suite.log
  totals=$(grep '^Totals:' /tmp/suite.log | tail -n 1)
  if [ -z "$totals" ]; then
    echo "usbvm: $1 ended without totals"
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + $(echo "$totals" | sed 's/Totals: \([0-9]*\) passed.*/\1/')))
  failed=$((failed + $(echo "$totals" | sed 's/.* \([0-9]*\) failed.*/\1/')))
}

echo "usbvm-tests-s: $(cut -d' ' -f1 /proc/uptime)"
# usbvm_only=profile: one round of each compared way under strace's
# system-call count, then under perf's sampling of the whole machine.
if [ "${usbvm_only:-}" = profile ]; then
  for way in 0 1 2 3 6; do
    echo "usbvm-profile: way $way, system calls"
    strace -f -c -S calls -o /tmp/strace.log /bin/usbvm-bench --way "$way" --rounds 1
    head -n 12 /tmp/strace.log
    echo "usbvm-profile: way $way, samples"
    perf record -q -a -g -F 5000 -e cpu-clock -o /tmp/perf.data /bin/usbvm-bench --way "$way" --rounds 1 >/dev/null 2>&1
    perf report -q -i /tmp/perf.data --stdio --no-children --sort comm,dso,sym -g none \
      --percent-limit 0.15 2>/dev/null | grep -v '^$' | head -n 150
  done
  finish 0 0
fi
# usbvm_only=bench (from the kernel's command line) runs the measurements alone.
if [ "${usbvm_only:-}" != bench ]; then
  run_suite /bin/tst_usbvm
  run_suite /bin/tst_usbvmflash
fi
# Figures, not a test: a round that could not be measured is reported, and
# does not fail the run on a machine too busy to finish it. Three rounds
# beside the tests, seven when measuring alone unless usbvm_rounds says.
rounds=3
[ "${usbvm_only:-}" = bench ] && rounds=${usbvm_rounds:-7}
/bin/usbvm-bench --rounds "$rounds" || echo "usbvm-bench: incomplete, see above"
# Last, so that everything before sees the one gadget alone.
[ "${usbvm_only:-}" = bench ] || run_suite /bin/tst_usbvmflashall

finish "$passed" "$failed"
