#!/usr/bin/env bash
# Installs the Debian packages the native, sanitizer and fuzzing tests need, when
# any is missing.
set -euo pipefail
"$(dirname "$0")/install-packages.sh" g++ cmake make libgtest-dev libgmock-dev \
  libbenchmark-dev clang-format clang libclang-rt-14-dev python3-can
