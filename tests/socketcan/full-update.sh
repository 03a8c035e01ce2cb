#!/bin/sh
# Runs inside the test guest: full-update.sh NAME IMAGE [UTILITY_IFACE [HAND_IFACE]],
# a complete update over SocketCAN (default vcan0 for both). The simulated hand runs
# as its own process behind HAND_IFACE and the utility updates it with IMAGE through
# the socketcan backend on UTILITY_IFACE (two interfaces: two controllers on one bus).
# Expected: standard output equal to expected/NAME.stdout byte for byte, nothing on
# standard error, and the hand's end state as after the same update in-process
# (expected/NAME.report): every controller in its main firmware with role code 5
# stored, the image in flash and no bad or lost records. The utility's link trace
# (DOVEL_CAN_TRACE) holds the frames of the hand's own trace in the same order, each
# stamped with UTILITY_IFACE, the access code masked in both, log2asc converts every
# one of them, and canplayer replays them onto vcan2 for candump -L to record the same
# frames.
set -u
name=$1
image=$2
utility_iface=${3:-vcan0}
hand_iface=${4:-vcan0}
expected_stdout=expected/$name.stdout
expected_report=expected/$name.report
ROLE_CODE_MASK=31
RESTORED_ROLE_CODE=5
DOVEL_COUNT=4
ACCESS_CODE_WORDS=5
READY_TRIES=600

rm -f update-trace.log hand-trace.log
./dovel-sim-socketcan "$hand_iface" --trace hand-trace.log > hand-ready.txt 2> hand-report.txt &
hand=$!
tries=0
until grep -q '^ready$' hand-ready.txt; do
  tries=$((tries + 1))
  if [ "$tries" -gt "$READY_TRIES" ] || ! kill -0 "$hand" 2>/dev/null; then
    echo "the simulated hand did not start:"
    cat hand-report.txt
    kill "$hand" 2>/dev/null
    exit 1
  fi
  sleep 0.1
done

start=$(date +%s)
DOVEL_CAN=socketcan:$utility_iface DOVEL_CAN_TRACE=update-trace.log PATH="$PWD/build:$PATH" \
  dovelflash "$image" </dev/null > update-stdout.txt 2> update-stderr.txt
status=$?
echo "the update took $(($(date +%s) - start)) s"
kill -TERM "$hand"
wait "$hand"

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

# Checks one report of the hand: four controllers, each as a complete update leaves it.
check_end_state() {
  report=$1
  lines=$(grep -c '^sim: dovel ' "$report")
  [ "$lines" -eq "$DOVEL_COUNT" ] || fail "$report: $lines controllers reported, not $DOVEL_COUNT"
  grep '^sim: dovel ' "$report" | while IFS= read -r line; do
    role=$(echo "$line" | sed -n 's/.*ROLE(stored)=0x\([0-9A-Fa-f]*\).*/\1/p')
    case "$line" in *": main "*) ;; *) echo "FAILED: not in its main firmware: $line" ;; esac
    case "$line" in *" bad=0"*) ;; *) echo "FAILED: bad records: $line" ;; esac
    case "$line" in *" lost=0"*) ;; *) echo "FAILED: lost characters: $line" ;; esac
    if [ -z "$role" ] || [ $((0x$role & ROLE_CODE_MASK)) -ne "$RESTORED_ROLE_CODE" ]; then
      echo "FAILED: role code $RESTORED_ROLE_CODE not stored: $line"
    fi
  done > end-state-failures.txt
  if [ -s end-state-failures.txt ]; then
    cat end-state-failures.txt
    failed=1
  fi
}

[ "$status" -eq 0 ] || fail "dovelflash exited with status $status"
if ! cmp -s "$expected_stdout" update-stdout.txt; then
  fail "standard output differs from the expected transcript (expected, then got):"
  diff "$expected_stdout" update-stdout.txt | head -n 40
fi
if [ -s update-stderr.txt ]; then
  fail "dovelflash wrote on standard error:"
  head -n 20 update-stderr.txt
fi
check_end_state hand-report.txt
check_end_state "$expected_report"
if ! grep '^sim: dovel ' hand-report.txt | cmp -s "$expected_report" -; then
  fail "the hand's end state differs from the in-process run's (expected, then got):"
  cat "$expected_report"
  grep '^sim: dovel ' hand-report.txt
fi
# ID#DATA of each frame line of a candump log, in order.
frames_of() {
  awk '/^\(/ { print $3 }' "$1"
}
frames_of update-trace.log > update-frames.txt
frames_of hand-trace.log > hand-frames.txt
frame_count=$(wc -l < update-frames.txt)
[ "$frame_count" -gt 0 ] || fail "the link trace holds no frame"
if ! cmp -s hand-frames.txt update-frames.txt; then
  fail "the link trace's frames differ from the hand's own trace (hand, then link):"
  diff hand-frames.txt update-frames.txt | head -n 20
fi
if awk -v iface="$utility_iface" '/^\(/ && $2 != iface { bad = 1 } END { exit !bad }' \
  update-trace.log; then
  fail "frame lines not stamped with $utility_iface:"
  awk -v iface="$utility_iface" '/^\(/ && $2 != iface' update-trace.log | head -n 5
fi
if ! ./log2asc -I update-trace.log -O update-trace.asc "$utility_iface"; then
  fail "log2asc cannot convert the link trace"
elif [ "$(grep -c ' Rx ' update-trace.asc)" -ne "$frame_count" ]; then
  fail "log2asc converted $(grep -c ' Rx ' update-trace.asc) of $frame_count frames"
fi
# The access code's words are masked in both traces: each controller is sent its five
# words twice (preparation and restoration), every one written FFFF.
for log in update-trace.log hand-trace.log; do
  masked=$(grep -cE "#8[8D][0-9A-F]{2}FFFF\$" "$log")
  unlock_sets=$(grep -cE "#8[8D][0-9A-F]{6}\$" "$log")
  if [ "$masked" -ne $((DOVEL_COUNT * 2 * ACCESS_CODE_WORDS)) ] || [ "$unlock_sets" -ne "$masked" ]; then
    fail "$log: $masked of $unlock_sets UNLOCK sets masked"
  fi
done
# The trace replayed with canplayer onto vcan2 and recorded back with candump -L: the
# same frames, in the same order. A probe frame (an ID the update never uses) replayed
# until candump shows it tells that the recorder listens.
#
# canplayer -g 0 sends as fast as the socket takes frames, and nothing paces it by the
# recorder: on a guest processor that other work starves, the frames pile up in the
# kernel's receive backlog (1000 frames) and candump's socket faster than candump is
# scheduled to take them, and a frame that does not fit is dropped without a word to
# either tool; and the whole replay had 30 s, however slow the guest (a busy machine
# once recorded 3 of 19,184). So the trace goes in pieces well inside the backlog, each
# sent once the recorder has written every frame of the one before, and a piece fails
# only when the recorder stops gaining frames, so a slow guest only takes longer. Every
# frame is still replayed and compared, in order.
PROBE_ID=7FF
RECORD_BUFFER_BYTES=33554432
REPLAY_TRIES=300
REPLAY_PIECE_FRAMES=200
# A piece that gains no recorded frame for this many tenths of a second is lost.
STALL_TENTHS=600
echo "(0000000000.000000) vcan2 $PROBE_ID#" > probe.log
./candump -L -r "$RECORD_BUFFER_BYTES" vcan2 > replayed.log 2> candump-stderr.txt &
recorder=$!
recorded() {
  grep -vc " $PROBE_ID#\$" replayed.log || true
}
# Runs a tool; on failure, says so with its status and its own error output.
run_tool() {
  what=$1
  shift
  "$@" 2> tool-stderr.txt
  tool_status=$?
  if [ "$tool_status" -ne 0 ]; then
    fail "$what failed (status $tool_status): $(cat tool-stderr.txt)"
    return 1
  fi
}
tries=0
until grep -q " $PROBE_ID#\$" replayed.log; do
  tries=$((tries + 1))
  if [ "$tries" -gt "$REPLAY_TRIES" ] || ! kill -0 "$recorder" 2>/dev/null; then
    fail "candump -L on vcan2 never recorded the probe frame: $(cat candump-stderr.txt)"
    break
  fi
  run_tool "canplayer (probe frame)" ./canplayer -I probe.log || break
  sleep 0.1
done
rm -f replay-piece-*.log
awk -v frames="$REPLAY_PIECE_FRAMES" \
  '/^\(/ { piece = sprintf("replay-piece-%06d.log", int(n++ / frames)); print > piece }' \
  update-trace.log
sent=0
for piece in replay-piece-*.log; do
  [ "$failed" -eq 0 ] || break
  run_tool "canplayer ($piece)" ./canplayer -t -g 0 -I "$piece" "vcan2=$utility_iface" || break
  sent=$((sent + $(wc -l < "$piece")))
  last=-1
  still=0
  while now=$(recorded) && [ "$now" -lt "$sent" ]; do
    if ! kill -0 "$recorder" 2>/dev/null; then
      fail "candump -L ended after $now of $sent frames: $(cat candump-stderr.txt)"
      break 2
    fi
    if [ "$now" -eq "$last" ]; then
      still=$((still + 1))
    else
      still=0
    fi
    if [ "$still" -gt "$STALL_TENTHS" ]; then
      fail "candump -L recorded $now of the $sent frames replayed, and no more"
      break 2
    fi
    last=$now
    sleep 0.1
  done
done
kill "$recorder"
wait "$recorder" 2>/dev/null
grep -v " $PROBE_ID#\$" replayed.log | awk '{ print $3 }' > replayed-frames.txt
if ! cmp -s update-frames.txt replayed-frames.txt; then
  fail "canplayer's replay recorded by candump -L differs from the trace (trace, then replay):"
  diff update-frames.txt replayed-frames.txt | head -n 20
  cat candump-stderr.txt
fi
if grep -v " $PROBE_ID#\$" replayed.log | awk '{ print $1 }' | grep -qv '^([0-9]\{10\}\.[0-9]\{6\})$'; then
  fail "candump -L stamps its lines otherwise than the trace does:"
  head -n 3 replayed.log
fi
echo "link trace: $frame_count frames, the same as the hand's, converted by log2asc, replayed by canplayer"
[ "$failed" -eq 0 ] && cat hand-report.txt
exit "$failed"
