#!/usr/bin/env bash
# Compares the image's fingerprint that the built utility prints (build/dovelflash) with
# sha256sum's, for the example image and its CR LF twin, and gives the utility release
# checksum files as sha256sum itself writes them: a right one passes, a wrong one is
# refused at the file check, under DOVEL_IMAGE_CHECK=warn too, before any frame is sent.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

tools/install-packages.sh coreutils

DOVELFLASH=${DOVELFLASH:-$PWD/build/dovelflash}  # or another build of it
IMAGE=examples/dovel2.tek
DOVEL_COUNT=4
# sha256 of "abc": a well-formed hash that no image has.
WRONG_HASH=ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad
if [ ! -x "$DOVELFLASH" ]; then
  echo "FAIL $DOVELFLASH is not built (cmake --preset default && cmake --build --preset default)"
  exit 1
fi
# shellcheck source=tools/check-support.sh
source tools/check-support.sh

# The hash at the end of the "Image:" line of --check, and sha256sum's of the same file.
printed_hash() {  # image
  "$DOVELFLASH" --check "$1" | sed -n 's/^Image: .*, sha256 \([0-9a-f]\{64\}\)$/\1/p'
}
sha256sum_hash() {  # image
  sha256sum "$1" | cut -d ' ' -f 1
}
same_hash() {  # image
  local printed
  printed=$(printed_hash "$1")
  echo "     dovelflash ${printed:-(none)}"
  echo "     sha256sum  $(sha256sum_hash "$1")"
  [ -n "$printed" ] && [ "$printed" = "$(sha256sum_hash "$1")" ]
}

fails() {  # a command that must fail
  ! "$@"
}

# --check of the image in the scratch folder: its exit status, its output in $scratch/out.
check_in_scratch() {  # then environment assignments, if any
  (cd "$scratch" && env "$@" "$DOVELFLASH" --check dovel2.tek >out 2>err)
}
refused_wrong_hash() {  # "[FAILED]" whatever DOVEL_IMAGE_CHECK says
  grep -qxF "Accessing firmware file: dovel2.tek...[FAILED] the image's sha256 is $hash, dovel2.tek.sha256 says $WRONG_HASH" \
    "$scratch/out"
}
# An update of the simulated hand with the wrong checksum file beside the image: refused,
# no link trace made (a refused run leaves every file as it was), every controller as it
# was.
update_refused_before_any_frame() {
  (cd "$scratch" && DOVEL_CAN=sim:fast DOVEL_CAN_TRACE=trace.log DOVEL_IMAGE_CHECK=warn \
    "$DOVELFLASH" dovel2.tek </dev/null >update.out 2>update.err) || true
  grep -qF "[FAILED] the image's sha256 is $hash" "$scratch/update.out" &&
    [ ! -e "$scratch/trace.log" ] &&
    [ "$(grep -c '^sim: dovel 1[1-4]: main .* records=0 bad=0 lost=0$' "$scratch/update.err")" \
      -eq "$DOVEL_COUNT" ]
}

echo "== the image's fingerprint"
cp "$IMAGE" "$scratch/dovel2.tek"
sed 's/\r*$/\r/' "$IMAGE" >"$scratch/crlf.tek"
check "$IMAGE: the hash on the Image: line is sha256sum's" same_hash "$IMAGE"
check "its CR LF twin: the same" same_hash "$scratch/crlf.tek"
check "the two differ" test "$(sha256sum_hash "$IMAGE")" != "$(sha256sum_hash "$scratch/crlf.tek")"
hash=$(sha256sum_hash "$IMAGE")

echo "== release checksum files as release tools write them"
(cd "$scratch" && sha256sum dovel2.tek >dovel2.tek.sha256)
check "sha256sum's own line passes" check_in_scratch
(cd "$scratch" && sha256sum --binary "$scratch/dovel2.tek" | sed 's/$/\r/' >dovel2.tek.sha256)
check "its binary form with the whole path and CR LF passes" check_in_scratch
(cd "$scratch" && sha256sum crlf.tek dovel2.tek >dovel2.tek.sha256)
check "a file of several lines passes by the image's line" check_in_scratch
(cd "$scratch" && sha256sum --tag dovel2.tek >dovel2.tek.sha256)
check "sha256sum --tag's line passes" check_in_scratch
if command -v shasum >/dev/null 2>&1; then
  (cd "$scratch" && shasum -a 256 --tag dovel2.tek >dovel2.tek.sha256)
  check "shasum -a 256 --tag's line passes" check_in_scratch
fi
(cd "$scratch" && sha256sum dovel2.tek | cut -d' ' -f1 >dovel2.tek.sha256)
check "the hash alone passes" check_in_scratch
(cd "$scratch" && sha256sum --tag crlf.tek >dovel2.tek.sha256)
check "a tagged line naming another file fails --check" fails check_in_scratch
(cd "$scratch" && sha256sum dovel2.tek >dovel2.tek.sha256)
check "DOVEL_IMAGE_SHA256 as sha256sum prints the hash passes too" \
  check_in_scratch DOVEL_IMAGE_SHA256="$hash"
echo "$WRONG_HASH  dovel2.tek" >"$scratch/dovel2.tek.sha256"
check "a wrong hash fails --check" fails check_in_scratch
check "with both hashes in full" refused_wrong_hash
check "under DOVEL_IMAGE_CHECK=warn as well" fails check_in_scratch DOVEL_IMAGE_CHECK=warn
check "with the same line" refused_wrong_hash
check "an update under DOVEL_IMAGE_CHECK=warn is refused before any frame" \
  update_refused_before_any_frame

if [ "$failed" -ne 0 ]; then
  echo "== image hash checks FAILED"
  exit 1
fi
echo "== image hash checks passed"
