#!/usr/bin/env bash
# Regenerates samples/sample.nds with the fixture builder.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
cmake --preset release >/dev/null
cmake --build --preset release --target make_sample
"$build/tools/make_sample" samples/sample.nds
echo "wrote samples/sample.nds ($(stat -c %s samples/sample.nds) bytes)"
