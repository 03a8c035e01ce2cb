#!/usr/bin/env bash
# Runs a Windows program under wine in the build's own wine prefix:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# The build and CTest name it as their cross-compiling emulator. The prefix is made
# on first use; the wine server is kept alive, and its helper processes are started
# here with no ties to the caller's output, since a caller that reads a program's
# output (CTest) would otherwise wait for those helpers to end.
set -euo pipefail

prefix=$1
shift

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot -i </dev/null >/dev/null 2>&1
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi

# Exit status 0 means no server was running and one has just been started.
if wineserver -p </dev/null >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi

exec wine "$@"
