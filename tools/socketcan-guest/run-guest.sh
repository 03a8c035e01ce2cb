#!/usr/bin/env bash
# Boots a small qemu guest from a Debian kernel, runs a payload in it and reports.
#
#   run-guest.sh --kernel DIR --payload DIR [--modules "m1 m2 ..."] [--timeout S]
#                [--work DIR] [-- EXTRA-QEMU-ARGS...]
#
# --kernel   a folder made by fetch-kernel.sh (vmlinuz, modules/)
# --payload  copied to /guest in the guest; its run.sh is run there. Programs in it
#            that are linked dynamically get their shared libraries copied along.
# --modules  kernel modules to load, in this order (no dependency resolution)
# --timeout  seconds before a hanging guest is killed (default 300)
#
# The payload's standard output and error come back on the guest's second serial
# port and are printed here; the exit status is run.sh's. 124: the guest was killed
# at the timeout; 125: it stopped without reporting (kernel panic, crash).
# QEMU names the emulator (default qemu-system-x86_64); DOVEL_GUEST_KVM=1 uses KVM.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
kernel="" payload="" modules="" timeout_s=300 work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --kernel) kernel=$2; shift 2 ;;
    --payload) payload=$2; shift 2 ;;
    --modules) modules=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run-guest: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$kernel" ] && [ -n "$payload" ] || { echo "run-guest: --kernel and --payload are needed" >&2; exit 2; }
[ -f "$payload/run.sh" ] || { echo "run-guest: $payload/run.sh is missing" >&2; exit 2; }
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

MARKER=DOVEL-GUEST-EXIT
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules,guest}

is_elf() { [ "$(head -c 4 "$1" 2>/dev/null | od -An -c | tr -d ' ')" = "177ELF" ]; }

# Copies the shared libraries a program needs, at the same paths, into the guest.
copy_libraries() {
  local lib
  for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*' || true); do
    if [ ! -e "$root$lib" ]; then
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    fi
  done
}

busybox=$(command -v busybox) || { echo "run-guest: busybox is missing" >&2; exit 2; }
cp "$busybox" "$root/bin/busybox"
copy_libraries "$root/bin/busybox"
for applet in $("$busybox" --list); do
  [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
# Two users, root and nobody, for the tests of what one user's run keeps from another's.
mkdir -p "$root/etc"
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n' \
  > "$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' > "$root/etc/group"
printf 'passwd: files\ngroup: files\n' > "$root/etc/nsswitch.conf"
cp "$here/guest-init.sh" "$root/init"
chmod +x "$root/init"

: > "$root/lib/modules/order"
for module in $modules; do
  cp "$kernel/modules/$module.ko" "$root/lib/modules/$module.ko"
  echo "$module" >> "$root/lib/modules/order"
done

cp -a "$payload/." "$root/guest/"
while IFS= read -r -d '' file; do
  if is_elf "$file"; then
    copy_libraries "$file"
  fi
done < <(find "$root/guest" -type f -print0)

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initrd.gz"

# Software emulation unless KVM is asked for: a /dev/kvm that exists does not always
# work (nested virtualisation), and the guest is quick enough without it.
accel=()
if [ "${DOVEL_GUEST_KVM:-0}" = 1 ]; then
  accel=(-enable-kvm -cpu host)
fi
: > "$work/console.log"
: > "$work/output.log"
status=0
timeout --kill-after=5 "$timeout_s" "${QEMU:-qemu-system-x86_64}" \
  -nographic -nodefaults -no-reboot -m 512 "${accel[@]}" \
  -kernel "$kernel/vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -serial "file:$work/console.log" -serial "file:$work/output.log" \
  "$@" </dev/null >"$work/qemu.log" 2>&1 || status=$?

tr -d '\r' < "$work/output.log" | grep -av "^$MARKER " || true
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "run-guest: the guest did not finish within $timeout_s s and was killed" >&2
  tail -n 20 "$work/console.log" >&2 || true
  exit 124
fi
reported=$(tr -d '\r' < "$work/output.log" | grep -a "^$MARKER [0-9][0-9]*\$" | tail -n 1 |
  cut -d' ' -f2 || true)
if [ -z "$reported" ]; then
  echo "run-guest: the guest stopped without reporting a result (qemu status $status)" >&2
  cat "$work/qemu.log" >&2 || true
  tail -n 40 "$work/console.log" >&2 || true
  exit 125
fi
exit "$reported"
