#!/usr/bin/env bash
# Builds the installable packages into dist/: a Debian package of the Linux build
# (dovelflash_VERSION_amd64.deb: the utility, its README and docs/, the examples they use,
# copyright file, changelog and manual page) and a ZIP of the Windows build made with
# mingw-w64 (dovelflash-VERSION-windows-x86_64.zip: the utility, the README, docs/, the
# examples and LICENSE.txt).
# Release builds without tests, in build-package/ and build-package-mingw/.
#
# The controllers' access code comes from DOVEL_ACCESS_CODE in the environment, five
# words separated by semicolons:
#   DOVEL_ACCESS_CODE="0x1111;0x2222;0x3333;0x4444;0x5555" tools/make-packages.sh
# Without it the packages carry the project's placeholder code, which updates the
# simulated hand but cannot unlock a real hand (CMake warns, --version says so).
#
# The Debian package's Maintainer comes from DOVEL_PACKAGE_MAINTAINER, "Name <address>":
#   DOVEL_PACKAGE_MAINTAINER="Bench Team <bench@example.net>" tools/make-packages.sh
# Without it the package names the project's placeholder address.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-packages.sh cmake make g++ dpkg-dev g++-mingw-w64-x86-64-posix

# An earlier configuration's code is never carried over silently.
code=(-U DOVEL_ACCESS_CODE)
if [ -n "${DOVEL_ACCESS_CODE:-}" ]; then
  code=(-D "DOVEL_ACCESS_CODE=$DOVEL_ACCESS_CODE")
fi
maintainer=(-U DOVEL_PACKAGE_MAINTAINER)
if [ -n "${DOVEL_PACKAGE_MAINTAINER:-}" ]; then
  maintainer=(-D "DOVEL_PACKAGE_MAINTAINER=$DOVEL_PACKAGE_MAINTAINER")
fi
settings=(-D CMAKE_BUILD_TYPE=Release -D DOVEL_BUILD_TESTS=OFF -D DOVEL_BUILD_BENCH=OFF
  "${code[@]}" "${maintainer[@]}")
dist="$PWD/dist"
mkdir -p "$dist"

echo "== Debian package"
cmake -S . -B build-package "${settings[@]}"
cmake --build build-package --target dovelflash -j2
(cd build-package && cpack -G DEB -B "$dist")

echo "== Windows ZIP"
cmake -S . -B build-package-mingw --toolchain cmake/mingw-w64-x86_64.cmake "${settings[@]}"
cmake --build build-package-mingw --target dovelflash -j2
(cd build-package-mingw && cpack -G ZIP -B "$dist")

rm -rf "$dist/_CPack_Packages"
echo "== packages in dist/:"
ls -l "$dist"
