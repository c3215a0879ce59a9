#!/usr/bin/env bash
# fuzz/run.sh RUNS [TARGET...]: builds the fuzz preset and runs each target (default: all) for
# RUNS executions (default 1000000) on one core, starting from a scratch copy of its checked-in
# corpus on tmpfs. Prints executions per second and the findings; crashing inputs land in
# build/fuzz/artifacts/TARGET/ (make them a regression test and a corpus file). With
# MERGE=1 the inputs that add coverage are merged back into fuzz/corpus/NAME/ (minimised).
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-1000000}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do targets+=("fuzz_$(basename "$d")"); done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers

scratch="$(mktemp -d /dev/shm/cartscope-fuzzrun-XXXXXX 2>/dev/null || mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
  name="${t#fuzz_}"
  work="$scratch/$name"
  mkdir -p "$work" "build/fuzz/artifacts/$t"
  cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  maxlen=()
  case "$name" in fnt | banner) maxlen=(-max_len=4096) ;; esac
  start=$(date +%s.%N)
  # A run stopped early (Ctrl-C, exit code 72) still prints its figures; only a crashing
  # input written to the artifacts folder is a finding.
  before=$(find "build/fuzz/artifacts/$t" -type f | wc -l)
  build/fuzz/fuzz/"$t" -runs="$runs" "${maxlen[@]}" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="build/fuzz/artifacts/$t/" -print_final_stats=1 "$work" \
    >"$scratch/$name.log" 2>&1 || true
  if [ "$(find "build/fuzz/artifacts/$t" -type f | wc -l)" = "$before" ]; then
    verdict="0 findings"
  else
    verdict="FINDING (see build/fuzz/artifacts/$t/)"
  fi
  end=$(date +%s.%N)
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$name.log" | grep -o '[0-9]*$' || echo 0)"
  echo "$t: $execs executions in $(awk "BEGIN{printf \"%.0f\", $end - $start}") s," \
    "$(awk "BEGIN{printf \"%d\", $execs / ($end - $start)}") exec/s, $verdict; load: $(uptime | sed 's/.*load/load/')"
  [ "$verdict" = "0 findings" ] || tail -n 30 "$scratch/$name.log"
  if [ "${MERGE:-0}" = "1" ]; then
    merged="$scratch/$name.merged"
    mkdir -p "$merged"
    build/fuzz/fuzz/"$t" -merge=1 "${maxlen[@]}" "$merged" "fuzz/corpus/$name" "$work" \
      >/dev/null 2>&1
    rm -rf "fuzz/corpus/$name" && mkdir -p "fuzz/corpus/$name" && cp "$merged"/* "fuzz/corpus/$name/"
  fi
done
