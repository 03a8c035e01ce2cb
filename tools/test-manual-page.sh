#!/usr/bin/env bash
# The manual page and --help say the same: the ways to run the utility (the manual page's
# SYNOPSIS against the usage lines of --help), its options, its environment variables and
# the simulated hand's options, each as --help writes it, compared both ways. Both lists
# come from the texts themselves, so a new option or variable needs its entry in both.
#   tools/test-manual-page.sh [PROGRAM MANUAL_PAGE]
# Without arguments it builds the utility and reads packaging/dovelflash.1.in; the package
# test gives the installed program and its gzipped manual page. Exits non-zero when they
# differ.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

if [ "$#" -eq 0 ]; then
  tools/install-packages.sh python3
  cmake --preset default >/dev/null
  cmake --build --preset default --target dovelflash >/dev/null
  set -- "$PWD/build/dovelflash" packaging/dovelflash.1.in
fi
program=$1
manual=$2
# shellcheck source=tools/check-support.sh
source tools/check-support.sh

"$program" --help >"$scratch/help.txt"
case "$manual" in
  *.gz) zcat "$manual" >"$scratch/manual.1" ;;
  *) cp "$manual" "$scratch/manual.1" ;;
esac

# Prints "KIND<TAB>TEXT" for each name a text gives: "usage" (a way to run the utility),
# "option", "variable" and "sim" (an option of the simulated hand).
names() {  # help | manual, file
  /usr/bin/python3 - "$1" "$2" <<'EOF'
import re, shlex, sys
source, path = sys.argv[1:]
text = open(path).read()

def out(kind, name):
    print(f"{kind}\t{name}")

if source == "help":
    block = None
    for line in text.split("\n"):
        if re.match(r"^\S", line):
            block = line
            continue
        tag = re.split(r"\s{2,}", line.strip())[0] if line.strip() else ""
        if block == "Usage:" and line.startswith("  dovelflash"):
            out("usage", tag)
            if tag.split()[1].startswith("-"):
                out("option", tag.split(" ", 1)[1])
        elif block == "Environment:" and line.startswith("  DOVEL_"):
            out("variable", tag)
        elif block and block.startswith("Options of the simulated hand") and tag:
            out("sim", tag)
    sys.exit(0)

# The manual page's roff: a macro's words, in one font (.B, .I) joined by spaces, in
# alternating fonts (.BI, .BR, ...) joined as they are.
def words(line):
    macro, _, rest = line.partition(" ")
    parts = shlex.split(rest.replace("\\", "\\\\"), posix=True)
    joined = (" " if macro in (".B", ".I") else "").join(parts) if macro.startswith(".") else line
    return re.sub(r"\\f[BIRP]|\\&", "", joined).replace("\\-", "-")

section, kinds = None, {"OPTIONS": "option", "ENVIRONMENT": "variable", "SIMULATED HAND": "sim"}
synopsis, tag_next = [""], False
for line in text.split("\n"):
    if line.startswith(".SH "):
        section, tag_next = line[4:].strip().strip('"'), False
        continue
    if section == "SYNOPSIS":
        if line == ".br":
            synopsis.append("")
        elif line and not line.startswith('.\\"'):
            synopsis[-1] += (" " if synopsis[-1] else "") + words(line)
    elif line == ".TP":
        tag_next = True
    elif tag_next:
        tag_next = False
        if section in kinds:
            out(kinds[section], words(line))
for form in synopsis:
    if form:
        out("usage", form.replace(" | ", ", "))
EOF
}

names help "$scratch/help.txt" | sort >"$scratch/help.names"
names manual "$scratch/manual.1" | sort >"$scratch/manual.names"

echo "== the manual page against --help"
for kind in usage option variable sim; do
  check "--help gives some of kind $kind" grep -q "^$kind	" "$scratch/help.names"
done
# The names of one list that the other lacks, each printed; succeeds when there are none.
none_only_in() {  # -23 (only in --help) or -13 (only in the manual page), what it is
  local only
  only=$(comm "$1" "$scratch/help.names" "$scratch/manual.names")
  [ -z "$only" ] || sed "s/^/     only in $2: /" <<<"$only"
  [ -z "$only" ]
}
check "the manual page names every way to run, option and variable --help names" \
  none_only_in -23 "--help"
check "--help names every way to run, option and variable the manual page names" \
  none_only_in -13 "the manual page"

if [ "$failed" -ne 0 ]; then
  echo "== manual page test FAILED"
  exit 1
fi
echo "== manual page test passed"
