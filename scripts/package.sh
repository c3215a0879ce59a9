#!/usr/bin/env bash
# scripts/package.sh [BUILD_DIR]: builds the Debian package cartscope_<version>_amd64.deb with
# CPack from the install rules and prints its path. BUILD_DIR defaults to build/release
# (configured with the release preset first); ./test.sh passes its own build/ci, so nothing is
# built twice. The package lands in BUILD_DIR/package/.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 1 ]; then
  echo "usage: $0 [BUILD_DIR]" >&2
  exit 2
fi
build="${1:-build/release}"
if [ $# -eq 0 ]; then
  cmake --preset release >/dev/null
fi
# Only what the package holds: the three programs, the icons, the man pages, the changelog.
cmake --build "$build" --target cartscope cartscope-cli cartscope-thumbnailer cartscope_icons \
  cartscope_man cartscope_changelog >/dev/null

out="$(cd "$build" && pwd)/package"
rm -rf "$out"
mkdir -p "$out"
# cpack writes its staging tree under the output folder; only the .deb is kept.
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
deb=("$out"/cartscope_*.deb)
if [ ! -f "${deb[0]}" ]; then
  echo "$0: cpack made no package in $out" >&2
  exit 1
fi
echo "${deb[0]}"
