#!/usr/bin/env bash
# The link's trace read by the CAN tools themselves, as a technician would: a whole
# update of the simulated hand (DOVEL_CAN=sim:fast) with DOVEL_CAN_TRACE and the
# hand's own trace (DOVEL_SIM_TRACE), then Debian's python-can (CanutilsLogReader),
# log2long and log2asc each read the link's trace to its end and find every frame that
# crossed the bus: as many as the hand's own trace has lines, each one frame. The
# access code is masked in both traces, and an adapter status message is an error
# frame to each tool. Installs python3-can and can-utils when missing; builds
# dovelflash in DOVEL_BUILD_DIR (default build) when it is not there. Exits non-zero
# on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

tools/install-packages.sh python3-can can-utils

build=${DOVEL_BUILD_DIR:-build}
if [ ! -x "$build/dovelflash" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" --target dovelflash
fi
utility="$PWD/$build/dovelflash"
IMAGE=examples/dovel2.tek
# Debian's python-can, not one a Python version manager put first on PATH.
PYTHON=/usr/bin/python3
# Each controller is sent the five words of the access code twice: preparation and
# restoration.
UNLOCK_SETS=$((4 * 2 * 5))
# shellcheck source=tools/check-support.sh
source tools/check-support.sh

update() {  # NAME SIM_OPTIONS: a whole update with both traces, NAME.log and NAME.hand
  DOVEL_CAN=sim:fast${2:+,$2} DOVEL_CAN_TRACE="$scratch/$1.log" DOVEL_SIM_TRACE="$scratch/$1.hand" \
    "$utility" "$IMAGE" </dev/null >"$scratch/$1.out" 2>"$scratch/$1.err" || true
}

# python-can's count of what it reads, and how many of those it calls error frames.
python_can_reads() {  # trace file
  "$PYTHON" -c '
import sys, can
messages = list(can.CanutilsLogReader(sys.argv[1]))
print(len(messages), sum(1 for m in messages if m.is_error_frame))' "$1"
}

started=$(date +%s)
update plain ""
trace=$scratch/plain.log
expected=$(wc -l < "$scratch/plain.hand")
echo "   the hand's own trace: $expected frames on the bus"

check "the update ran to its end" grep -q '4 of 4 Dovels updated' "$scratch/plain.out"
check "the link's trace has a line for each frame on the bus" \
  test "$(wc -l < "$trace")" -eq "$expected" -a "$expected" -gt 70000
check "python-can's CanutilsLogReader reads every frame, none an error frame" \
  test "$(python_can_reads "$trace")" = "$expected 0"
check "log2long reads to the end" \
  bash -c "log2long < '$trace' > '$scratch/long.txt' 2> '$scratch/long.err' && ! [ -s '$scratch/long.err' ] &&
           [ \"\$(wc -l < '$scratch/long.txt')\" -eq $expected ]"
check "log2asc converts every frame of the interface sim under one date header" \
  bash -c "log2asc -I '$trace' -O '$scratch/t.asc' sim && [ \"\$(grep -c ' Rx ' '$scratch/t.asc')\" -eq $expected ] &&
           [ \"\$(grep -c '^date ' '$scratch/t.asc')\" -eq 1 ]"
check "the stamps are wall-clock seconds since the epoch, from the run's start" \
  awk -v start="$started" 'NR == 1 { exit !(substr($1, 2) + 0 >= start && substr($1, 2) + 0 < start + 3600) }' "$trace"
for file in "$trace" "$scratch/plain.hand"; do
  check "$(basename "$file"): every UNLOCK set carries the mask, none the code" \
    bash -c "[ \"\$(grep -cE '#8[8D][0-9A-F]{2}FFFF\$' '$file')\" -eq $UNLOCK_SETS ] &&
             ! grep -qE '#8[8D][0-9A-F]{2}([0-9A-E][0-9A-F]|F[0-9A-E])' '$file'"
done

update status "status=12"
check "an adapter status message is one error frame line" \
  test "$(grep -c ' 20000080#0000000800000000$' "$scratch/status.log")" -eq 1
check "python-can reads it as an error frame" \
  test "$(python_can_reads "$scratch/status.log" | cut -d ' ' -f 2)" -eq 1
check "log2asc writes it as an ErrorFrame" \
  bash -c "log2asc -I '$scratch/status.log' -O '$scratch/s.asc' sim && grep -q ' ErrorFrame' '$scratch/s.asc'"

if [ "$failed" -ne 0 ]; then
  echo "== trace tool tests FAILED"
  exit 1
fi
echo "== trace tool tests passed"
