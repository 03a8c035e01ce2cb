#!/usr/bin/env bash
# Builds the packages (tools/make-packages.sh) and tries them as a bench PC would: the
# Debian package unpacked into a scratch root, the ZIP unpacked and its program run
# under wine. Each installed utility must print its version and run a complete update
# of the simulated hand (DOVEL_CAN=sim:fast) with the golden transcript, writing a
# link trace that the candump log tools read. Both carry the documentation (the README
# and docs/) and the examples it uses (the example image and update-hands.sh). The Debian
# package must pass lintian with no error or warning, and its manual page must show with
# man and say what --help says (tools/test-manual-page.sh). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

tools/install-packages.sh can-utils unzip wine wine64 lintian man-db python3-debian
tools/make-packages.sh

GOLDEN=tests/golden/full_update_stdout.txt
IMAGE=examples/dovel2.tek
DOVEL_COUNT=4
version=$(sed -n 's/^project(dovelflash VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=dist/dovelflash_${version}_amd64.deb
zip=dist/dovelflash-${version}-windows-x86_64.zip
# The documents and examples a package carries, as paths under its documentation folder.
documents=$(printf '%s\n' README.md docs/*.md examples/dovel2.tek examples/update-hands.sh)
# shellcheck source=tools/check-support.sh
source tools/check-support.sh

# The update's transcript without its arg[0] line (how the program was named differs
# between the platforms) and with Windows' line ends made LF (the progress line's own
# carriage returns stay), and the report of the simulated hand: all four controllers
# in their main firmware, nothing bad or lost.
same_transcript() {  # transcript file
  diff <(grep -v '^  arg\[0\] = ' "$GOLDEN") <(sed 's/\r$//' "$1" | grep -v '^  arg\[0\] = ') |
    cut -c 1-200 | head -n 20
  cmp -s <(grep -v '^  arg\[0\] = ' "$GOLDEN") <(sed 's/\r$//' "$1" | grep -v '^  arg\[0\] = ')
}
all_updated() {  # report file
  [ "$(sed 's/\r$//' "$1" | grep -c '^sim: dovel 1[1-4]: main .* bad=0 lost=0$')" -eq "$DOVEL_COUNT" ]
}
trace_converts() {  # trace file
  local frames
  frames=$(grep -c '^(' "$1")
  log2asc -I "$1" -O "$1.asc" sim && [ "$frames" -gt 0 ] &&
    [ "$(grep -c ' Rx ' "$1.asc")" -eq "$frames" ]
}

# Every option, environment variable and simulated hand's option that --help names
# begins an entry of the manual page, as man shows it.
manual_names_all() {  # program, manual page
  local names missing=0 name
  names=$("$1" --help >"$scratch/help.txt" &&
    grep -oE -- '^  dovelflash --[a-z]+(, -[a-z])?' "$scratch/help.txt" |
    sed 's/^  dovelflash //; s/, /\n/' &&
    grep -oE '^  DOVEL_[A-Z0-9_]+' "$scratch/help.txt" | sed 's/^  //' &&
    sed -n '/^Options of the simulated hand/,/^$/p' "$scratch/help.txt" | awk 'NR > 1 && NF { print $1 }')
  [ "$(wc -l <<<"$names")" -gt 25 ] || return 1
  while read -r name; do
    if ! MANWIDTH=200 man --nh --nj -l "$2" 2>/dev/null | grep -qE "^ {7}(.*, )?${name}([=, ]|\$)"; then
      echo "     the manual page has no entry for $name"
      missing=1
    fi
  done <<<"$names"
  return "$missing"
}
lintian_clean() {  # package
  local tags
  tags=$(lintian --pedantic --display-info "$1" 2>/dev/null)
  [ -z "$tags" ] || sed 's/^/     /' <<<"$tags"
  ! grep -qE '^[EW]: ' <<<"$tags"
}
# Debian's machine-readable format, read by Debian's own parser (lintian does not read it
# in a binary package): every file is covered, by the project's copyright holder, and
# every licence named has its text.
copyright_machine_readable() {  # copyright file
  /usr/bin/python3 - "$1" <<'EOF'
import sys
from debian.copyright import Copyright
copyright = Copyright(open(sys.argv[1]), strict=True)
assert copyright.header.format == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
assert copyright.find_files_paragraph("usr/bin/dovelflash") is not None
texts = {p.license.synopsis: p.license.text for p in copyright.all_license_paragraphs()}
for files in copyright.all_files_paragraphs():
    assert "the dovelflash developers" in files.copyright, files.copyright
    assert files.license.text or texts.get(files.license.synopsis), files.license.synopsis
EOF
}
package_maintainer_is() {  # package, maintainer
  dpkg-deb -f "$1" Maintainer | grep -qxF "$2" &&
    dpkg-deb --fsys-tarfile "$1" | tar -xOf - ./usr/share/doc/dovelflash/changelog.gz | zcat |
    awk -v trailer=" -- $2  " 'index($0, trailer) == 1 { found = 1 } END { exit !found }'
}

echo "== the Debian package"
check "$deb exists" test -f "$deb"
check "it holds the utility, the README, docs/, the examples, copyright, changelog and manual page, nothing else" \
  diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort) \
  <({ printf '%s\n' ./usr/bin/dovelflash ./usr/share/doc/dovelflash/changelog.gz \
      ./usr/share/doc/dovelflash/copyright ./usr/share/man/man1/dovelflash.1.gz
    sed 's|^|./usr/share/doc/dovelflash/|' <<<"$documents"; } | sort)
check "lintian finds no error and no warning" lintian_clean "$deb"
check "its copyright file is machine-readable and gives every licence's text" \
  copyright_machine_readable <(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/dovelflash/copyright)
check "it depends on the C and C++ runtimes only" \
  bash -c "dpkg-deb -f '$deb' Depends | tr ',' '\n' | sed 's/ *(.*//; s/^ *//' | sort |
           diff - <(printf '%s\n' libc6 libgcc-s1 libstdc++6)"
check "it suggests jq, for the run's records" bash -c "dpkg-deb -f '$deb' Suggests | grep -qx jq"
dpkg -x "$deb" "$scratch/root"
installed="$scratch/root/usr/bin/dovelflash"
check "the installed utility prints its version" \
  bash -c "'$installed' --version | head -n 1 | grep -qx 'dovelflash $version'"
manual="$scratch/root/usr/share/man/man1/dovelflash.1.gz"
check "man shows its manual page" \
  bash -c "MANWIDTH=200 man --nj --nh -l '$manual' 2>&1 | grep -qE '^ +dovelflash - install firmware into'"
check "the manual page names every option and variable --help names" \
  manual_names_all "$installed" "$manual"
check "its manual page and --help name the same ways to run, options and variables" \
  tools/test-manual-page.sh "$installed" "$manual"
check "its documents and examples are the project's, update-hands.sh executable" \
  bash -c "while read -r f; do cmp '$scratch/root/usr/share/doc/dovelflash/'\$f \$f || exit 1; done <<<'$documents' &&
           test -x '$scratch/root/usr/share/doc/dovelflash/examples/update-hands.sh'"
check "the example image the manual page's EXAMPLES use passes the installed utility's check" \
  bash -c "'$installed' --check '$scratch/root/usr/share/doc/dovelflash/examples/dovel2.tek' >/dev/null"
PATH="$scratch/root/usr/bin:$PATH" DOVEL_CAN=sim:fast DOVEL_CAN_TRACE="$scratch/deb-trace.log" \
  dovelflash "$IMAGE" </dev/null >"$scratch/deb.out" 2>"$scratch/deb.err" || true
check "it runs a complete update with the golden transcript" same_transcript "$scratch/deb.out"
check "and every controller is updated" all_updated "$scratch/deb.err"
check "log2asc converts its link trace" trace_converts "$scratch/deb-trace.log"

custom_maintainer="Bench Team <bench@example.net>"
cmake -S . -B build-package -D DOVEL_PACKAGE_MAINTAINER="$custom_maintainer" >"$scratch/maintainer.log" 2>&1 &&
  (cd build-package && cpack -G DEB -B "$scratch/maintainer" >>"$scratch/maintainer.log" 2>&1) ||
  cat "$scratch/maintainer.log"
check "its Maintainer and changelog name the address given at build time" \
  package_maintainer_is "$scratch/maintainer/$(basename "$deb")" "$custom_maintainer"

echo "== the Windows ZIP"
check "$zip exists" test -f "$zip"
check "it holds dovelflash.exe, the README, docs/, the examples and the licence, nothing else" \
  diff <(unzip -Z1 "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | sort) \
  <({ printf '%s\n' LICENSE.txt dovelflash.exe; cat <<<"$documents"; } | sort)
unzip -q "$zip" -d "$scratch/zip"
check "its licence is the Debian package's copyright file" \
  cmp "$(find "$scratch/zip" -name LICENSE.txt)" "$scratch/root/usr/share/doc/dovelflash/copyright"
exe=$(find "$scratch/zip" -name dovelflash.exe)
wine_run=(tests/windows/wine-run.sh "$PWD/build-mingw/wineprefix")
check "the zipped utility prints its version under wine" \
  bash -c "$(printf '%q ' "${wine_run[@]}") '$exe' --version | tr -d '\r' | head -n 1 |
           grep -qx 'dovelflash $version'"
DOVEL_CAN=sim:fast DOVEL_CAN_TRACE="$scratch/zip-trace.log" "${wine_run[@]}" "$exe" "$IMAGE" \
  </dev/null >"$scratch/zip.out" 2>"$scratch/zip.err" || true
check "it runs a complete update with the golden transcript" same_transcript "$scratch/zip.out"
check "and every controller is updated" all_updated "$scratch/zip.err"
check "log2asc converts its link trace" trace_converts "$scratch/zip-trace.log"

if [ "$failed" -ne 0 ]; then
  echo "== package tests FAILED"
  exit 1
fi
echo "== package tests passed"
