#!/usr/bin/env bash
# Makes images with GNU binutils as a firmware developer does (docs/making-an-image.md)
# and sends them to the simulated hand: a random binary at a chosen address, the same
# binary as Intel HEX at an address that is no multiple of 32, and a small ELF linked
# inside the simulated controllers' flash. For each, objcopy's own output must be refused
# at its first symbol record, the documented recipe must make it pass the check, and an
# update (DOVEL_CAN=sim:fast) must leave every controller's flash holding exactly the
# bytes objcopy wrote, address by address, with the CRC-32 that Python's zlib computes.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

tools/install-packages.sh binutils python3
cmake --preset default >/dev/null
cmake --build --preset default --target dovelflash

DOVELFLASH=$PWD/build/dovelflash
# The documented recipe: only the data (6) and termination (8) records.
RECIPE="grep '^%..[68]' fw-raw.tek > fw.tek"
# objcopy writes whole 32-byte blocks, each at an address that is a multiple of 32.
TEKHEX_BLOCK=32
# shellcheck source=tools/check-support.sh
source tools/check-support.sh

# The first symbol record of the raw image is named in the refusal, with its line.
refuses_symbol_record() {  # raw image
  local line
  line=$(grep -n '^%..3' "$1" | head -n 1 | cut -d: -f1)
  [ -n "$line" ] && ! "$DOVELFLASH" --check "$1" >"$1.check" &&
    grep -q "\[FAILED\] line $line: a symbol record that cannot be sent: .*remove them: grep '^%\.\.\[68\]' IN > OUT\$" "$1.check"
}

passes_check() {  # image
  "$DOVELFLASH" --check "$1" >"$1.check" && grep -q '\[OK\]$' "$1.check"
}

# The flash of every controller after an update, from the simulated hand's state file,
# against the bytes of file placed at address and padded with zeros to whole blocks; the
# end-of-run report and the final check's VERS against zlib's CRC-32 of those bytes.
flashes_exactly() {  # image, file of the bytes, address of its first byte
  local image=$1 bytes=$2 address=$3 state=$scratch/hand.state
  rm -f "$state"
  DOVEL_CAN=sim:fast,state=$state "$DOVELFLASH" "$image" </dev/null >"$image.out" 2>"$image.err" &&
    grep -qx '4 of 4 Dovels updated.' "$image.out" &&
    python3 - "$bytes" "$address" "$TEKHEX_BLOCK" "$state" "$image.err" "$image.out" <<'EOF'
import re, sys, zlib
bytes_path, address, block, state_path, report_path, console_path = sys.argv[1:]
address, block = int(address, 0), int(block)
data = open(bytes_path, "rb").read()
first = address - address % block
end = -(-(address + len(data)) // block) * block
expected = bytes(address - first) + data + bytes(end - address - len(data))
crc = zlib.crc32(expected)
flash = {}
for line in open(state_path):
    fields = line.split()
    if fields[0] == "flash":
        node, at = int(fields[1]), int(fields[2], 16)
        for i, byte in enumerate(bytes.fromhex(fields[3])):
            flash.setdefault(node, {})[at + i] = byte
report = open(report_path).read()
console = open(console_path).read()
ok = True
for node in range(11, 15):
    held = flash.get(node, {})
    want = {first + i: b for i, b in enumerate(expected)}
    if held != want:
        wrong = sorted(a for a in set(held) | set(want) if held.get(a) != want.get(a))
        print(f"dovel {node}: {len(wrong)} addresses differ, the first 0x{wrong[0]:08X}:"
              f" flash {held.get(wrong[0])}, expected {want.get(wrong[0])}")
        ok = False
    line = (rf"^sim: dovel {node}: main ROLE\(stored\)=0x[0-9A-F]{{4}} flash={len(expected)} "
            rf"bytes crc32=0x{crc:08X} records=\d+ bad=0 lost=0$")
    if not re.search(line, report, re.M):
        print(f"dovel {node}: no report line with {len(expected)} bytes and CRC-32 0x{crc:08X}")
        ok = False
    if f"Checking Dovel {node}...[OK] main firmware, VERS 0x{crc & 0xFFFF:04x}" not in console:
        print(f"dovel {node}: the final check does not give VERS 0x{crc & 0xFFFF:04x}")
        ok = False
sys.exit(0 if ok else 1)
EOF
}

try_image() {  # name, raw objcopy output, file of the bytes, address of the first byte
  local name=$1 raw=$2 bytes=$3 address=$4 image
  image=${raw%-raw.tek}.tek
  (cd "$(dirname "$raw")" && grep '^%..[68]' "$(basename "$raw")" >"$(basename "$image")")
  check "$name: objcopy's output is refused at its first symbol record" refuses_symbol_record "$raw"
  check "$name: the recipe's image passes the check" passes_check "$image"
  check "$name: every controller's flash holds exactly its bytes" \
    flashes_exactly "$image" "$bytes" "$address"
}

echo "== images made by objcopy"
check "docs/making-an-image.md gives the recipe" grep -qF "$RECIPE" docs/making-an-image.md

# A random binary of a random size that does not fill its last block.
blocks=$((128 + RANDOM % 128))
size=$((blocks * TEKHEX_BLOCK + 1 + RANDOM % (TEKHEX_BLOCK - 1)))
head -c "$size" /dev/urandom >"$scratch/fw.bin"
objcopy -I binary -O tekhex --change-addresses 0x1000 "$scratch/fw.bin" "$scratch/bin-raw.tek"
try_image "binary ($size bytes at 0x1000)" "$scratch/bin-raw.tek" "$scratch/fw.bin" 0x1000

objcopy -I binary -O ihex --change-addresses 0x20010 "$scratch/fw.bin" "$scratch/fw.hex"
objcopy -I ihex -O tekhex "$scratch/fw.hex" "$scratch/hex-raw.tek"
try_image "Intel HEX (at 0x20010)" "$scratch/hex-raw.tek" "$scratch/fw.bin" 0x20010

# An ELF with code, constants, aligned data and a .bss, linked at 0x2000 in the flash.
cat >"$scratch/fw.s" <<'EOF'
    .text
    .globl start
start:
    .ascii "dovel firmware"
    .byte 0xEB, 0xFE
    .section .rodata
table:
    .long 0x11223344, 0x55667788, 0x99AABBCC
    .data
    .balign 16
counter:
    .quad 0x0123456789ABCDEF
    .bss
scratch:
    .space 64
EOF
cat >"$scratch/fw.ld" <<'EOF'
SECTIONS {
  . = 0x2000;
  .text : { *(.text) }
  .rodata : { *(.rodata) }
  .data : { *(.data) }
  .bss : { *(.bss) }
  /DISCARD/ : { *(*) }
}
EOF
as -o "$scratch/fw.o" "$scratch/fw.s"
ld --no-warn-rwx-segments -T "$scratch/fw.ld" -e start -o "$scratch/fw.elf" "$scratch/fw.o"
objcopy -O binary "$scratch/fw.elf" "$scratch/elf.bin"
objcopy -O tekhex "$scratch/fw.elf" "$scratch/elf-raw.tek"
try_image "ELF (at 0x2000, $(stat -c %s "$scratch/elf.bin") bytes)" "$scratch/elf-raw.tek" \
  "$scratch/elf.bin" 0x2000

if [ "$failed" -ne 0 ]; then
  echo "== objcopy image tests FAILED"
  exit 1
fi
echo "== objcopy image tests passed"
