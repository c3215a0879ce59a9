#!/usr/bin/env bash
# scripts/check-package.sh DEB: unpacks the package into a throw-away root (dpkg -x) and checks
# what it holds: every file in its standard place, programs that run from there, a thumbnail of
# the bundled sample, the desktop entry, AppStream metadata, MIME package and man pages valid,
# and lintian without errors.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 cartscope_VERSION_ARCH.deb" >&2
  exit 2
fi
deb="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
fail() {
  echo "check-package: $*" >&2
  exit 1
}

dpkg-deb -x "$deb" "$root"
listing="$(dpkg-deb -c "$deb")"

expected=(
  usr/bin/cartscope
  usr/bin/cartscope-cli
  usr/bin/cartscope-thumbnailer
  usr/share/applications/io.github.cartscope.Cartscope.desktop
  usr/share/metainfo/io.github.cartscope.Cartscope.metainfo.xml
  usr/share/mime/packages/cartscope.xml
  usr/share/thumbnailers/cartscope.thumbnailer
  usr/share/icons/hicolor/scalable/apps/cartscope.svg
  usr/share/man/man1/cartscope.1.gz
  usr/share/man/man1/cartscope-cli.1.gz
  usr/share/man/man1/cartscope-thumbnailer.1.gz
  usr/share/bash-completion/completions/cartscope
  usr/share/bash-completion/completions/cartscope-cli
  usr/share/bash-completion/completions/cartscope-thumbnailer
  usr/share/doc/cartscope/copyright
  usr/share/doc/cartscope/changelog.gz
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/cartscope.png")
done
for f in "${expected[@]}"; do
  [ -f "$root/$f" ] || fail "missing /$f"
  grep -q " \./$f\$" <<<"$listing" || fail "/$f is not in the dpkg -c listing"
done
# Nothing outside /usr, nothing of the build (tests, benchmarks, libraries) slipped in.
if grep -vE ' \./(usr/?|usr/.*)$' <<<"$listing" | grep -v ' \./$'; then
  fail "files outside /usr"
fi
[ "$(find "$root/usr/bin" -type f | wc -l)" -eq 3 ] || fail "/usr/bin holds more than the three programs"

# Icons: each PNG has the size its folder names.
for size in 16 22 24 32 48 64 128 256; do
  png="$root/usr/share/icons/hicolor/${size}x${size}/apps/cartscope.png"
  read -r w h < <(python3 -c 'import sys, struct; d = open(sys.argv[1], "rb").read(24)
print(*struct.unpack(">II", d[16:24]))' "$png")
  [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "$png is ${w}x${h}"
done

# The control fields and the dependencies: those dpkg-shlibdeps found, and the two libraries
# opened at run time (libarchive13, libssl3).
control="$(dpkg-deb -f "$deb")"
for field in Package Version Architecture Maintainer Description Depends; do
  grep -q "^$field: ." <<<"$control" || fail "control field $field is missing"
done
for lib in libc6 libqt6widgets6 libqt6multimedia6 libarchive13 libssl3 zlib1g; do
  grep -q "^Depends:.*\b$lib\b" <<<"$control" || fail "Depends does not name $lib"
done

# The programs run from the unpacked root.
"$root/usr/bin/cartscope-cli" --version | grep -q "^cartscope-cli " || fail "cartscope-cli --version"
"$root/usr/bin/cartscope-cli" info samples/sample.nds >/dev/null || fail "cartscope-cli info"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$root/usr/bin/cartscope" --version |
  grep -qx 'cartscope [0-9.]*' || fail "cartscope --version without a display"
"$root/usr/bin/cartscope-thumbnailer" -s 128 samples/sample.nds "$root/thumb.png"
python3 -c 'import sys, struct; d = open(sys.argv[1], "rb").read(26)
sys.exit(0 if d[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", d[16:24]) == (128, 128) else 1)' \
  "$root/thumb.png" || fail "the thumbnail of the sample is not a 128x128 PNG"

# Desktop entry, thumbnailer entry (same syntax), AppStream metadata.
desktop-file-validate "$root/usr/share/applications/io.github.cartscope.Cartscope.desktop"
grep -qx 'Icon=cartscope' "$root/usr/share/applications/io.github.cartscope.Cartscope.desktop" ||
  fail "the desktop entry names no icon"
# It claims DS images, never every zip file, and names the window class the program sets.
grep -qx 'MimeType=application/x-nintendo-ds-rom;' \
  "$root/usr/share/applications/io.github.cartscope.Cartscope.desktop" ||
  fail "the desktop entry's MIME types"
grep -qx 'StartupWMClass=Cartscope' \
  "$root/usr/share/applications/io.github.cartscope.Cartscope.desktop" ||
  fail "the desktop entry's StartupWMClass"
grep -q '^Exec=cartscope-thumbnailer -s %s %i %o$' "$root/usr/share/thumbnailers/cartscope.thumbnailer" ||
  fail "the thumbnailer entry's Exec line"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.cartscope.Cartscope.metainfo.xml"

# The MIME package: well-formed, and compiled by update-mime-database without a complaint into
# a database that knows every name and the logo magic.
xmllint --noout "$root/usr/share/mime/packages/cartscope.xml"
mime_log="$(update-mime-database -V "$root/usr/share/mime" 2>&1)"
if grep -iE 'warning|error|invalid|unknown' <<<"$mime_log"; then
  fail "update-mime-database complained"
fi
for ext in nds ids dsi srl; do
  grep -q "^50:application/x-nintendo-ds-rom:\*\.$ext\$" "$root/usr/share/mime/globs2" ||
    fail "*.$ext is not application/x-nintendo-ds-rom"
done
grep -aq 'application/x-nintendo-ds-rom' "$root/usr/share/mime/magic" || fail "no magic rule"

# Man pages: render without a warning from groff.
for page in cartscope cartscope-cli cartscope-thumbnailer; do
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "man page $page: $warnings"
done

# lintian, as Debian checks its packages; errors fail, warnings are shown.
lintian_status=0
lintian_log="$(lintian --fail-on error "$deb" 2>&1)" || lintian_status=$?
grep -v 'running with root privileges' <<<"$lintian_log" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

echo "package OK: $(basename "$deb") ($(grep -c . <<<"$listing") entries)"
