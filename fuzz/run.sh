#!/usr/bin/env bash
# fuzz/run.sh [SECONDS] [TARGET...]: builds the fuzz preset, writes seed corpora with the fixture
# builder (and a few zips for the archive target), then runs each target for SECONDS (default
# 900). Crashing inputs land in fuzz/artifacts/TARGET/; copy them into tests as regression cases.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-900}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_load fuzz_png fuzz_plan fuzz_archive fuzz_narc)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=fuzz/corpus
mkdir -p "$corpus"/{load,plan,png,archive,narc}
build/fuzz/fuzz/make_corpus "$corpus"
if command -v bsdtar >/dev/null; then
  (cd "$corpus/load" && bsdtar -a -cf ../archive/seed.zip plain.nds bare.nds) || true
fi

for t in "${targets[@]}"; do
  dir="${t#fuzz_}"
  mkdir -p "fuzz/artifacts/$t"
  echo "== $t for ${seconds}s"
  build/fuzz/fuzz/"$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="fuzz/artifacts/$t/" -print_final_stats=1 "$corpus/$dir" \
    2>&1 | tail -n 25 || echo "$t stopped with a finding (see fuzz/artifacts/$t/)"
done
