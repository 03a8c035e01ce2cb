#!/usr/bin/env bash
# Checks run-guest.sh without booting anything: a stand-in for qemu plays the guest,
# unpacks the initramfs it was given and answers on the second serial port.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$tmp/kernel/modules" "$tmp/payload"
echo "not a kernel" > "$tmp/kernel/vmlinuz"
for module in can vcan other; do echo "$module" > "$tmp/kernel/modules/$module.ko"; done
printf 'echo hello\n' > "$tmp/payload/run.sh"
program=$(type -P true)
cp "$program" "$tmp/payload/program"

cat > "$tmp/fake-qemu" <<'FAKE'
#!/usr/bin/env bash
# Records the initramfs and plays the guest as FAKE_GUEST says.
initrd="" serials=()
while [ $# -gt 0 ]; do
  case "$1" in
    -initrd) initrd=$2; shift 2 ;;
    -serial) serials+=("${2#file:}"); shift 2 ;;
    *) shift ;;
  esac
done
rm -rf "$FAKE_UNPACK" && mkdir -p "$FAKE_UNPACK"
(cd "$FAKE_UNPACK" && gzip -dc "$initrd" | cpio -id --quiet)
case "$FAKE_GUEST" in
  report) printf 'booting\r\n' > "${serials[0]}"
          printf 'hello from the guest\r\n\r\nDOVEL-GUEST-EXIT 3\r\n' > "${serials[1]}" ;;
  hang) exec sleep 600 ;;
  silent) ;;
esac
FAKE
chmod +x "$tmp/fake-qemu"

failures=0
checks=0
check() {  # description, then a command that must succeed
  local description=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok   $description"
  else
    echo "FAIL $description"
    failures=$((failures + 1))
  fi
}

run() {  # mode, extra arguments; sets status and leaves the output in $tmp/out
  status=0
  FAKE_GUEST=$1 FAKE_UNPACK="$tmp/unpacked" QEMU="$tmp/fake-qemu" \
    "$here/run-guest.sh" --kernel "$tmp/kernel" --payload "$tmp/payload" --modules "can vcan" \
    "${@:2}" > "$tmp/out" 2> "$tmp/err" || status=$?
}

run report
check "the payload's exit status comes back" test "$status" -eq 3
check "the payload's output comes back without carriage returns" \
  grep -qx "hello from the guest" "$tmp/out"
check "the marker line is not printed" bash -c "! grep -q DOVEL-GUEST-EXIT '$tmp/out'"
check "the console goes elsewhere" bash -c "! grep -q booting '$tmp/out'"
check "the initramfs starts the guest's init" cmp -s "$here/guest-init.sh" "$tmp/unpacked/init"
check "busybox and its applets are in the guest" test -x "$tmp/unpacked/bin/busybox" -a -L "$tmp/unpacked/bin/sh"
check "the named modules load in the given order" \
  test "$(cat "$tmp/unpacked/lib/modules/order")" = "$(printf 'can\nvcan')"
check "unnamed modules stay out" test ! -e "$tmp/unpacked/lib/modules/other.ko"
check "the payload is in /guest" cmp -s "$tmp/payload/run.sh" "$tmp/unpacked/guest/run.sh"
libc=$(ldd "$program" | grep -o '/[^ ]*libc\.so[^ ]*')
check "a dynamic program's libraries come along" cmp -s "$libc" "$tmp/unpacked$libc"

start=$(date +%s)
run hang --timeout 1
check "a hanging guest is killed and reported" test "$status" -eq 124
check "the kill comes soon after the timeout" test $(($(date +%s) - start)) -lt 10

run silent
check "a guest that never reports is a failure" test "$status" -eq 125

rm "$tmp/payload/run.sh"
run report
check "a payload without run.sh is refused" test "$status" -eq 2

echo "run-guest self-test: $((checks - failures)) of $checks checks passed"
[ "$failures" -eq 0 ]
