#!/usr/bin/env bash
# Reads the run's records (DOVEL_REPORT) of the built utility (build/dovelflash) with
# Python's json module and with jq, as a production line would: an update, a failed
# update, --status, --check with a refused image, a refused command line, two processes
# appending at once, a label and a path that are no plain text, a record file refused
# with the settings, a reader that goes away, a run stopped by SIGTERM, and
# update-hands.sh over two hands, finishing a failed one with --rerun-failed. The counts and the
# exit status of each record must be the run's own. Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

tools/install-packages.sh jq python3 coreutils

DOVELFLASH=${DOVELFLASH:-$PWD/build/dovelflash}  # or another build of it
APPENDING_RUNS=100  # by each of two processes at once
if [ ! -x "$DOVELFLASH" ]; then
  echo "FAIL $DOVELFLASH is not built (cmake --preset default && cmake --build --preset default)"
  exit 1
fi
# shellcheck source=tools/check-support.sh
source tools/check-support.sh
cp examples/dovel2.tek "$scratch/dovel2.tek"
printf '%%not a record\n' >"$scratch/bad.tek"
hash=$(sha256sum examples/dovel2.tek | cut -d ' ' -f 1)

# One run in the scratch folder with its records in $scratch/NAME.jsonl: its status in
# $status, its output in $scratch/NAME.out and NAME.err. Then environment assignments,
# "--", and the utility's words.
run() {  # name, assignments..., --, words...
  local name=$1
  shift
  local assignments=()
  while [ "$1" != "--" ]; do
    assignments+=("$1")
    shift
  done
  shift
  rm -f "$scratch/$name.jsonl"
  (cd "$scratch" && env DOVEL_REPORT="$name.jsonl" "${assignments[@]}" "$DOVELFLASH" "$@" \
    </dev/null >"$name.out" 2>"$name.err")
  status=$?
}

# Every line of the file read by Python's json module (UTF-8, no raw control character
# in a string), then the expression true of rs, the records, and r, the last one.
python_reads() {  # name, expression
  python3 - "$scratch/$1.jsonl" "$2" <<'EOF'
import json, sys
text = open(sys.argv[1], encoding="utf-8", errors="strict").read()
assert text.endswith("\n"), "the last record has no line end"
rs = [json.loads(line) for line in text.split("\n")[:-1]]
r = rs[-1]
sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)
EOF
}
# The records read by jq, as one array; the filter must give true.
jq_reads() {  # name, filter
  jq -e -s "$2" "$scratch/$1.jsonl" >/dev/null
}
records_read() {  # name, python expression, jq filter
  python_reads "$1" "$2" && jq_reads "$1" "$3"
}

echo "== an update"
run update DOVEL_CAN=sim:fast DOVEL_EXIT_STATUS=report DOVEL_HAND=SN-0001 -- dovel2.tek
vers=$(sed -n 's/^Checking Dovel 1[1-4]\.\.\.\[OK\] main firmware, VERS \(0x[0-9a-f]*\)$/\1/p' \
  "$scratch/update.out" | sort -u)
check "it ends with status 0" test "$status" -eq 0
check "one record: updated, its counts and exit status the run's" records_read update \
  "len(rs) == 1 and r['result'] == 'updated' and r['counts']['updated'] == 4 and
   r['exit_status'] == $status and r['hand'] == 'SN-0001' and r['command'] == 'update'" \
  "length == 1 and (last | .result == \"updated\" and .counts.updated == 4 and
   .exit_status == $status and .backend == \"sim\" and .download_mode == \"one-by-one\")"
check "the image: its path, sha256sum's hash, its records and addresses" records_read update \
  "r['image']['path'] == 'dovel2.tek' and r['image']['sha256'] == '$hash' and
   r['image']['records'] == 512 and r['image']['lowest_address'] == '0x1000'" \
  "last.image | .sha256 == \"$hash\" and .bytes == $(wc -c <examples/dovel2.tek) and
   .verdict == \"passed\" and .problem == null"
check "each controller: updated, the VERS its check printed, ROLE with role code 5 stored" \
  records_read update \
  "[d['id'] for d in r['dovels']] == [11, 12, 13, 14] and
   all(d['vers'] == '$vers' and int(d['role_stored'], 16) & 31 == 5 and
       int(d['role_read'], 16) | 31 == int(d['role_stored'], 16) | 31 and
       d['characters'] > 0 and d['download_ms'] > 0 for d in r['dovels'])" \
  "[last.dovels[] | .outcome == \"updated\" and .summary == \"updated\" and .vers == \"$vers\"]
   | all and length == 4"
check "start and end in UTC, the end not before the start" records_read update \
  "r['start'].endswith('Z') and r['start'] <= r['end']" \
  "last | (.end | test(\"^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}Z$\")) and .start <= .end"

echo "== an update that fails for one controller"
run failed DOVEL_CAN=sim:fast,silent=13 DOVEL_EXIT_STATUS=report -- dovel2.tek
check "it ends with status 1" test "$status" -eq 1
check "Dovel 13 not found, in the summary's words; the counts and status the run's" \
  records_read failed \
  "r['result'] == 'not_updated' and r['counts'] == {'dovels': 4, 'updated': 3,
   'took_failed_image': 0, 'not_updated': 1} and r['exit_status'] == $status and
   r['dovels'][2]['outcome'] == 'not_found' and r['dovels'][2]['vers'] is None and
   r['dovels'][2]['role_read'] is None" \
  "last | .dovels[2].summary == \"FAILED - not found\" and .dovels[3].outcome == \"updated\"
   and .exit_status == $status"
check "the summary says the same" grep -qxF "Dovel 13: FAILED - not found" "$scratch/failed.out"

echo "== --status"
run status DOVEL_CAN=sim:fast -- --status
status_vers=$(sed -n 's/^Checking Dovel 11\.\.\.\[OK\] main firmware, VERS \(0x[0-9a-f]*\), .*/\1/p' \
  "$scratch/status.out")
check "one record of four running controllers, with their VERS and ROLE" records_read status \
  "len(rs) == 1 and r['command'] == 'status' and r['counts']['running'] == 4 and
   r['exit_status'] == $status == 0 and r['image'] is None and
   all(d['vers'] == '$status_vers' and d['role'] is not None for d in r['dovels'])" \
  "last | .result == \"all_running\" and ([.dovels[].outcome] == [\"running\",\"running\",
   \"running\",\"running\"])"

echo "== --check"
run check -- --check bad.tek
problem=$(sed -n 's/^Accessing firmware file: bad\.tek\.\.\.\[FAILED\] //p' "$scratch/check.out")
check "a refused image: its problem as the console gives it, and status 1" records_read check \
  "len(rs) == 1 and r['result'] == 'image_refused' and r['exit_status'] == $status == 1" \
  "last.image | .verdict == \"refused\" and .problem == \"$problem\" and .sha256 != null"
run checks -- --check dovel2.tek bad.tek
checked=$(grep -c '^Accessing firmware file: ' "$scratch/checks.out")
verdicts=$(sed -n 's/^Accessing firmware file: .*\.\.\.\[\(OK\|FAILED\)\].*/\1/p' \
  "$scratch/checks.out" | sed 's/OK/passed/; s/FAILED/refused/' | paste -sd ' ')
check "two images: one record for each image checked, in order, with the run's status" \
  records_read checks \
  "len(rs) == $checked and ' '.join(x['image']['verdict'] for x in rs) == '$verdicts' and
   all(x['exit_status'] == $status and x['counts']['images'] == $checked for x in rs)" \
  "length == $checked and (map(.image.path) == ([\"dovel2.tek\", \"bad.tek\"][:$checked]))"

echo "== a refused command line"
run refused DOVEL_CAN=sim:fast DOVEL_EXIT_STATUS=report -- dovel2.tek --check
check "it ends with status 2" test "$status" -eq 2
check "the record says why, with no image and no controller" records_read refused \
  "r['result'] == 'settings_refused' and r['exit_status'] == 2 and r['image'] is None and
   r['dovels'] == [] and '--check' in r['refusals'][0]" \
  "last | .backend == null and (.refusals | length) == 1"

echo "== two processes appending at once"
long_label=$(head -c 3000 /dev/zero | tr '\0' 'x')
append_runs() {
  for _ in $(seq "$APPENDING_RUNS"); do
    (cd "$scratch" && DOVEL_REPORT=shared.jsonl DOVEL_HAND="$1-$long_label" \
      "$DOVELFLASH" --check dovel2.tek >/dev/null 2>&1)
  done
}
rm -f "$scratch/shared.jsonl"
append_runs a &
first=$!
append_runs b
wait "$first"
check "only whole lines, every record read" records_read shared \
  "len(rs) == 2 * $APPENDING_RUNS and
   sorted(set(x['hand'][:2] for x in rs)) == ['a-', 'b-'] and
   all(x['hand'][2:] == '$long_label' for x in rs)" \
  "length == 2 * $APPENDING_RUNS and all(.image.sha256 == \"$hash\")"

echo "== a label and a path that are no plain text"
label=$'Q"b\\s\tt\xff'
path=$'we"ird\\na\tme\xfe.tek'
cp examples/dovel2.tek "$scratch/$path"
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
run strange "DOVEL_HAND=$label" -- --check "$path"
check "quotes, backslash and tab escaped, the stray byte U+FFFD, the bytes in _hex" \
  records_read strange \
  "r['hand'] == 'Q\"b\\\\s\\tt\ufffd' and r['hand_hex'] == '$(hex "$label")' and
   r['image']['path'] == 'we\"ird\\\\na\\tme\ufffd.tek' and
   r['image']['path_hex'] == '$(hex "$path")' and r['arguments'][1] == r['image']['path']" \
  ".[0] | .hand == \"Q\\\"b\\\\s\\tt\\ufffd\" and .image.path_hex == \"$(hex "$path")\" and
   .arguments[1] == .image.path and .image.verdict == \"passed\""

echo "== a record that cannot be written"
run unwritable DOVEL_REPORT=no-such-folder/records.jsonl DOVEL_EXIT_STATUS=report -- \
  --check dovel2.tek
check "refused with the other settings: status 1, its line, no record, nothing checked" \
  test "$status" -eq 1 -a "$(grep -c '^\[FAILED\] DOVEL_REPORT is "no-such-folder/records.jsonl": its folder no-such-folder does not exist' "$scratch/unwritable.out")" -eq 1 \
  -a ! -e "$scratch/no-such-folder" -a "$(grep -c 'Accessing' "$scratch/unwritable.out")" -eq 0
mkfifo "$scratch/pipe.jsonl"
run fifo DOVEL_REPORT=pipe.jsonl DOVEL_EXIT_STATUS=report -- dovel2.tek
check "a FIFO with no reader is refused before the link: status 2, no wait" \
  test "$status" -eq 2 -a "$(grep -c 'DOVEL_REPORT is "pipe.jsonl": it is a FIFO' "$scratch/fifo.out")" -eq 1

echo "== a reader that goes away, a run stopped in its download"
rm -f "$scratch/closed.jsonl"
(cd "$scratch" && DOVEL_REPORT=closed.jsonl DOVEL_CAN=sim:fast "$DOVELFLASH" --status \
  2>/dev/null | head -c1 >/dev/null)
check "--status | head -c1: one record of the whole check" records_read closed \
  "len(rs) == 1 and r['result'] == 'all_running' and r['exit_status'] == 0" \
  "length == 1 and (last | .counts.running == 4)"
rm -f "$scratch/stopped.jsonl"
# Real time: the first controller's flash erase holds its download long enough to stop it.
(cd "$scratch" && exec env DOVEL_REPORT=stopped.jsonl DOVEL_CAN=sim:erase=11:20000 \
  "$DOVELFLASH" dovel2.tek </dev/null >stopped.out 2>&1) &
stopped=$!
for _ in $(seq 300); do
  grep -q 'Downloading firmware to Dovel 11' "$scratch/stopped.out" 2>/dev/null && break
  sleep 0.1
done
kill -TERM "$stopped"
wait "$stopped"
check "stopped by SIGTERM" test "$?" -eq 143
check "the interrupted run's record: downloading 11, exit status null" records_read stopped \
  "len(rs) == 1 and r['result'] == 'interrupted' and r['phase'] == 'downloading' and
   r['signal'] == 'SIGTERM' and r['exit_status'] is None and
   [d['step'] for d in r['dovels']] == ['downloading', 'preparing', 'preparing', 'preparing']" \
  "length == 1 and (last | .dovels[0].download_started == true and .dovels[0].downloaded == false)"

echo "== examples/update-hands.sh reads the records"
# Three "interfaces", each a simulated hand: one updated, one with a silent controller,
# one whose link does not start.
cat >"$scratch/hands-dovelflash" <<EOF
#!/bin/sh
case \$DOVEL_CAN in
  socketcan:good) DOVEL_CAN=sim:fast ;;
  socketcan:faulty) DOVEL_CAN=sim:fast,silent=13 ;;
  *) DOVEL_CAN=sim:fast,unplug-after=0 ;;
esac
export DOVEL_CAN
exec "$DOVELFLASH" "\$@"
EOF
chmod +x "$scratch/hands-dovelflash"
hands=$scratch/hands
DOVELFLASH=$scratch/hands-dovelflash DOVEL_LOG_DIR=$hands \
  sh examples/update-hands.sh "$scratch/dovel2.tek" good faulty gone >"$scratch/hands.out" 2>&1
status=$?
printf '%s\n' \
  "good: 4 of 4 Dovels updated. VERS $vers $vers $vers $vers, image sha256 $hash" \
  "faulty: 3 of 4 Dovels updated. Dovel 13: FAILED - not found. VERS $vers $vers - $vers, image sha256 $hash (see $hands/faulty.log)" \
  "gone: not started: the CAN link did not start (see $hands/gone.log)" >"$scratch/hands.expected"
check "one line per hand, from its record" diff "$scratch/hands.expected" "$scratch/hands.out"
check "status 1: not every hand was updated" test "$status" -eq 1
mkdir "$scratch/no-jq"
env PATH="$scratch/no-jq" /bin/sh examples/update-hands.sh dovel2.tek can0 2>"$scratch/no-jq.err"
check "without jq it says so and ends with status 2" \
  test "$?" -eq 2 -a "$(grep -c 'jq is missing' "$scratch/no-jq.err")" -eq 1

echo "== update-hands.sh --rerun-failed finishes only what the last records left"
# Two hands with state files; Dovel 13 of the second stalls in the first pass only.
cat >"$scratch/line-dovelflash" <<EOF
#!/bin/sh
hand=\${DOVEL_CAN#socketcan:}
fault=
[ "\$hand" = faulty ] && [ ! -e "$scratch/line-mended" ] && fault=stall=13:500,
DOVEL_CAN=sim:fast,\${fault}state=$scratch/line-\$hand.state
export DOVEL_CAN
exec "$DOVELFLASH" "\$@"
EOF
chmod +x "$scratch/line-dovelflash"
line=$scratch/line
jq_true() {  # file, filter
  jq -e "$2" "$1" >/dev/null
}
line_pass() {  # the hands' words
  DOVELFLASH=$scratch/line-dovelflash DOVEL_LOG_DIR=$line \
    sh examples/update-hands.sh --rerun-failed "$scratch/dovel2.tek" "$@" >"$scratch/line.out" 2>&1
  status=$?
}
line_pass good=SN-1 faulty=SN-2
check "first pass, without records: both hands whole, Dovel 13 fails" \
  grep -q "^faulty: 3 of 4 Dovels updated. Dovel 13: FAILED - download stopped" "$scratch/line.out"
check "first pass: status 1" test "$status" -eq 1
touch "$scratch/line-mended"
line_pass good=SN-1 faulty=SN-2
all_vers="$vers $vers $vers $vers, image sha256 $hash"
printf '%s\n' "good: nothing left to do: 4 of 4 Dovels updated. VERS $all_vers" \
  "faulty: DOVEL_IDS=13: 1 of 1 Dovels updated. VERS $all_vers" >"$scratch/line.expected"
check "second pass: only Dovel 13 of the second hand is updated" \
  diff "$scratch/line.expected" "$scratch/line.out"
check "second pass: status 0" test "$status" -eq 0
check "its record: DOVEL_IDS 13, the others not named and running" jq_true "$line/faulty.json" \
  '.dovel_ids == [13] and .result == "updated" and .counts.not_named_running == 3 and
   ([.dovels[] | select(.named == false) | .check] == ["running", "running", "running"])'
# Frames to Dovels 11, 12 and 14 (IDs 00B, 00C, 00E): get requests of ID, ROLE, STATUS
# and VERS only.
writes=$(awk '/^\(/ { split($3, f, "#")
  if ((f[1] == "00B" || f[1] == "00C" || f[1] == "00E") &&
      f[2] != "00" && f[2] != "01" && f[2] != "03" && f[2] != "05") print }' "$line/faulty.trace")
check "nothing but get requests to Dovels 11, 12 and 14" test -z "$writes"
line_pass good=SN-1 faulty=SN-3
check "another label: that hand whole again" \
  grep -qxF "faulty: 4 of 4 Dovels updated. VERS $all_vers" "$scratch/line.out"

if [ "$failed" -ne 0 ]; then
  echo "== run record checks FAILED"
  exit 1
fi
echo "== run record checks passed"
