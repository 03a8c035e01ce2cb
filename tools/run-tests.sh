#!/usr/bin/env bash
# Builds and runs every test of the project. Installs what a fresh Debian 12
# machine lacks for it (run as root, or with sudo available).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-test-deps.sh

echo "== format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== native build and tests"
cmake --preset default
cmake --build --preset default
ctest --preset default

echo "== images made by GNU binutils"
tools/test-objcopy-images.sh

tools/test-manual-page.sh

echo "== image fingerprints against sha256sum"
tools/test-image-hash.sh

echo "== the run's records read by Python's json module and jq"
tools/test-run-record.sh

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

echo "== fuzzing"
tools/run-fuzzers.sh

echo "== the link's trace read by the CAN tools"
tools/test-trace-tools.sh

tools/test-socketcan-guest.sh

echo "== the slcan backend over pseudo-terminals, and python-can's slcan host"
tools/test-slcan.sh

tools/test-windows.sh

echo "== packages"
tools/test-packages.sh

echo "== all tests passed"
