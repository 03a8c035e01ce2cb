#!/bin/sh
# Runs inside the test guest as /guest/run.sh: sets up the interfaces the SocketCAN
# tests expect, then runs every test. Exit status: the number of parts that failed.
failed=0

part() {
  echo "== $1"
  shift
  if "$@"; then
    echo "-- passed"
  else
    echo "-- FAILED"
    failed=$((failed + 1))
  fi
}

set_up_interfaces() {
  set -e
  ip link add dev vcan0 type vcan
  ip link set vcan0 up
  ip link add dev vcan1 type vcan
  ip link add dev vcan2 type vcan
  ip link set vcan2 up
  # The emulated controllers: the bit rate needs the full ip, not busybox's.
  iproute-ip link set can0 type can bitrate 500000
  ip link set can0 up
  iproute-ip link set can1 type can bitrate 1000000
  ip link set can1 up
}

part "interfaces" set_up_interfaces
part "backend against the kernel" ./socketcan_guest_tests --gtest_brief=1 --gtest_color=no
# updates.txt: one complete update a line, "NAME IMAGE".
while read -r name image; do
  part "complete update over vcan0: $name ($image)" sh ./full-update.sh "$name" "$image" </dev/null
done < updates.txt
exit "$failed"
