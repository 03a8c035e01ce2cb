#!/bin/sh
# Updates every hand on a list of SocketCAN interfaces at once, one dovelflash per
# interface (one hand per bus), and prints one line per hand once all have ended, read
# from each run's record (DOVEL_REPORT), never from its console text:
#
#   examples/update-hands.sh [--rerun-failed] IMAGE IFACE[=LABEL]...
#
#   can0: 4 of 4 Dovels updated. VERS 0x323f 0x323f 0x323f 0x323f, image sha256 aef5...
#   can1: 3 of 4 Dovels updated. Dovel 13: FAILED - not found. VERS 0x323f 0x323f - 0x323f, image sha256 aef5... (see hands-20261209-101500/can1.log)
#   can2: not started: the CAN link did not start (see hands-20261209-101500/can2.log)
#
# LABEL is the hand's label (its serial number), given to the run as DOVEL_HAND.
# Each hand's record goes to LOGS/IFACE.json, its console text to LOGS/IFACE.log, its
# diagnostics to LOGS/IFACE.err and its link trace to LOGS/IFACE.trace; LOGS is
# $DOVEL_LOG_DIR, by default hands-DATE-TIME in the working folder. $DOVELFLASH names the
# program (default: dovelflash from PATH). $DOVEL_DOWNLOAD (one-by-one, the default, or
# together: each hand's four downloads at once) goes to every run. Needs jq. Exit status:
# 0 when every hand was updated, 1 when any was not, 2 for a wrong command line or jq
# missing.
#
# --rerun-failed, with the DOVEL_LOG_DIR of the run before: each hand's last record names
# what is left to do. When it is a finished update of the same LABEL with the same image
# (sha256), only the controllers it did not call updated are updated (DOVEL_IDS=13), and a
# hand with none left is not run again ("nothing left to do"). A hand without such a
# record (none, an interrupted run, no label, another label or image) is updated whole.
set -u

rerun_failed=0
if [ "${1:-}" = --rerun-failed ]; then
  rerun_failed=1
  shift
fi
if [ "$#" -lt 2 ]; then
  echo "usage: update-hands.sh [--rerun-failed] IMAGE IFACE[=LABEL]..." >&2
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

# What the last record of a hand leaves to do with this image: "whole", "none", or the
# IDs of the controllers to update, as DOVEL_IDS takes them. A controller counts as left
# when a named one was not updated, or one not named does not run its main firmware or
# runs another version than those this run installed.
LEFT='
  if (.result != "updated" and .result != "not_updated") or .hand == null
     or .hand != $hand or .image.sha256 != $sha then "whole"
  else
    [.dovels[] | select(.named != false and .outcome == "updated") | .vers] as $new
    | [.dovels[] | . as $d
       | select(if .named == false
                then .check != "running" or
                     (($new | length) > 0 and ($new | map(select(. == $d.vers)) | length) == 0)
                else .outcome != "updated" end)
       | .id | tostring]
    | if length == 0 then "none" else join(",") end
  end'

image_sha256() {
  if command -v sha256sum >/dev/null 2>&1; then
    sha256sum <"$image" 2>/dev/null | cut -d ' ' -f 1
  elif command -v shasum >/dev/null 2>&1; then
    shasum -a 256 <"$image" 2>/dev/null | cut -d ' ' -f 1
  fi
}
sha=""
[ "$rerun_failed" -eq 0 ] || sha=$(image_sha256)

# No prompt may wait for an operator: at the end of standard input the retry prompt is
# declined and the exit prompt ends the run.
runs=""
for hand in "$@"; do
  iface=${hand%%=*}
  label=""
  [ "$iface" = "$hand" ] || label=${hand#*=}
  ids=${DOVEL_IDS:-}
  if [ "$rerun_failed" -eq 1 ]; then
    left=whole
    if [ -s "$logs/$iface.json" ] && [ -n "$label" ] && [ -n "$sha" ]; then
      left=$(tail -n 1 "$logs/$iface.json" |
        jq -r --arg hand "$label" --arg sha "$sha" "$LEFT" 2>/dev/null) || left=whole
    fi
    case $left in
      none)
        # Its record stays: the line below is read from it.
        runs="$runs $iface:none"
        continue
        ;;
      whole | "") ;;
      *) ids=$left ;;
    esac
  fi
  rm -f "$logs/$iface.json"
  DOVEL_CAN=socketcan:$iface DOVEL_EXIT_STATUS=report DOVEL_CAN_TRACE=$logs/$iface.trace \
    DOVEL_REPORT=$logs/$iface.json DOVEL_DOWNLOAD=${DOVEL_DOWNLOAD:-} DOVEL_HAND=${label:-${DOVEL_HAND:-}} \
    DOVEL_IDS=$ids "$program" "$image" </dev/null >"$logs/$iface.log" 2>"$logs/$iface.err" &
  # An interface name never holds a colon.
  runs="$runs $iface:$!"
done

# The line of one record: the outcome, each controller that failed in the summary's words,
# the versions the final check read (- where none was read) and the image's hash.
LINE='
  def versions: [.dovels[] | .vers // "-"] | join(" ");
  if .result == "updated" or .result == "not_updated" then
    (if .dovel_ids then "DOVEL_IDS=\(.dovel_ids | map(tostring) | join(",")): " else "" end)
    + "\(.counts.updated) of \(.counts.dovels) Dovels updated."
    + ([.dovels[] | select(.named != false and .outcome != "updated")
        | " Dovel \(.id): \(.summary)."] | join(""))
    + ([.dovels[] | select(.named == false and .check != "running")
        | " Dovel \(.id), not named: \(.check)."] | join(""))
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
  pid=${run##*:}
  status=0
  if [ "$pid" != none ]; then
    wait "$pid"
    status=$?
  fi
  log=$logs/$iface.log
  record=$logs/$iface.json
  line=""
  result=""
  if [ -s "$record" ]; then
    line=$(jq -r --arg log "$log" "$LINE" "$record" | tail -n 1)
    result=$(jq -r '.result' "$record" | tail -n 1)
  fi
  if [ "$pid" = none ]; then
    echo "$iface: nothing left to do: $line"
  elif [ -n "$line" ]; then
    echo "$iface: $line"
  else
    echo "$iface: ended with status $status before its record (see $log)"
  fi
  [ "$result" = updated ] && [ "$status" -eq 0 ] || all_updated=1
done
exit "$all_updated"
