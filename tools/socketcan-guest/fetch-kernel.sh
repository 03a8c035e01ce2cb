#!/usr/bin/env bash
# Puts Debian's kernel and its CAN modules into DIR (DIR/vmlinuz, DIR/modules/*.ko)
# for the SocketCAN test guest. The package is unpacked, not installed: installing it
# also builds initramfs images for this machine, which takes minutes and nothing
# here uses. Does nothing when DIR already holds a kernel.
set -euo pipefail

dir=${1:?usage: fetch-kernel.sh DIR}
if [ -f "$dir/vmlinuz" ] && [ -d "$dir/modules" ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# The versioned package that the meta-package points at, e.g. linux-image-6.1.0-57-amd64.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

package=$(kernel_package)
if [ -z "$package" ]; then
  $SUDO apt-get update -qq
  package=$(kernel_package)
fi
[ -n "$package" ] || { echo "fetch-kernel: no kernel package found" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download user must be able to write the folder.
chmod a+rwx "$work"
if ! (cd "$work" && apt-get download -qq "$package"); then
  $SUDO apt-get update -qq
  (cd "$work" && apt-get download -qq "$package")
fi

dpkg-deb --fsys-tarfile "$work"/*.deb |
  tar -x -C "$work" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/net/can/*' \
    './lib/modules/*/kernel/drivers/net/can/*'

rm -rf "$dir.partial"
mkdir -p "$dir.partial/modules"
cp "$work"/boot/vmlinuz-* "$dir.partial/vmlinuz"
find "$work/lib/modules" -name '*.ko*' -exec cp {} "$dir.partial/modules/" \;
# Newer packages compress their modules; the guest's insmod takes plain ones.
for compressed in "$dir.partial"/modules/*.ko.xz; do
  [ -e "$compressed" ] && xz -d "$compressed"
done
echo "$package" > "$dir.partial/package"
rm -rf "$dir"
mv "$dir.partial" "$dir"
echo "fetch-kernel: $package unpacked into $dir"
