#!/usr/bin/env bash
# fuzz/replay.sh: builds the fuzz targets (clang, preset "fuzz"; nothing else) and runs every
# input of each checked-in corpus once (-runs=0): deterministic, a few seconds. A parser that
# now crashes, leaks, trips a sanitizer or breaks a target's check on a known input fails here.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers

status=0
for dir in fuzz/corpus/*/; do
  name="$(basename "$dir")"
  bin="build/fuzz/fuzz/fuzz_$name"
  if [ ! -x "$bin" ]; then
    echo "fuzz corpus $name has no target fuzz_$name" >&2
    status=1
    continue
  fi
  count="$(find "$dir" -type f | wc -l)"
  if log="$("$bin" -runs=0 -rss_limit_mb=2048 -timeout=10 "$dir" 2>&1)"; then
    echo "fuzz replay $name: $count inputs, no finding"
  else
    echo "$log" | tail -n 40 >&2
    echo "fuzz replay $name: FAILED" >&2
    status=1
  fi
done
exit $status
