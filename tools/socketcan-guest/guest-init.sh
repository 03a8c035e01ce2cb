#!/bin/sh
# The test guest's first process. Loads the kernel modules listed in
# /lib/modules/order, runs /guest/run.sh with its output on the second serial port,
# reports run.sh's exit status there in a marker line, and powers the guest off.
PATH=/guest:/bin
export PATH
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp

out=/dev/ttyS1
for module in $(cat /lib/modules/order); do
  insmod "/lib/modules/$module.ko" || echo "guest: loading $module failed" >"$out"
done
ip link set lo up

cd /guest && sh ./run.sh >"$out" 2>&1
status=$?
printf '\nDOVEL-GUEST-EXIT %d\n' "$status" >"$out"
sync
poweroff -f
