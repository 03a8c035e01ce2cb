#!/usr/bin/env bash
# Builds dovelflash.exe and its tests for 64-bit Windows with mingw-w64 (preset
# "mingw", build-mingw/) and runs the tests under wine. Installs the Debian packages it
# needs when missing (run as root, or with sudo available). Exits non-zero when the
# build or any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# The -posix compilers: the win32-thread ones lack std::thread and std::mutex.
# googletest: its sources, built for Windows with the tests. tmux: a terminal for the
# console key test.
tools/install-packages.sh cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest tmux

echo "== Windows build (mingw-w64) and tests under wine"

# A prefix of the build's own, made once; wine's own messages are silenced and no
# display is used.
export WINEPREFIX="$PWD/build-mingw/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== making the wine prefix $WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
# The server stays up for the whole run, and wine's helper processes start here, not
# under CTest, which would otherwise wait for them after every test.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1

cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw

echo "== the slcan backend under wine: COM5 the simulated hand's pseudo-terminal"
tools/test-slcan-wine.sh
