#!/usr/bin/env bash
# scripts/package.sh [BUILD_DIR]: builds the Debian package cartscope_<version>_amd64.deb with
# CPack from the install rules and prints its path; the package lands in BUILD_DIR/deb/.
# Without BUILD_DIR, a build of its own (build/package: Release, Debian's hardening flags from
# dpkg-buildflags, no tests) is configured first. ./test.sh passes its own build/ci instead,
# so nothing is built twice there.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 1 ]; then
  echo "usage: $0 [BUILD_DIR]" >&2
  exit 2
fi
if [ $# -eq 1 ]; then
  build="$1"
else
  build=build/package
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cppflags="$(dpkg-buildflags --get CPPFLAGS)"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCARTSCOPE_BUILD_TESTS=OFF -DCARTSCOPE_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
fi
# Only what the package holds: the three programs, the icons, the man pages, the changelog.
cmake --build "$build" --target cartscope cartscope-cli cartscope-thumbnailer cartscope_icons \
  cartscope_man cartscope_changelog >/dev/null

out="$(cd "$build" && pwd)/deb"
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
