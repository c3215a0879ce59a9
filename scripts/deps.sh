#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need, when any is missing.
# A fast no-op when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev clang-format pkg-config
  qt6-base-dev qt6-multimedia-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libisal-dev libarchive-dev libarchive-tools liblzma-dev libssl-dev libpugixml-dev
  xvfb xauth python3 python3-png locales time
  librsvg2-bin scdoc gzip bash-completion
  dpkg-dev lintian desktop-file-utils appstream shared-mime-info libxml2-utils man-db
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Two locales whose rules differ from English (Turkish letter case, a decimal comma): the tests
# check that extension matching and byte counts do not follow the user's locale.
for l in tr_TR de_DE; do
  if ! locale -a 2>/dev/null | grep -qix "$l.utf8"; then
    "${sudo_cmd[@]}" localedef -i "$l" -c -f UTF-8 "$l.UTF-8" || true
  fi
done
