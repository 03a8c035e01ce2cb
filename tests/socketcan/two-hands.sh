#!/bin/sh
# Runs inside the test guest: two-hands.sh NAME IMAGE. Two hands updated at the same
# time, one on vcan0 and one on vcan1 (examples/update-hands.sh, each simulated hand
# its own process behind its interface), and meanwhile an update and a status check
# started on vcan0, the bus in use.
# Expected: the script's two lines "vcan0: 4 of 4 Dovels updated. VERS ..., image sha256
# ..." and the same for vcan1, read from the runs' records; each hand's console text
# equal to expected/NAME.stdout and its end state, flash included, as
# expected/NAME.report; the run and the status check on vcan0 refused with the line
# naming the process that updates vcan0, before any frame: candump sees on vcan0 exactly
# the frames of that one update.
set -u
name=$1
image=$2
READY_TRIES=600
STATUS_NOT_STARTED=2
STATUS_NOT_ALL_RUNNING=1

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

ip link set vcan1 up
rm -rf hands
mkdir hands
./candump -L vcan0 > hands/vcan0.bus 2> hands/candump.err &
candump=$!
for iface in vcan0 vcan1; do
  ./dovel-sim-socketcan "$iface" --trace "hands/$iface.hand-trace" \
    > "hands/$iface.ready" 2> "hands/$iface.report" &
  echo $! > "hands/$iface.hand-pid"
done
for iface in vcan0 vcan1; do
  tries=0
  until grep -q '^ready$' "hands/$iface.ready" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le "$READY_TRIES" ] || {
      echo "the hand on $iface did not start:"
      cat "hands/$iface.report"
      exit 1
    }
    sleep 0.1
  done
done

DOVEL_LOG_DIR=hands PATH="$PWD/build:$PATH" sh ./update-hands.sh "$image" vcan0 vcan1 \
  > hands/lines.txt &
updates=$!
tries=0
until grep -q '^CAN device initialized\.$' hands/vcan0.log 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le "$READY_TRIES" ] || {
    echo "the update on vcan0 did not start:"
    cat hands/vcan0.log hands/vcan0.err 2>/dev/null
    exit 1
  }
  sleep 0.1
done

# A second run and a status check on vcan0 while its update runs.
DOVEL_CAN=socketcan:vcan0 DOVEL_EXIT_STATUS=report DOVEL_CAN_TRACE=hands/second.trace \
  PATH="$PWD/build:$PATH" dovelflash "$image" </dev/null > hands/second.out 2> hands/second.err
second_status=$?
DOVEL_CAN=socketcan:vcan0 PATH="$PWD/build:$PATH" dovelflash --status </dev/null \
  > hands/status.out 2> hands/status.err
status_status=$?
refusal=$(grep '^\[FAILED\] vcan0 is in use by process [0-9]* of user root$' hands/second.out)
holder=$(echo "$refusal" | sed -n 's/.* by process \([0-9]*\) of user root$/\1/p')
if [ -z "$holder" ] || ! tr '\000' '\n' < "/proc/$holder/environ" | grep -qx 'DOVEL_CAN=socketcan:vcan0'; then
  fail "the refusal does not name the run on vcan0: '$refusal'"
fi
printf '\nZendra firmware download utility\nVersion 1.0\nArgument count = 2\n  arg[0] = dovelflash\n  arg[1] = %s\n\nInitializing USB/CAN device...\n%s\n\nDo you want to try again (y/n)? \nPress any key to exit...\nDone.\n\n' \
  "$image" "$refusal" > hands/second.expected
printf '\nZendra firmware download utility\nVersion 1.0\nArgument count = 2\n  arg[0] = dovelflash\n  arg[1] = --status\n\nInitializing USB/CAN device...\n%s\n' \
  "$refusal" > hands/status.expected
cmp -s hands/second.expected hands/second.out || fail "the second run on vcan0 printed:" "$(cat hands/second.out)"
cmp -s hands/status.expected hands/status.out || fail "the status check on vcan0 printed:" "$(cat hands/status.out)"
[ "$second_status" -eq "$STATUS_NOT_STARTED" ] || fail "the second run's status is $second_status"
[ "$status_status" -eq "$STATUS_NOT_ALL_RUNNING" ] || fail "the status check's status is $status_status"
if [ -s hands/second.err ] || [ -s hands/status.err ]; then
  fail "the refused runs wrote on standard error"
fi
[ ! -e hands/second.trace ] || fail "the refused run opened its link trace"

wait "$updates"
updates_status=$?
for iface in vcan0 vcan1; do
  hand=$(cat "hands/$iface.hand-pid")
  kill -TERM "$hand"
  wait "$hand"
done
kill "$candump" 2>/dev/null
wait "$candump" 2>/dev/null
ip link set vcan1 down

vers=$(sed -n 's/^Checking Dovel 11\.\.\.\[OK\] main firmware, VERS \(0x[0-9a-f]*\)$/\1/p' \
  "expected/$name.stdout")
hash=$(sha256sum "$image" | cut -d ' ' -f 1)
for iface in vcan0 vcan1; do
  echo "$iface: 4 of 4 Dovels updated. VERS $vers $vers $vers $vers, image sha256 $hash"
done > hands/lines.expected
cmp -s hands/lines.expected hands/lines.txt || fail "update-hands.sh printed:" "$(cat hands/lines.txt)"
[ "$updates_status" -eq 0 ] || fail "update-hands.sh exited with status $updates_status"
frames_of() {
  awk '/^\(/ { print $3 }' "$1"
}
for iface in vcan0 vcan1; do
  cmp -s "expected/$name.stdout" "hands/$iface.log" || {
    fail "the console text on $iface differs (expected, then got):"
    diff "expected/$name.stdout" "hands/$iface.log" | head -n 20
  }
  [ ! -s "hands/$iface.err" ] || fail "the update on $iface wrote on standard error:" "$(head -n 5 "hands/$iface.err")"
  grep '^sim: dovel ' "hands/$iface.report" | cmp -s "expected/$name.report" - || {
    fail "the hand on $iface ends otherwise than after the in-process update:"
    grep '^sim: dovel ' "hands/$iface.report"
  }
  frames_of "hands/$iface.trace" > "hands/$iface.frames"
  frames_of "hands/$iface.hand-trace" | cmp -s "hands/$iface.frames" - ||
    fail "the link trace on $iface differs from its hand's"
done
# The bus carries the access code; the traces write each UNLOCK set request (DATA[0]
# 0x88 or 0x8D) with every byte after the first two FF.
masked_as_traced() {
  awk -F '#' '{
    data = $2
    if (length(data) > 4 && (substr(data, 1, 2) == "88" || substr(data, 1, 2) == "8D")) {
      shown = substr(data, 1, 4)
      for (i = 5; i <= length(data); i++) shown = shown "F"
      data = shown
    }
    print $1 "#" data
  }'
}
# Each frame once on the bus: what the one update on vcan0 sent and received, nothing of
# the refused runs.
frames_of hands/vcan0.bus | masked_as_traced | cmp -s hands/vcan0.frames - ||
  fail "vcan0 carried $(frames_of hands/vcan0.bus | wc -l) frames, the update on it $(wc -l < hands/vcan0.frames)" \
    "$(cat hands/candump.err)"
echo "vcan0 and vcan1 updated at once; vcan0 carried $(wc -l < hands/vcan0.frames) frames, none of the refused runs"
exit "$failed"
