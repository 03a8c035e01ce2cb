#!/bin/sh
# Updates every hand on a list of SocketCAN interfaces at once, one dovelflash per
# interface (one hand per bus), and prints one line per hand once all have ended:
#
#   examples/update-hands.sh IMAGE IFACE...
#
#   can0: 4 of 4 Dovels updated.
#   can1: 3 of 4 Dovels updated. (see hands-20261209-101500/can1.log)
#   can2: not started: [FAILED] can2 is in use by another dovelflash (process 4242)
#
# Each hand's console text goes to LOGS/IFACE.log, its diagnostics to LOGS/IFACE.err
# and its link trace to LOGS/IFACE.trace; LOGS is $DOVEL_LOG_DIR, by default
# hands-DATE-TIME in the working folder. $DOVELFLASH names the program (default:
# dovelflash from PATH). $DOVEL_DOWNLOAD (one-by-one, the default, or together: each
# hand's four downloads at once) goes to every run. Exit status: 0 when every hand was
# updated, 1 when any was not, 2 for a wrong command line.
set -u

if [ "$#" -lt 2 ]; then
  echo "usage: update-hands.sh IMAGE IFACE..." >&2
  exit 2
fi
image=$1
shift
logs=${DOVEL_LOG_DIR:-hands-$(date +%Y%m%d-%H%M%S)}
program=${DOVELFLASH:-dovelflash}
mkdir -p "$logs" || exit 2

# No prompt may wait for an operator: at the end of standard input the retry prompt is
# declined and the exit prompt ends the run. The exit status tells the outcome.
runs=""
for iface in "$@"; do
  DOVEL_CAN=socketcan:$iface DOVEL_EXIT_STATUS=report DOVEL_CAN_TRACE=$logs/$iface.trace \
    DOVEL_DOWNLOAD=${DOVEL_DOWNLOAD:-} "$program" "$image" </dev/null >"$logs/$iface.log" 2>"$logs/$iface.err" &
  # An interface name never holds a colon.
  runs="$runs $iface:$!"
done

all_updated=0
for run in $runs; do
  iface=${run%:*}
  wait "${run##*:}"
  status=$?
  log=$logs/$iface.log
  summary=$(grep 'Dovels updated\.$' "$log" | tail -n 1)
  refusal=$(sed -n 's/.*\(\[FAILED\].*\)/\1/p' "$log" | head -n 1)
  case $status in
    0) echo "$iface: $summary" ;;
    1) echo "$iface: $summary (see $log)" ;;
    2) echo "$iface: not started: $refusal" ;;
    *) echo "$iface: ended with status $status before its summary (see $log)" ;;
  esac
  [ "$status" -eq 0 ] || all_updated=1
done
exit "$all_updated"
