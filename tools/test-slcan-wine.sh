#!/usr/bin/env bash
# dovelflash.exe under wine updates the simulated hand through the slcan backend, COM5
# being the serial program's pseudo-terminal (the wine prefix's dosdevices/com5, made
# afresh for each run). Expected: the transcript and the hand's end state of the same
# program's in-process run (sim:fast). Needs the mingw build (build-mingw, made by
# tools/test-windows.sh) and the native build's serial program (DOVEL_BUILD_DIR,
# default build).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

repo=$PWD
native=$(realpath "${DOVEL_BUILD_DIR:-build}")
windows=$repo/build-mingw
QUICK_IMAGE_BYTES=1024
QUICK_IMAGE_SEED=6
LATENCY_US=300
RUN_LIMIT_S=300
READY_TRIES=100

if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$native" --target dovel-sim-slcan make-tek-image >/dev/null
cmake --build "$windows" --target dovelflash >/dev/null
source tools/check-support.sh

export WINEPREFIX="$windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
run_exe() { "$repo/tests/windows/wine-run.sh" "$WINEPREFIX" "$windows/dovelflash.exe" "$@"; }

cd "$scratch"
mkdir -p examples
"$native/make-tek-image" "$QUICK_IMAGE_BYTES" "$QUICK_IMAGE_SEED" examples/quick.tek
set +e
DOVEL_CAN=sim:fast run_exe examples/quick.tek </dev/null > sim.out 2> sim.err
set -e

com5="$WINEPREFIX/dosdevices/com5"
mkdir -p "$(dirname "$com5")"
rm -f "$com5"
"$native/tests/dovel-sim-slcan" "latency=$LATENCY_US" --link "$com5" > ready 2> report &
hand=$!
tries=0
until grep -q '^ready ' ready; do
  tries=$((tries + 1))
  [ "$tries" -le "$READY_TRIES" ] && kill -0 "$hand" 2>/dev/null || { cat report; exit 1; }
  sleep 0.1
done
set +e
DOVEL_CAN=slcan:COM5 timeout "$RUN_LIMIT_S" "$repo/tests/windows/wine-run.sh" "$WINEPREFIX" \
  "$windows/dovelflash.exe" examples/quick.tek </dev/null > slcan.out 2> slcan.err
set -e
kill -TERM "$hand"
wait "$hand" || true
rm -f "$com5"

same_transcript() {
  cmp -s sim.out slcan.out || { diff sim.out slcan.out | head -n 30; head -n 5 slcan.err; return 1; }
}
same_end_state() {
  grep '^sim: dovel ' sim.err | tr -d '\r' > sim.state || true
  grep '^sim: dovel ' report > slcan.state || true
  [ -s sim.state ] && cmp -s sim.state slcan.state || { diff sim.state slcan.state; return 1; }
}
check "wine, COM5: the transcript of the in-process run" same_transcript
check "wine, COM5: the hand's end state of the in-process run" same_end_state
exit "$failed"
