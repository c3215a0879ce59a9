#!/usr/bin/env bash
# Checks that the committed sample image is exactly what the generator writes.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
tmp="$(mktemp)"
trap 'rm -f "$tmp"' EXIT
"$build/tools/make_sample" "$tmp"
if ! cmp -s "$tmp" samples/sample.nds; then
  echo "samples/sample.nds differs from what tools/make_sample writes; run scripts/make-sample.sh" >&2
  exit 1
fi
echo "samples/sample.nds matches the generator"
