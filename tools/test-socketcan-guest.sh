#!/usr/bin/env bash
# The SocketCAN tests on a real kernel CAN stack, in a qemu guest booted from
# Debian's kernel, so that they run on machines whose own kernel has no CAN support.
# Installs what is missing, builds what the guest runs, boots the guest once and runs
# every SocketCAN test in it; exits non-zero on any failure.
# DOVEL_BUILD_DIR names the build folder (default build); DOVEL_GUEST_SMP the number
# of guest processors (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${DOVEL_BUILD_DIR:-build}
guest="$build/socketcan-guest"
# The guest's update: an exchange of frames between two processes takes about three
# times as long in the emulated machine as the real-time hand needs, so its image is
# small (the guest run, with the same update again over the emulated SJA1000
# controllers and vcan0 taken away twice, takes about two minutes);
# DOVEL_GUEST_FULL_UPDATE=1 adds the complete update with the full example image,
# checked against the golden transcript (three to four minutes more).
# The bounds hold for a guest that shares its host's processors with other work (a
# build on every core makes the emulated machine several times slower); a quiet host
# needs a third of them. Every wait inside the guest is bounded by progress, not time.
GUEST_TIMEOUT_S=900
FULL_UPDATE_TIMEOUT_S=1500
QUICK_IMAGE_BYTES=1024
QUICK_IMAGE_SEED=6
# The link taken away during Dovel 11's download: an image whose download lasts a few
# seconds in the guest, long enough to act in the middle of it.
LINK_GONE_IMAGE_BYTES=4096
FULL_IMAGE=examples/dovel2.tek
GOLDEN_TRANSCRIPT=tests/golden/full_update_stdout.txt
GUEST_MODULES="can can-raw can-dev vcan sja1000 kvaser_pci"
# Two emulated SJA1000 controllers (can0, can1) on one emulated bus.
CAN_DEVICES=(-object can-bus,id=canbus0
             -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0)

tools/install-packages.sh qemu-system-x86 busybox-static cpio iproute2 can-utils jq

echo "== guest runner self-test"
tools/socketcan-guest/test-run-guest.sh

echo "== guest kernel"
tools/socketcan-guest/fetch-kernel.sh "$guest/kernel"

echo "== programs for the guest"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target dovelflash socketcan_guest_tests dovel-sim-socketcan make-tek-image
payload="$guest/payload"
rm -rf "$payload"
mkdir -p "$payload/build" "$payload/examples" "$payload/expected"
cp tests/socketcan/guest-run.sh "$payload/run.sh"
cp tests/socketcan/full-update.sh "$payload/"
cp "$build/tests/socketcan/socketcan_guest_tests" "$build/tests/socketcan/dovel-sim-socketcan" \
  "$payload/"
# iproute2's ip sets a controller's bit rate, which busybox's cannot; log2asc,
# canplayer and candump check the link trace. Their libraries come along (run-guest.sh).
cp "$(type -P ip)" "$payload/iproute-ip"
for tool in log2asc canplayer candump; do
  cp "$(type -P "$tool")" "$payload/$tool"
done
# The updates run as "dovelflash examples/IMAGE" from the payload folder, in the guest
# as here, so that the argument lines of the transcripts agree.
cp "$build/dovelflash" "$payload/build/"
# Several hands at once: the bench script and jq, which reads the runs' records for it,
# and candump to watch a bus in use.
cp tests/socketcan/two-hands.sh examples/update-hands.sh "$payload/"
cp "$(type -P jq)" "$payload/build/jq"
cp "$(type -P candump)" "$payload/candump"
# The interface deleted or set down during a download.
cp tests/socketcan/link-gone.sh "$payload/"
# Two users on one interface.
cp tests/socketcan/two-users.sh "$payload/"
# The four downloads at once.
cp tests/socketcan/together.sh "$payload/"
"$build/make-tek-image" "$QUICK_IMAGE_BYTES" "$QUICK_IMAGE_SEED" "$payload/examples/quick.tek"
"$build/make-tek-image" "$LINK_GONE_IMAGE_BYTES" "$QUICK_IMAGE_SEED" "$payload/examples/link-gone.tek"
echo "quick examples/quick.tek" > "$payload/updates.txt"
if [ "${DOVEL_GUEST_FULL_UPDATE:-0}" = 1 ]; then
  cp "$FULL_IMAGE" "$payload/examples/dovel2.tek"
  echo "full examples/dovel2.tek" >> "$payload/updates.txt"
  GUEST_TIMEOUT_S=$FULL_UPDATE_TIMEOUT_S
fi

echo "== the same updates in-process, for the expected transcripts and end states"
while read -r name image; do
  (cd "$payload" && DOVEL_CAN=sim:fast PATH="$PWD/build:$PATH" dovelflash "$image" </dev/null \
    > "expected/$name.stdout" 2> "expected/$name.stderr")
  grep '^sim: dovel ' "$payload/expected/$name.stderr" > "$payload/expected/$name.report" || true
done < "$payload/updates.txt"
if [ -f "$payload/examples/dovel2.tek" ]; then
  if [ -f "$GOLDEN_TRANSCRIPT" ]; then
    cp "$GOLDEN_TRANSCRIPT" "$payload/expected/full.stdout"
  else
    echo "   (no $GOLDEN_TRANSCRIPT yet: the in-process transcript is the expected one)"
  fi
fi

echo "== SocketCAN tests in the guest"
start=$(date +%s)
status=0
tools/socketcan-guest/run-guest.sh --kernel "$guest/kernel" --payload "$payload" \
  --modules "$GUEST_MODULES" --timeout "$GUEST_TIMEOUT_S" --work "$guest/work" \
  -- -smp "${DOVEL_GUEST_SMP:-1}" "${CAN_DEVICES[@]}" || status=$?
echo "== guest run took $(($(date +%s) - start)) s"
if [ "$status" -ne 0 ]; then
  echo "== SocketCAN tests FAILED (status $status)"
  exit 1
fi
echo "== SocketCAN tests passed"
