#!/usr/bin/env bash
# Fetches the reference corpus, the JPEG and PNG wallpapers of Debian's
# plasma-workspace-wallpapers package, into a cache folder outside the
# repository, and prints the folder that holds them under unique names.
set -euo pipefail
cache=${DIMENZO_BENCH_CACHE:-$HOME/.cache/dimenzo-bench}
mkdir -p "$cache"
cd "$cache"
if [ ! -d extracted ]; then
  ls plasma-workspace-wallpapers_*.deb >/dev/null 2>&1 || apt-get download plasma-workspace-wallpapers >&2
  dpkg-deb -x plasma-workspace-wallpapers_*.deb extracted
fi
# Many wallpapers share a file name (5120x2880.png); the flat folder names
# each after its wallpaper so that no output replaces another.
rm -rf corpus && mkdir corpus
find extracted -path '*/contents/images*' -type f \( -iname '*.jpg' -o -iname '*.png' \) | sort |
  while read -r file; do
    name=$(echo "$file" | sed -E 's|.*/wallpapers/([^/]+)/contents/(images[^/]*)/(.*)|\1-\2-\3|')
    ln -s "$cache/$file" "corpus/$name"
  done
echo "$cache/corpus"
