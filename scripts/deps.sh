#!/usr/bin/env bash
# Installs the Debian 12 packages Dimenzo needs to build, run and test,
# asking apt-get only for those that are missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
  libfreeimage-dev liblcms2-dev libexiv2-dev libgdk-pixbuf-2.0-dev
  libheif-dev libjxl-dev libraw-dev libtiff-dev
  fonts-liberation2
  xvfb xauth imagemagick
  desktop-file-utils appstream
  dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
