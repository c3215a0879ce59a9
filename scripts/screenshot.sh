#!/usr/bin/env bash
# scripts/screenshot.sh CARTSCOPE_BINARY IMAGE [OUT.png]
# Runs the built window on IMAGE under a virtual X server and saves a picture of the main
# window (default docs/screenshot.png). Builds nothing itself. Extra environment is passed on,
# e.g. QT_SCALE_FACTOR=1.5 for a 144-dpi picture.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 CARTSCOPE_BINARY IMAGE [OUT.png]" >&2
  exit 2
fi
binary="$1"
image="$2"
out="${3:-$(dirname "$0")/../docs/screenshot.png}"

if [ ! -x "$binary" ]; then
  echo "$0: $binary is not an executable" >&2
  exit 1
fi
if [ ! -f "$image" ]; then
  echo "$0: $image is not a file" >&2
  exit 1
fi
command -v xvfb-run >/dev/null || { echo "$0: xvfb-run is missing (package xvfb)" >&2; exit 1; }

mkdir -p "$(dirname "$out")"
# A private cache folder, so an image taken out of a .zip leaves nothing behind.
cache="$(mktemp -d)"
trap 'rm -rf "$cache"' EXIT
out_abs="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

XDG_CACHE_HOME="$cache" CARTSCOPE_SCREENSHOT="$out_abs" QT_QPA_PLATFORM=xcb \
  timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" "$binary" "$image"
echo "$out_abs"
