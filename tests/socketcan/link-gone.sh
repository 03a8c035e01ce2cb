#!/bin/sh
# Runs inside the test guest: link-gone.sh IMAGE delete|down. An update over vcan0, the
# simulated hand its own process behind it, and during Dovel 11's download the
# interface is deleted (what pulling out a USB adapter does) or set down. vcan0 is up
# again afterwards, as the later tests expect.
# Expected: the run ends within LINK_GONE_LIMIT_MS of the interface going (no wait of
# the walks follows the loss), with exit status 1 (DOVEL_EXIT_STATUS=report); its console names
# the link where Dovel 11's verdict stands and in the advice, the summary calls every
# controller cut short by the link, and no controller "stopped replying".
set -u
image=$1
how=$2
IFACE=vcan0
# The first progress line of the run is Dovel 11's: its download is under way.
PROGRESS_MARK='Download progress: 5%'
LINK_GONE_LIMIT_MS=30000
# Past this the run counts as hung and is ended, so that the guest run goes on.
HUNG_LIMIT_S=90
READY_TRIES=600
PROGRESS_TRIES=1200
STATUS_NOT_ALL_UPDATED=1
DOVEL_COUNT=4

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

# Milliseconds since boot: the guest's busybox date has no nanoseconds; the kernel's
# uptime counts in hundredths of a second.
now_ms() {
  awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime
}

case "$how" in
  delete)
    take_link() { ip link delete "$IFACE"; }
    reasons='Network is down|No such device|No such device or address'
    ;;
  down)
    take_link() { ip link set "$IFACE" down; }
    reasons='Network is down'
    ;;
  *) echo "usage: link-gone.sh IMAGE delete|down"; exit 2 ;;
esac

run=link-$how
rm -rf "$run"
# Waits for a line matching PATTERN in FILE, PAUSE seconds a try, while process PID
# lives; at TRIES tries, or when it dies, prints WHY and the files shown, ends the
# processes named after "--" and the script.
await_line() {  # file pattern pause tries pid why files... -- pids...
  local file=$1 pattern=$2 pause=$3 most=$4 pid=$5 why=$6 tries=0
  shift 6
  until grep -q "$pattern" "$file" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt "$most" ] || ! kill -0 "$pid" 2>/dev/null; then
      echo "$why:"
      while [ "$1" != "--" ]; do
        cat "$1"
        shift
      done
      shift
      kill "$@" 2>/dev/null
      exit 1
    fi
    sleep "$pause"
  done
}

mkdir "$run"
ip link show "$IFACE" > /dev/null 2>&1 || ip link add dev "$IFACE" type vcan
ip link set "$IFACE" up
./dovel-sim-socketcan "$IFACE" > "$run/hand-ready.txt" 2> "$run/hand-report.txt" &
hand=$!
await_line "$run/hand-ready.txt" '^ready$' 0.1 "$READY_TRIES" "$hand" \
  "the simulated hand did not start" "$run/hand-report.txt" -- "$hand"

DOVEL_CAN=socketcan:$IFACE DOVEL_EXIT_STATUS=report PATH="$PWD/build:$PATH" \
  dovelflash "$image" </dev/null > "$run/stdout.txt" 2> "$run/stderr.txt" &
update=$!
await_line "$run/stdout.txt" "$PROGRESS_MARK" 0.05 "$PROGRESS_TRIES" "$update" \
  "Dovel 11's download did not get under way" "$run/stdout.txt" "$run/stderr.txt" -- \
  "$update" "$hand"
gone_ms=$(now_ms)
take_link
(sleep "$HUNG_LIMIT_S" && kill "$update") 2>/dev/null &
watchdog=$!
wait "$update"
status=$?
ended_ms=$(now_ms)
kill "$watchdog" 2>/dev/null
kill -TERM "$hand"
wait "$hand"
[ "$how" = delete ] && ip link add dev "$IFACE" type vcan
ip link set "$IFACE" up

took_ms=$((ended_ms - gone_ms))
echo "the run ended $took_ms ms after $IFACE went ($how)"
[ "$took_ms" -lt "$LINK_GONE_LIMIT_MS" ] ||
  fail "the run ended $took_ms ms after the link went, not within $LINK_GONE_LIMIT_MS ms"
[ "$status" -eq "$STATUS_NOT_ALL_UPDATED" ] || fail "dovelflash exited with status $status"
out=$run/stdout.txt
# Each line's text up to the interface's reason, which the kernel words.
for line in "Download FAILED: the CAN link is down ($IFACE: " \
  "Dovel 11: FAILED - the CAN link went down: download stopped at " \
  "Dovel 12: FAILED - the CAN link went down: download not started" \
  "Dovel 13: FAILED - the CAN link went down: download not started" \
  "Dovel 14: FAILED - the CAN link went down: download not started" \
  "Checking Dovel 11...not checked: the CAN link went down ($IFACE: " \
  "Checking Dovel 12...not checked: the CAN link went down ($IFACE: " \
  "Checking Dovel 13...not checked: the CAN link went down ($IFACE: " \
  "Checking Dovel 14...not checked: the CAN link went down ($IFACE: " \
  "0 of 4 Dovels updated." \
  "The CAN link went down ($IFACE: "; do
  grep -qF "$line" "$out" || fail "standard output lacks '$line'"
done
downloads=$(grep -c "^Download FAILED: the CAN link is down ($IFACE: " "$out")
[ "$downloads" -eq "$DOVEL_COUNT" ] ||
  fail "$downloads downloads, not $DOVEL_COUNT, end with the link down"
! grep -q 'stopped replying' "$out" || fail "a controller is said to have stopped replying:" \
  "$(grep 'stopped replying' "$out")"
# What the kernel tells of the interface: a deleted one is first set down, so the
# first error may still be ENETDOWN; then ENODEV, and ENXIO for a send on the socket
# the deletion unbound.
grep -oE "link (is|went) down \($IFACE: [^)]*\)" "$out" > "$run/reasons.txt"
if grep -vE "\($IFACE: ($reasons)\)\$" "$run/reasons.txt" > "$run/other-reasons.txt"; then
  fail "reasons other than '$reasons':" "$(sort -u "$run/other-reasons.txt")"
fi
sed 's/.*(//; s/)$//' "$run/reasons.txt" | sort | uniq -c
if [ "$failed" -ne 0 ]; then
  echo "-- standard output:"
  cat "$out"
  echo "-- standard error:"
  head -n 20 "$run/stderr.txt"
fi
exit "$failed"
