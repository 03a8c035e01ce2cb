#!/bin/sh
# Runs inside the test guest: two-users.sh IMAGE. Root updates the hand on vcan0 under
# umask 077, with /run/lock at 0755 as on most distributions; meanwhile a second user
# (nobody, uid 65534) starts an update and a status check on vcan0 and a status check
# on an alternative name of vcan0; then root's run is killed with SIGKILL. Then root
# starts on an interface that is missing, and retries once it is there.
# Expected: each of the second user's runs refused with the line naming root's process
# and user, before CAN_Init (no trace opened, no frame of theirs on the bus); after the
# kill the second user's status check takes vcan0; the late interface is root's once
# its retry took it; nothing named dovelflash is left in /run/lock, /var/lock or /tmp.
set -u
image=$1
IFACE=vcan0
ALTNAME=handbus0
READY_TRIES=600
STARTED_TRIES=600
STATUS_NOT_ALL_RUNNING=1

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

await_line() {  # file pattern
  tries=0
  until grep -q "$2" "$1" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le "$STARTED_TRIES" ] || { echo "no '$2' in $1:"; cat "$1"; exit 1; }
    sleep 0.1
  done
}

# A run of dovelflash as the second user; its traces go where that user may write.
as_nobody() {  # setting out args...
  setting=$1 out=$2
  shift 2
  su -p -s /bin/sh nobody -c "DOVEL_CAN=$setting DOVEL_CAN_TRACE=/tmp/users/$out.trace \
    ./build/dovelflash $*" </dev/null > "users/$out.out" 2> "users/$out.err"
}

mkdir -p /run/lock /var/lock
chmod 0755 /run/lock
rm -rf users /tmp/users
mkdir users /tmp/users
chmod 1777 /tmp /tmp/users
./iproute-ip link property add dev "$IFACE" altname "$ALTNAME" || fail "no alternative name"
./candump -L "$IFACE" > users/bus 2> users/candump.err &
candump=$!
./dovel-sim-socketcan "$IFACE" > users/hand-ready 2> users/hand-report &
hand=$!
await_line users/hand-ready '^ready$'

sh -c "umask 077 && exec env DOVEL_CAN=socketcan:$IFACE DOVEL_CAN_TRACE=users/root.trace \
  ./build/dovelflash $image" </dev/null > users/root.out 2> users/root.err &
root=$!
await_line users/root.out '^CAN device initialized\.$'

refusal="[FAILED] $IFACE is in use by process $root of user root"
as_nobody "socketcan:$IFACE" update "$image"
as_nobody "socketcan:$IFACE" status --status
status_status=$?
as_nobody "socketcan:$ALTNAME" altname --status
grep -qxF "$refusal" users/update.out || fail "the second user's update:" "$(cat users/update.out)"
grep -qxF "$refusal" users/status.out || fail "the second user's status check:" "$(cat users/status.out)"
[ "$status_status" -eq "$STATUS_NOT_ALL_RUNNING" ] || fail "the refused status check's status is $status_status"
grep -qxF "[FAILED] $ALTNAME is in use by process $root of user root" users/altname.out ||
  fail "vcan0 by its alternative name:" "$(cat users/altname.out)"
for run in update status altname; do
  ! grep -q 'SUCCESS\|ERROR' "users/$run.out" || fail "the refused $run run called the adapter"
  [ ! -e "/tmp/users/$run.trace" ] || fail "the refused $run run opened its link trace"
  [ ! -s "users/$run.err" ] || fail "the refused $run run wrote:" "$(cat "users/$run.err")"
done

kill -KILL "$root"
wait "$root"
as_nobody "socketcan:$IFACE" after --status
grep -qx 'CAN device initialized\.' users/after.out ||
  fail "the second user did not take $IFACE once root's run was killed:" "$(cat users/after.out)"

# An interface missing at root's first attempt is locked once it is there: the retry
# names the bus again before the link binds it.
LATE=vcan5
mkfifo users/keys
DOVEL_CAN=socketcan:$LATE ./build/dovelflash "$image" < users/keys > users/late.out 2>&1 &
late=$!
exec 3> users/keys
await_line users/late.out '(y/n)? '
ip link add dev "$LATE" type vcan && ip link set "$LATE" up
printf y >&3
await_line users/late.out '^CAN device initialized\.$'
as_nobody "socketcan:$LATE" late-second --status
grep -qxF "[FAILED] $LATE is in use by process $late of user root" users/late-second.out ||
  fail "$LATE, there at root's second attempt only:" "$(cat users/late-second.out)"
kill -KILL "$late"
wait "$late"
exec 3>&-
ip link delete "$LATE"

kill -TERM "$hand"
wait "$hand"
kill "$candump"
wait "$candump"
./iproute-ip link property del dev "$IFACE" altname "$ALTNAME"
left=$(ls -a /run/lock /var/lock /tmp | grep dovelflash)
[ -z "$left" ] || fail "left on disk: $left"
# Every frame on the bus is one that root's run or the later status check traced; the
# kill may catch a frame between its sending and its trace line, or a reply not yet
# read. A refused run that reached the bus would add at least a request and a reply to
# each of four controllers.
KILL_SLACK=3
bus=$(grep -c '^(' users/bus)
traced=$(($(grep -c '^(' users/root.trace) + $(grep -c '^(' /tmp/users/after.trace)))
[ "$bus" -ge "$traced" ] && [ "$bus" -le $((traced + KILL_SLACK)) ] ||
  fail "vcan0 carried $bus frames, the two runs that took it $traced" "$(cat users/candump.err)"
echo "root's run refused the second user three times; $bus frames on $IFACE, $traced traced"
exit "$failed"
