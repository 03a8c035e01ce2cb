#!/bin/sh
# Updates every hand on a list of SocketCAN interfaces at once, one dovelflash per
# interface (one hand per bus), and prints one line per hand once all have ended, read
# from each run's record (DOVEL_REPORT), never from its console text:
#
#   examples/update-hands.sh IMAGE IFACE...
#
#   can0: 4 of 4 Dovels updated. VERS 0x323f 0x323f 0x323f 0x323f, image sha256 aef5...
#   can1: 3 of 4 Dovels updated. Dovel 13: FAILED - not found. VERS 0x323f 0x323f - 0x323f, image sha256 aef5... (see hands-20261209-101500/can1.log)
#   can2: not started: the CAN link did not start (see hands-20261209-101500/can2.log)
#
# Each hand's record goes to LOGS/IFACE.json, its console text to LOGS/IFACE.log, its
# diagnostics to LOGS/IFACE.err and its link trace to LOGS/IFACE.trace; LOGS is
# $DOVEL_LOG_DIR, by default hands-DATE-TIME in the working folder. $DOVELFLASH names the
# program (default: dovelflash from PATH). $DOVEL_DOWNLOAD (one-by-one, the default, or
# together: each hand's four downloads at once) goes to every run. Needs jq. Exit status:
# 0 when every hand was updated, 1 when any was not, 2 for a wrong command line or jq
# missing.
set -u

if [ "$#" -lt 2 ]; then
  echo "usage: update-hands.sh IMAGE IFACE..." >&2
  exit 2
fi
if ! command -v jq >/dev/null 2>&1; then
  echo "update-hands.sh: jq is missing (apt install jq): it reads the runs' records" >&2
  exit 2
fi
image=$1
shift
logs=${DOVEL_LOG_DIR:-hands-$(date +%Y%m%d-%H%M%S)}
# This script's own setting, not the utility's: each run would warn of it.
unset DOVEL_LOG_DIR
program=${DOVELFLASH:-dovelflash}
mkdir -p "$logs" || exit 2

# No prompt may wait for an operator: at the end of standard input the retry prompt is
# declined and the exit prompt ends the run.
runs=""
for iface in "$@"; do
  rm -f "$logs/$iface.json"
  DOVEL_CAN=socketcan:$iface DOVEL_EXIT_STATUS=report DOVEL_CAN_TRACE=$logs/$iface.trace \
    DOVEL_REPORT=$logs/$iface.json DOVEL_DOWNLOAD=${DOVEL_DOWNLOAD:-} \
    "$program" "$image" </dev/null >"$logs/$iface.log" 2>"$logs/$iface.err" &
  # An interface name never holds a colon.
  runs="$runs $iface:$!"
done

# The line of one record: the outcome, each controller that failed in the summary's words,
# the versions the final check read (- where none was read) and the image's hash.
LINE='
  def versions: [.dovels[] | .vers // "-"] | join(" ");
  if .result == "updated" or .result == "not_updated" then
    "\(.counts.updated) of \(.counts.dovels) Dovels updated."
    + ([.dovels[] | select(.outcome != "updated") | " Dovel \(.id): \(.summary)."] | join(""))
    + " VERS \(versions), image sha256 \(.image.sha256)"
    + (if .result == "updated" then "" else " (see \($log))" end)
  elif .result == "image_refused" then "not started: the image was refused: \(.image.problem)"
  elif .result == "settings_refused" then "not started: \(.refusals | join("; "))"
  elif .result == "link_not_started" then "not started: the CAN link did not start (see \($log))"
  elif .result == "interrupted" then "interrupted (see \($log)): run the update again"
  else "\(.result) (see \($log))"
  end'

all_updated=0
for run in $runs; do
  iface=${run%:*}
  wait "${run##*:}"
  status=$?
  log=$logs/$iface.log
  record=$logs/$iface.json
  line=""
  result=""
  if [ -s "$record" ]; then
    line=$(jq -r --arg log "$log" "$LINE" "$record" | tail -n 1)
    result=$(jq -r '.result' "$record" | tail -n 1)
  fi
  if [ -n "$line" ]; then
    echo "$iface: $line"
  else
    echo "$iface: ended with status $status before its record (see $log)"
  fi
  [ "$result" = updated ] && [ "$status" -eq 0 ] || all_updated=1
done
exit "$all_updated"
