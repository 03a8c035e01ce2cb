#!/bin/sh
# Runs inside the test guest: together.sh NAME IMAGE [OPTIONS]. An update with
# DOVEL_DOWNLOAD=together over vcan0, the simulated hand its own process behind it.
# Expected: "Downloads: together (4 of 4)" and "4 of 4 Dovels updated." in the console
# text, nothing on standard error, the hand's end state, flash included, as after the
# update one by one in-process (expected/NAME.report), and on the bus (candump) the four
# streams of characters interleaved: each controller's first character goes out before
# the last character of every other one.
# With OPTIONS (the hand's faults that a healthy hand may show: a stray ready frame, a
# slow controller) the walk may pair every controller or fall back one by one: either
# way every controller is updated with its flash exact, and nothing is lost.
set -u
name=$1
image=$2
options=${3:-}
expected_report=expected/$name.report
READY_TRIES=600
DOVEL_COUNT=4

rm -rf together
mkdir together
./candump -L vcan0 > together/bus.log 2> together/candump.err &
candump=$!
./dovel-sim-socketcan vcan0 $options > together/ready.txt 2> together/report.txt &
hand=$!
tries=0
until grep -q '^ready$' together/ready.txt; do
  tries=$((tries + 1))
  if [ "$tries" -gt "$READY_TRIES" ] || ! kill -0 "$hand" 2>/dev/null; then
    echo "the simulated hand did not start:"
    cat together/report.txt
    kill "$hand" "$candump" 2>/dev/null
    exit 1
  fi
  sleep 0.1
done

DOVEL_CAN=socketcan:vcan0 DOVEL_DOWNLOAD=together PATH="$PWD/build:$PATH" \
  dovelflash "$image" </dev/null > together/stdout.txt 2> together/stderr.txt
status=$?
kill -TERM "$hand"
wait "$hand"
kill "$candump"
wait "$candump" 2>/dev/null

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

[ "$status" -eq 0 ] || fail "dovelflash exited with status $status"
expected_lines='4 of 4 Dovels updated.'
[ -n "$options" ] || expected_lines="Downloads: together (4 of 4)
$expected_lines"
echo "$expected_lines" | while IFS= read -r line; do
  grep -qxF "$line" together/stdout.txt ||
    { echo "FAILED: no line \"$line\" in:"; sed -n '/^Summary/,$p' together/stdout.txt; exit 1; }
done || failed=1
if [ -s together/stderr.txt ]; then
  fail "dovelflash wrote on standard error:"
  head -n 20 together/stderr.txt
fi
if ! grep '^sim: dovel ' together/report.txt | cmp -s "$expected_report" -; then
  fail "the hand's end state differs from the update one by one in-process (expected, then got):"
  cat "$expected_report"
  grep '^sim: dovel ' together/report.txt
fi
# Character frames: one data byte from 0x30 to 0x7F to a controller.
if [ -z "$options" ] && ! awk -v dovels="$DOVEL_COUNT" '
  /^\(/ && $3 ~ /^00[B-E]#[3-7][0-9A-F]$/ {
    id = substr($3, 3, 1)
    if (!(id in first)) { first[id] = NR; ids++ }
    last[id] = NR
  }
  END {
    if (ids != dovels) exit 1
    for (a in first) for (b in first) if (first[a] > last[b]) exit 1
  }' together/bus.log; then
  fail "the bus does not show the four streams interleaved:"
  grep -nE '#8000AA00$' together/bus.log | head -n 8
  cat together/candump.err
fi
[ "$failed" -eq 0 ] && [ -n "$options" ] &&
  echo "4 of 4 updated with $options: $(grep '^Downloads:' together/stdout.txt)"
[ "$failed" -eq 0 ] && [ -z "$options" ] &&
  echo "4 of 4 updated together; vcan0 carried $(grep -cE '#[3-7][0-9A-F]$' together/bus.log) character frames, the four streams interleaved"
exit "$failed"
