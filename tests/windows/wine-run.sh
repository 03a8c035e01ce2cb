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

# A program on a terminal (an interactive test) runs as it is.
if [ -t 0 ] || [ -t 1 ]; then
  exec wine "$@"
fi

# The build and CTest read the output through pipes. About one start in a thousand,
# wine ends at once with status 1 and not a word, before the program runs; such a start
# is made again. The output is kept back until the program has ended, so that a start
# that said something is never repeated.
STARTS=3
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for ((start = 1; start <= STARTS; start++)); do
  status=0
  wine "$@" >"$out" 2>"$err" || status=$?
  if [ "$status" -ne 1 ] || [ -s "$out" ] || [ -s "$err" ]; then
    break
  fi
done
cat "$out"
cat "$err" >&2
exit "$status"
