#!/usr/bin/env bash
# scripts/screenshot.sh [CARTSCOPE_BINARY [IMAGE [OUT.png]]]
# Runs the built window on IMAGE under a virtual X server and saves a picture of the main
# window. Builds nothing itself. Defaults: build/release/app/cartscope and the bundled sample.
# Without OUT, makes both pictures of the README: docs/screenshot.png at 96 dpi and
# docs/screenshot-144dpi.png at 144 dpi (scale factor 1.5), and the file list sorted by size
# as docs/screenshot-files.png. With OUT, one picture at $DPI
# (default 96).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

if [ $# -gt 3 ]; then
  echo "usage: $0 [CARTSCOPE_BINARY [IMAGE [OUT.png]]]" >&2
  exit 2
fi
binary="${1:-$here/../build/release/app/cartscope}"
image="${2:-$here/../samples/sample.nds}"

if [ ! -x "$binary" ]; then
  echo "$0: $binary is not an executable" >&2
  exit 1
fi
if [ ! -f "$image" ]; then
  echo "$0: $image is not a file" >&2
  exit 1
fi
command -v xvfb-run >/dev/null || { echo "$0: xvfb-run is missing (package xvfb)" >&2; exit 1; }

# A private cache and config folder, so an image taken out of a .zip leaves nothing behind and
# the user's own settings (fonts, style) do not change the picture.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# The image is opened from a neutral folder, so the picture shows no build path.
mkdir -p "$scratch/roms"
cp "$image" "$scratch/roms/"
image="$scratch/roms/$(basename "$image")"

shoot() { # DPI OUT [PAGE]
  local dpi="$1" out="$2" page="${3:-}" scale
  scale="$(awk -v d="$dpi" 'BEGIN { printf "%g", d / 96 }')"
  mkdir -p "$(dirname "$out")"
  local out_abs
  out_abs="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
  XDG_CACHE_HOME="$scratch/cache" XDG_CONFIG_HOME="$scratch/config" \
    CARTSCOPE_SCREENSHOT="$out_abs" CARTSCOPE_SCREENSHOT_PAGE="$page" QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" \
    QT_ENABLE_HIGHDPI_SCALING=1 \
    timeout 60 xvfb-run -a -s "-screen 0 1600x1200x24 -dpi 96" "$binary" "$image"
  echo "$out_abs"
}

if [ $# -eq 3 ]; then
  shoot "${DPI:-96}" "$3"
else
  shoot 96 "$here/../docs/screenshot.png"
  shoot 144 "$here/../docs/screenshot-144dpi.png"
  shoot 96 "$here/../docs/screenshot-files.png" files
fi
