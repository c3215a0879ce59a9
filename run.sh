#!/usr/bin/env bash
# ./run.sh [IMAGE]: installs what is missing, builds once (Release) and runs Cartscope on IMAGE,
# or on the bundled sample. The window opens when a display is available; otherwise the header
# report is printed by the command-line front end.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target cartscope cartscope-cli

image="${1:-samples/sample.nds}"
if { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } && [ -x build/release/app/cartscope ]; then
  exec build/release/app/cartscope "$image"
fi
exec build/release/cli/cartscope-cli info -- "$image"
