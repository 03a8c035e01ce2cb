#!/usr/bin/env bash
# Makes images with GNU binutils as a firmware developer does (docs/making-an-image.md)
# and sends them to the simulated hand: a random binary at a chosen address, the same
# binary as Intel HEX at an address that is no multiple of 32, a small ELF linked inside
# the simulated controllers' flash, a firmware built with -g by Debian's ARM cross
# compiler (a vector table, code, constants, and initialised data that runs in RAM and is
# loaded in flash after the code) and a native gcc -g ELF. For each, objcopy's own output
# must be refused at its first symbol record, the documented recipe must make it pass the
# check, and an update (DOVEL_CAN=sim:fast) must leave every controller's flash holding
# exactly the bytes of objcopy -O binary, address by address (the blocks the loaded bytes
# fall in, padded with objcopy's zeros), with the CRC-32 that Python's zlib computes.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

tools/install-packages.sh binutils python3 gcc gcc-arm-none-eabi binutils-arm-none-eabi
cmake --preset default >/dev/null
cmake --build --preset default --target dovelflash

DOVELFLASH=$PWD/build/dovelflash
# The documented recipe: an ELF through Intel HEX, with its own toolchain's objcopy, then
# only the data (6) and termination (8) records.
RECIPE="grep '^%..[68]' fw-raw.tek > fw.tek"
RECIPE_ELF="arm-none-eabi-objcopy -O ihex fw.elf fw.hex"
RECIPE_HEX="objcopy -I ihex -O tekhex fw.hex fw-raw.tek"
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
# against the bytes of file placed at address: the whole blocks that the loaded ranges
# (ADDRESS:SIZE ..., by default the whole file) fall in, zeros where the file has none,
# and nothing but zeros in the file outside them (the gaps objcopy -O binary fills); the
# end-of-run report and the final check's VERS against zlib's CRC-32 of those bytes.
flashes_exactly() {  # image, file of the bytes, address of its first byte[, loaded ranges]
  local image=$1 bytes=$2 address=$3 loaded=${4:-} state=$scratch/hand.state
  rm -f "$state"
  DOVEL_CAN=sim:fast,state=$state "$DOVELFLASH" "$image" </dev/null >"$image.out" 2>"$image.err" &&
    grep -qx '4 of 4 Dovels updated.' "$image.out" &&
    python3 - "$bytes" "$address" "$TEKHEX_BLOCK" "$state" "$image.err" "$image.out" "$loaded" <<'EOF'
import re, sys, zlib
bytes_path, address, block, state_path, report_path, console_path, loaded = sys.argv[1:]
address, block = int(address, 0), int(block)
data = open(bytes_path, "rb").read()
ranges = [tuple(int(n, 0) for n in r.split(":")) for r in loaded.split()] or [(address, len(data))]
blocks = sorted({b for at, size in ranges for b in range(at // block, -(-(at + size) // block))})
want = {}
for b in blocks:
    for at in range(b * block, (b + 1) * block):
        want[at] = data[at - address] if 0 <= at - address < len(data) else 0
outside = [address + i for i, byte in enumerate(data) if byte and address + i not in want]
if outside:
    print(f"0x{outside[0]:08X}: a byte of objcopy -O binary that no loaded range holds")
    sys.exit(1)
expected = bytes(want[at] for at in sorted(want))
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

try_image() {  # name, raw objcopy output, file of the bytes, address of the first byte[, ranges]
  local name=$1 raw=$2 bytes=$3 address=$4 loaded=${5:-} image
  image=${raw%-raw.tek}.tek
  (cd "$(dirname "$raw")" && grep '^%..[68]' "$(basename "$raw")" >"$(basename "$image")")
  check "$name: objcopy's output is refused at its first symbol record" refuses_symbol_record "$raw"
  check "$name: the recipe's image passes the check" passes_check "$image"
  check "$name: every controller's flash holds exactly its bytes" \
    flashes_exactly "$image" "$bytes" "$address" "$loaded"
}

# The ranges an ELF loads (sections with contents that are loaded, at their load
# address, LMA) as ADDRESS:SIZE, from the objdump of its toolchain.
loaded_ranges() {  # objdump, ELF
  "$1" -h -w "$2" | awk '/ LOAD/ && /CONTENTS/ && $3 !~ /^0+$/ { printf "0x%s:0x%s ", $5, $3 }'
}

# An ELF made into an image by the documented recipe, with its own toolchain's objcopy,
# against objcopy -O binary of it.
try_elf() {  # name, toolchain prefix ("" or "arm-none-eabi-"), ELF
  local name=$1 prefix=$2 elf=$3 base loaded
  local stem=${elf%.elf}
  "${prefix}objcopy" -O ihex "$elf" "$stem.hex"
  objcopy -I ihex -O tekhex "$stem.hex" "$stem-raw.tek"
  "${prefix}objcopy" -O binary "$elf" "$stem.bin"
  loaded=$(loaded_ranges "${prefix}objdump" "$elf")
  base=$(python3 -c 'import sys; print(hex(min(int(r.split(":")[0], 0) for r in sys.argv[1].split())))' "$loaded")
  try_image "$name ($(stat -c %s "$stem.bin") bytes of -O binary from $base)" "$stem-raw.tek" \
    "$stem.bin" "$base" "$loaded"
}

echo "== images made by objcopy"
for line in "$RECIPE_ELF" "$RECIPE_HEX" "$RECIPE"; do
  check "docs/making-an-image.md gives the recipe's $line" grep -qxF "$line" docs/making-an-image.md
done

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
try_elf "ELF of as and ld" "" "$scratch/fw.elf"

# A firmware as Debian's ARM cross compiler builds it with -g, with no C library: its
# initialised data runs in RAM at 0x20000000 and is loaded in flash after the constants,
# whence the start-up code copies it.
cat >"$scratch/arm.c" <<'EOF'
#include <stdint.h>
extern uint32_t _sidata[], _sdata[], _edata[], _sbss[], _ebss[], _estack[];
static volatile uint32_t counter = 0x12345678u;
static const char banner[16] = "dovel firmware";
uint32_t table[4] = {0x11223344u, 0x55667788u, 0x99AABBCCu, 0xDDEEFF00u};
uint32_t scratch[16];
void reset(void) {
    for (uint32_t *from = _sidata, *to = _sdata; to < _edata;) *to++ = *from++;
    for (uint32_t* to = _sbss; to < _ebss;) *to++ = 0;
    for (;;) {
        counter += table[counter & 3] + (uint32_t)banner[counter & 15];
        scratch[counter & 15] = counter;
    }
}
__attribute__((section(".vectors"), used)) void (*const vectors[])(void) = {
    (void (*)(void))_estack, reset};
EOF
cat >"$scratch/arm.ld" <<'EOF'
MEMORY {
  FLASH (rx) : ORIGIN = 0x00001000, LENGTH = 0x3F000
  RAM (rwx)  : ORIGIN = 0x20000000, LENGTH = 0x8000
}
ENTRY(reset)
SECTIONS {
  .vectors : { KEEP(*(.vectors)) } > FLASH
  .text : { *(.text*) } > FLASH
  .rodata : { *(.rodata*) . = ALIGN(4); } > FLASH
  _sidata = LOADADDR(.data);
  .data : { _sdata = .; *(.data*) . = ALIGN(4); _edata = .; } > RAM AT> FLASH
  .bss (NOLOAD) : { _sbss = .; *(.bss*) *(COMMON) . = ALIGN(4); _ebss = .; } > RAM
  _estack = ORIGIN(RAM) + LENGTH(RAM);
}
EOF
arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -g -O1 -nostdlib -ffreestanding -T "$scratch/arm.ld" \
  -o "$scratch/arm.elf" "$scratch/arm.c"
data_runs_in_ram() {  # ELF
  arm-none-eabi-objdump -h -w "$1" |
    awk '$2 == ".data" && $4 ~ /^2000/ && $5 ~ /^0000/ { found = 1 } END { exit !found }'
}
check "the ARM firmware's .data runs in RAM and is loaded in flash" data_runs_in_ram "$scratch/arm.elf"
try_elf "ARM Cortex-M ELF built with -g" arm-none-eabi- "$scratch/arm.elf"

# A native ELF as gcc -g and ld write it, with .comment, debug sections and .eh_frame,
# its sections a page apart.
cat >"$scratch/native.c" <<'EOF'
int counter = 42;
const char name[] = "native";
int scratch[8];
void _start(void) {
    for (;;) counter += name[counter & 7] + scratch[counter & 7];
}
EOF
gcc -g -c -o "$scratch/native.o" "$scratch/native.c"
ld -Ttext=0x3000 -o "$scratch/native.elf" "$scratch/native.o"
try_elf "native gcc -g ELF" "" "$scratch/native.elf"

if [ "$failed" -ne 0 ]; then
  echo "== objcopy image tests FAILED"
  exit 1
fi
echo "== objcopy image tests passed"
