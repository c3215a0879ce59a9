#!/usr/bin/env bash
# scripts/compare-outputs.sh OLD_CLI NEW_CLI [GEN_IMAGE]: runs two builds of cartscope-cli over
# the bundled sample, a generated 3,000-file tree (when bench/gen_image is given) and every
# input of the load, fnt and narc fuzz corpora, and reports any difference in what info, info
# --json, list, list --json, list --system (text and JSON) and extract --system print, exit with
# or write. A refactoring that must not change outputs is checked with it.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
OLD=$(realpath "$1")
NEW=$(realpath "$2")
GEN=${3:-}
W=$(mktemp -d "${TMPDIR:-/tmp}/cartscope-compare.XXXXXX")
trap 'rm -rf "$W"' EXIT
imgs=("$PWD/samples/sample.nds")
if [ -n "$GEN" ]; then
  "$GEN" tree "$W/tree.nds" 3000 40 16 1000 >/dev/null && imgs+=("$W/tree.nds")
fi
for f in fuzz/corpus/load/* fuzz/corpus/fnt/* fuzz/corpus/narc/*; do imgs+=("$PWD/$f"); done
fail=0
n=0
for img in "${imgs[@]}"; do
  for cmd in "info" "info --json" "list" "list --json" "list --system --json" "list --system"; do
    # shellcheck disable=SC2086 # the command words split on purpose
    a=$(cd "$W" && XDG_CACHE_HOME=$W/c1 "$OLD" $cmd "$img" 2>&1; echo "rc=$?")
    # shellcheck disable=SC2086
    b=$(cd "$W" && XDG_CACHE_HOME=$W/c2 "$NEW" $cmd "$img" 2>&1; echo "rc=$?")
    n=$((n + 1))
    if [ "$a" != "$b" ]; then
      echo "differs: $cmd $img"
      diff <(echo "$a") <(echo "$b") | head -5
      fail=$((fail + 1))
    fi
  done
  rm -rf "$W/o1" "$W/o2"
  mkdir "$W/o1" "$W/o2"
  a=$(XDG_CACHE_HOME=$W/c1 "$OLD" extract --system "$img" "$W/o1" 2>&1 | sed "s#$W/o1##g"; echo "rc=$?")
  b=$(XDG_CACHE_HOME=$W/c2 "$NEW" extract --system "$img" "$W/o2" 2>&1 | sed "s#$W/o2##g"; echo "rc=$?")
  n=$((n + 1))
  if [ "$a" != "$b" ]; then
    echo "differs: extract messages $img"
    fail=$((fail + 1))
  fi
  diff -r "$W/o1" "$W/o2" >/dev/null || { echo "differs: extracted tree $img"; fail=$((fail + 1)); }
done
echo "compared $n runs over ${#imgs[@]} images, $fail differences"
[ "$fail" -eq 0 ]
