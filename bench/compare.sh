#!/usr/bin/env bash
# Times Dimenzo's run (the window's engine, without the window) against
# vipsthumbnail and ImageMagick's mogrify on the reference corpus, side by
# side on this machine, all to 1024x768 exactly.
#
#   bench/compare.sh            (from a configured build in ./build)
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for p in libvips-tools imagemagick time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

corpus=$(bench/fetch_corpus.sh)
cmake -S . -B build -DDIMENZO_BENCH=ON >/dev/null
cmake --build build --target convert_bench dimenzo-worker >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/dimenzo" "$work/vips" "$work/magick"
count=$(ls "$corpus" | wc -l)
echo "corpus: $count pictures in $corpus; $(nproc) cores"

build/bin/convert_bench "$corpus" "$work/dimenzo" 1024x768 | tee "$work/dimenzo.txt"
dimenzo_s=$(awk '/wall time/ {print $3}' "$work/dimenzo.txt")
dimenzo_mb=$(awk '/peak memory/ {print $7}' "$work/dimenzo.txt")

/usr/bin/time -f "%e %M" -o "$work/vips.time" \
  vipsthumbnail --size '1024x768!' -o "$work/vips/%s.jpg[Q=50]" "$corpus"/* 2>/dev/null
read -r vips_s vips_kb < "$work/vips.time"

/usr/bin/time -f "%e %M" -o "$work/magick.time" \
  mogrify -path "$work/magick" -format jpg -filter Spline -resize '1024x768!' -quality 50 "$corpus"/* 2>/dev/null
read -r magick_s magick_kb < "$work/magick.time"

# A tool that skipped pictures would look faster than it is.
for tool in dimenzo vips magick; do
  made=$(find "$work/$tool" -type f | wc -l)
  if [ "$made" -ne "$count" ]; then
    echo "compare.sh: $tool wrote $made of $count pictures" >&2
    exit 1
  fi
done

awk -v d="$dimenzo_s" -v dm="$dimenzo_mb" -v v="$vips_s" -v vk="$vips_kb" -v m="$magick_s" -v mk="$magick_kb" 'BEGIN {
  printf "\n%-14s %10s %12s\n", "", "wall (s)", "peak (MB)"
  printf "%-14s %10.2f %12.0f\n", "dimenzo", d, dm
  printf "%-14s %10.2f %12.0f\n", "vipsthumbnail", v, vk / 1024
  printf "%-14s %10.2f %12.0f\n", "mogrify", m, mk / 1024
  printf "\ndimenzo is %.2fx faster than vipsthumbnail, %.2fx faster than mogrify;\n", v / d, m / d
  printf "its peak memory is %.2fx that of vipsthumbnail\n", dm / (vk / 1024)
}'
