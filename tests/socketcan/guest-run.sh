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

# The utility on an emulated controller at 500 kbit/s: the start-up fails with the
# backend's code and the retry prompt, declined at the end of input; no file check.
refuses_other_bitrate() {
  DOVEL_CAN=socketcan:can0 ./build/dovelflash examples/quick.tek </dev/null \
    > refusal-stdout.txt 2> refusal-stderr.txt
  printf '%s\n' "socketcan: interface can0 runs at 500000 bit/s, the hand's bus at 1000000 (set it: ip link set can0 down && ip link set can0 up type can bitrate 1000000)" \
    > refusal-expected-stderr.txt
  grep -qx 'ERROR - CAN_Init(): 196613' refusal-stdout.txt &&
    grep -q 'Do you want to try again (y/n)? ' refusal-stdout.txt &&
    ! grep -q 'Accessing firmware file' refusal-stdout.txt &&
    cmp -s refusal-expected-stderr.txt refusal-stderr.txt || {
    cat refusal-stdout.txt refusal-stderr.txt
    return 1
  }
}

set_can0_to_1mbit() {
  set -e
  ip link set can0 down
  iproute-ip link set can0 type can bitrate 1000000
  ip link set can0 up
}

part "interfaces" set_up_interfaces
part "backend against the kernel" ./socketcan_guest_tests --gtest_brief=1 --gtest_color=no
part "an emulated controller at 500 kbit/s is refused at start-up" refuses_other_bitrate
# updates.txt: one complete update a line, "NAME IMAGE".
while read -r name image; do
  part "complete update over vcan0: $name ($image)" sh ./full-update.sh "$name" "$image" </dev/null
done < updates.txt
# The four downloads at once (DOVEL_DOWNLOAD=together), the hand behind vcan0.
read -r name image < updates.txt
part "downloads together over vcan0: $name ($image)" sh ./together.sh "$name" "$image" </dev/null
# A monitor that answers another's download start, a controller three times slower than
# the others, a receive buffer of one character: no healthy controller fails.
part "downloads together over vcan0 with a stray frame and a slow controller: $name ($image)" \
  sh ./together.sh "$name" "$image" rx-buffer=1,stray=14:13,char-delay=14:3000 </dev/null
# Several hands at once: two updates on vcan0 and vcan1 together, and a run started on
# vcan0 while it is in use.
read -r name image < updates.txt
part "two hands at once on vcan0 and vcan1, a second run on vcan0 refused: $name ($image)" \
  sh ./two-hands.sh "$name" "$image" </dev/null
# Two users on vcan0: root holds it, the second user is refused by any name of it.
part "root holds vcan0, a second user is refused by both its names: $name ($image)" \
  sh ./two-users.sh "$image" </dev/null
# The interface deleted, then set down, during Dovel 11's download: the run ends soon
# after and names the link, not the controllers. vcan0 is up again after each.
part "vcan0 deleted during Dovel 11's download" \
  sh ./link-gone.sh examples/link-gone.tek delete </dev/null
part "vcan0 set down during Dovel 11's download" \
  sh ./link-gone.sh examples/link-gone.tek down </dev/null
# The first update again over the emulated SJA1000 controllers: the utility on can0,
# the hand on can1, both at 1 Mbit/s on one emulated bus.
part "can0 at 1 Mbit/s" set_can0_to_1mbit
# The data path again through the kernel's SJA1000 driver: the link on can1, the
# test's other nodes on can0 (error frames and interface states are vcan's tests).
data_path_tests=$(printf 'SocketcanGuestTest.%s:' EmptyQueueReadsAsEmpty \
  StandardFrameArrivesAsTypeZeroRecord FilterPassesOnlyStandardDataFramesFrom0To1023 \
  WriteSendsTheRecordAsStandardDataFrame FramesLeaveInTheOrderWritten \
  UnsendableRecordIsRefusedAndNothingLeaves ResetClientEmptiesTheReceiveQueue \
  ReopeningDoesNotLeakDescriptors 'Wait*')
part "backend over the emulated SJA1000 controllers (link on can1, nodes on can0)" \
  env DOVEL_GUEST_LINK=can1 DOVEL_GUEST_PEER=can0 ./socketcan_guest_tests --gtest_brief=1 \
  --gtest_color=no "--gtest_filter=$data_path_tests"
read -r name image < updates.txt
part "complete update over can0, the hand on can1 (SJA1000): $name ($image)" \
  sh ./full-update.sh "$name" "$image" can0 can1 </dev/null
exit "$failed"
