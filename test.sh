#!/usr/bin/env bash
# ./test.sh: installs what is missing, then builds and runs the whole test suite twice: a
# Release build with warnings as errors (then packaged as a .deb, which is unpacked into a
# throw-away root, checked and given to lintian), and a build under AddressSanitizer and
# UndefinedBehaviorSanitizer; in between, every input of the checked-in fuzz corpora is run once
# through its libFuzzer target (clang; only the fuzz targets are built).
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh

jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

echo "== Release build (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
scripts/check-sample.sh build/ci
ctest --preset ci -j "$jobs"

echo "== Debian package"
deb="$(scripts/package.sh build/ci)"
scripts/check-package.sh "$deb"

if [ "${CARTSCOPE_SKIP_FUZZ:-0}" != "1" ]; then
  echo "== Fuzz corpus replay (clang-14, libFuzzer, -runs=0)"
  fuzz/replay.sh
fi

if [ "${CARTSCOPE_SKIP_ASAN:-0}" != "1" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
fi
