#!/usr/bin/env bash
# The slcan backend over pseudo-terminals to the simulated hand's serial program
# (dovel-sim-slcan), as a bench runs it: a whole update, --status and a fault row, each
# against the same run in-process; a second run on the same port refused; the port
# removed in the middle of a download; and python-can's own slcan interface as another
# host of the serial program, finding controller 11 by its ID.
# DOVEL_BUILD_DIR names the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

build=$(realpath "${DOVEL_BUILD_DIR:-build}")
# A small image: the serial program runs in real time, and the fixed waits of an update
# (3000 ms twice, 1000 ms after each download) are most of its time.
QUICK_IMAGE_BYTES=1024
QUICK_IMAGE_SEED=6
# Adapter latency of a USB round trip's order, in microseconds.
LATENCY_US=300
# Frames on the bus before the adapter is pulled out: in Dovel 11's download.
UNPLUG_AFTER_FRAMES=400
RUN_LIMIT_S=120
READY_TRIES=100

tools/install-packages.sh python3 python3-can
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target dovelflash dovel-sim-slcan make-tek-image >/dev/null
source tools/check-support.sh

sim="$build/tests/dovel-sim-slcan"
cd "$scratch"
mkdir -p examples bin
ln -s "$build/dovelflash" bin/dovelflash
"$build/make-tek-image" "$QUICK_IMAGE_BYTES" "$QUICK_IMAGE_SEED" examples/quick.tek
export PATH="$scratch/bin:$PATH"

# Starts the serial program with the hand's options; sets hand (its process) and port.
start_hand() {  # name, options
  "$sim" "$2" --link "$scratch/$1.port" > "$1.ready" 2> "$1.report" &
  hand=$!
  local tries=0
  until grep -q '^ready ' "$1.ready"; do
    tries=$((tries + 1))
    if [ "$tries" -gt "$READY_TRIES" ] || ! kill -0 "$hand" 2>/dev/null; then
      echo "the serial hand did not start:"
      cat "$1.report"
      exit 1
    fi
    sleep 0.1
  done
  port=$(sed -n 's/^ready //p' "$1.ready")
}

stop_hand() {
  kill -TERM "$hand" 2>/dev/null || true
  wait "$hand" || true
}

# One run in-process (sim:fast) and the same over the serial line: name, options, args.
# Leaves NAME.{sim,slcan}.{out,err,status} and the serial hand's NAME.report.
run_both() {
  local name=$1 options=$2
  shift 2
  set +e
  DOVEL_CAN="sim:fast${options:+,$options}" dovelflash "$@" </dev/null \
    > "$name.sim.out" 2> "$name.sim.err"
  echo $? > "$name.sim.status"
  start_hand "$name" "latency=$LATENCY_US${options:+,$options}"
  DOVEL_CAN="slcan:$scratch/$name.port" timeout "$RUN_LIMIT_S" dovelflash "$@" </dev/null \
    > "$name.slcan.out" 2> "$name.slcan.err"
  echo $? > "$name.slcan.status"
  set -e
  stop_hand
}

same_transcript() {  # name
  cmp -s "$1.sim.out" "$1.slcan.out" && cmp -s "$1.sim.status" "$1.slcan.status" ||
    { diff "$1.sim.out" "$1.slcan.out" | head -n 30; return 1; }
}

same_end_state() {  # name
  grep '^sim: dovel ' "$1.sim.err" > "$1.sim.state" || true
  grep '^sim: dovel ' "$1.report" > "$1.slcan.state" || true
  [ -s "$1.sim.state" ] && cmp -s "$1.sim.state" "$1.slcan.state" ||
    { diff "$1.sim.state" "$1.slcan.state"; return 1; }
}

nothing_on_stderr() {  # name
  [ ! -s "$1.slcan.err" ] || { head -n 10 "$1.slcan.err"; return 1; }
}

echo "== the whole update"
run_both update "" examples/quick.tek
check "update: the transcript of the in-process run" same_transcript update
check "update: the hand's end state of the in-process run" same_end_state update
check "update: nothing on standard error" nothing_on_stderr update
check "update: every controller updated" \
  test "$(grep -c ' main .* bad=0 lost=0' update.report)" -eq 4

echo "== --status"
run_both status "" --status
check "--status: the transcript and exit status of the in-process run" same_transcript status
check "--status: exit status 0" grep -qx 0 status.slcan.status

echo "== a controller that never answers"
run_both silent "silent=13" examples/quick.tek
check "silent=13: the transcript of the in-process run" same_transcript silent
check "silent=13: the hand's end state of the in-process run" same_end_state silent

echo "== a second run on the same port"
start_hand busy "latency=$LATENCY_US"
DOVEL_CAN="slcan:$scratch/busy.port" dovelflash examples/quick.tek </dev/null \
  > busy.first.out 2> busy.first.err &
first=$!
tries=0
until grep -q '^CAN device initialized\.$' busy.first.out || [ "$tries" -gt 600 ]; do
  tries=$((tries + 1))
  sleep 0.1
done
set +e
# By the pseudo-terminal's own name: one device, one lock, whatever name it is given.
printf 'n' | DOVEL_CAN="slcan:$port" dovelflash --status > busy.second.out 2> busy.second.err
second_status=$?
set -e
check "a second run on the port is refused, naming the first" \
  grep -qxF "[FAILED] $port is in use by process $first of user $(id -un)" busy.second.out
check "the refused run exits with status 1" test "$second_status" -eq 1
wait "$first" || true
check "the first run goes on to the end" grep -q '^Done\.$' busy.first.out
stop_hand

echo "== the port removed in the middle of a download"
start_hand unplug "latency=$LATENCY_US,unplug-after=$UNPLUG_AFTER_FRAMES"
set +e
DOVEL_CAN="slcan:$port" timeout "$RUN_LIMIT_S" dovelflash examples/quick.tek </dev/null \
  > unplug.out 2> unplug.err
unplug_status=$?
set -e
stop_hand
check "the run ends by itself after the port is gone" test "$unplug_status" -ne 124
check "the run names the link lost, with the port" \
  grep -qF "the CAN link is down ($port: " unplug.out
first_failed_download() {
  awk '/^Downloading firmware to Dovel/ { dovel = $NF }
       /^Download FAILED: the CAN link is down/ { print dovel; exit }' unplug.out
}
check "the download it was in is the one that failed first" \
  test "$(first_failed_download)" = 11

echo "== python-can's slcan interface as the host"
start_hand pycan ""
# Debian's python, which has Debian's python3-can.
check "python-can finds controller 11 by its ID" /usr/bin/python3 - "$scratch/pycan.port" <<'PY'
import sys
import can

PROPERTY_ID = 3
REPLY_VALID = 0x80
with can.Bus(interface="slcan", channel=sys.argv[1], bitrate=1000000) as bus:
    bus.send(can.Message(arbitration_id=11, is_extended_id=False, data=[PROPERTY_ID]))
    reply = bus.recv(timeout=2.0)
    assert reply is not None, "no reply"
    assert not reply.is_extended_id and not reply.is_error_frame, reply
    assert reply.data[0] & REPLY_VALID, reply
    value = int.from_bytes(reply.data[2:reply.dlc], "little") if reply.dlc > 2 else None
    print(f"   reply {reply.arbitration_id:03X}#{reply.data.hex().upper()}")
    assert value == 11, f"ID read as {value}"
PY
stop_hand

exit "$failed"
