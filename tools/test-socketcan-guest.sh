#!/usr/bin/env bash
# The SocketCAN tests on a real kernel CAN stack, in a qemu guest booted from
# Debian's kernel, so that they run on machines whose own kernel has no CAN support.
# Installs what is missing, builds what the guest runs, boots the guest once and runs
# every SocketCAN test in it; exits non-zero on any failure.
# DOVEL_BUILD_DIR names the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${DOVEL_BUILD_DIR:-build}
guest="$build/socketcan-guest"
GUEST_TIMEOUT_S=300
GUEST_MODULES="can can-raw can-dev vcan sja1000 kvaser_pci"
# Two emulated SJA1000 controllers (can0, can1) on one emulated bus.
CAN_DEVICES=(-object can-bus,id=canbus0
             -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0)

packages=(qemu-system-x86 busybox-static cpio iproute2)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "== guest runner self-test"
tools/socketcan-guest/test-run-guest.sh

echo "== guest kernel"
tools/socketcan-guest/fetch-kernel.sh "$guest/kernel"

echo "== programs for the guest"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target dovelflash socketcan_guest_tests
payload="$guest/payload"
rm -rf "$payload"
mkdir -p "$payload"
cp tests/socketcan/guest-run.sh "$payload/run.sh"
cp "$build/tests/socketcan/socketcan_guest_tests" "$build/dovelflash" "$payload/"
cp "$(type -P ip)" "$payload/iproute-ip"

echo "== SocketCAN tests in the guest"
start=$(date +%s)
status=0
tools/socketcan-guest/run-guest.sh --kernel "$guest/kernel" --payload "$payload" \
  --modules "$GUEST_MODULES" --timeout "$GUEST_TIMEOUT_S" --work "$guest/work" \
  -- "${CAN_DEVICES[@]}" || status=$?
echo "== guest run took $(($(date +%s) - start)) s"
if [ "$status" -ne 0 ]; then
  echo "== SocketCAN tests FAILED (status $status)"
  exit 1
fi
echo "== SocketCAN tests passed"
