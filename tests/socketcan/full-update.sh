#!/bin/sh
# Runs inside the test guest: full-update.sh NAME IMAGE, a complete update over vcan0.
# The simulated hand runs as its own process behind vcan0 and the utility updates it
# with IMAGE through the socketcan backend. Expected: standard output equal to
# expected/NAME.stdout byte for byte, nothing on standard error, and the hand's end
# state as after the same update in-process (expected/NAME.report): every controller
# in its main firmware with role code 5 stored, the image in flash and no bad or lost
# records.
set -u
name=$1
image=$2
expected_stdout=expected/$name.stdout
expected_report=expected/$name.report
ROLE_CODE_MASK=31
RESTORED_ROLE_CODE=5
DOVEL_COUNT=4
READY_TRIES=100

./dovel-sim-socketcan vcan0 > hand-ready.txt 2> hand-report.txt &
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
DOVEL_CAN=socketcan:vcan0 PATH="$PWD/build:$PATH" dovelflash "$image" </dev/null \
  > update-stdout.txt 2> update-stderr.txt
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
[ "$failed" -eq 0 ] && cat hand-report.txt
exit "$failed"
