#!/usr/bin/env bash
# Times Dimenzo's run (the window's engine, without the window) against
# vipsthumbnail (one process, and one process per core) and ImageMagick's
# mogrify, side by side on this machine, and against the floor of decoding
# alone, on two corpora: the reference wallpapers to 1024x768, and 400 JPEGs
# of 1600x1200 to 640x480, where what a picture costs whatever its size
# shows.
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

cmake -S . -B build -DDIMENZO_BENCH=ON >/dev/null
cmake --build build --target convert_bench dimenzo-worker >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cores=$(nproc)

# compare NAME FOLDER SIZE FILES_PER_VIPS_PROCESS
compare() {
  local name=$1 corpus=$2 size=$3 per=$4 out="$work/$1"
  mkdir -p "$out"/{dimenzo,vips,vipsp,magick}
  local count
  count=$(find "$corpus/" -maxdepth 1 \( -type f -o -type l \) | wc -l)
  echo "== $name: $count pictures in $corpus, to $size; $cores cores"

  build/bin/convert_bench "$corpus" "$out/dimenzo" "$size" | tee "$out/dimenzo.txt"
  build/bin/convert_bench "$corpus" "$out/dimenzo" "$size" --floor | tee "$out/floor.txt"
  local dimenzo_s dimenzo_mb floor_s
  dimenzo_s=$(awk '/wall time/ {print $3}' "$out/dimenzo.txt")
  dimenzo_mb=$(awk '/peak memory/ {print $7}' "$out/dimenzo.txt")
  dimenzo_summed_mb=$(sed -n 's/.*; \([0-9]*\) MB as the sum.*/\1/p' "$out/dimenzo.txt")
  floor_s=$(awk '/decode floor/ {print $8}' "$out/floor.txt")

  /usr/bin/time -f "%e %M" -o "$out/vips.time" \
    vipsthumbnail --size "$size!" -o "$out/vips/%s.jpg[Q=50]" "$corpus"/* 2>/dev/null
  /usr/bin/time -f "%e %M" -o "$out/vipsp.time" \
    bash -c 'printf "%s\0" "$1"/* | xargs -0 -n "$2" -P "$3" vipsthumbnail --size "$4!" -o "$5/%s.jpg[Q=50]"' \
    - "$corpus" "$per" "$cores" "$size" "$out/vipsp" 2>/dev/null
  /usr/bin/time -f "%e %M" -o "$out/magick.time" \
    mogrify -path "$out/magick" -format jpg -filter Spline -resize "$size!" -quality 50 "$corpus"/* 2>/dev/null

  # A tool that skipped pictures would look faster than it is.
  for tool in dimenzo vips vipsp magick; do
    local made
    made=$(find "$out/$tool" -type f | wc -l)
    if [ "$made" -ne "$count" ]; then
      echo "compare.sh: $tool wrote $made of $count pictures" >&2
      exit 1
    fi
  done

  local vips_s vips_kb vipsp_s vipsp_kb magick_s magick_kb
  read -r vips_s vips_kb < "$out/vips.time"
  read -r vipsp_s vipsp_kb < "$out/vipsp.time"
  read -r magick_s magick_kb < "$out/magick.time"
  awk -v d="$dimenzo_s" -v dm="$dimenzo_mb" -v ds="$dimenzo_summed_mb" -v f="$floor_s" -v v="$vips_s" -v vk="$vips_kb" \
      -v p="$vipsp_s" -v pk="$vipsp_kb" -v m="$magick_s" -v mk="$magick_kb" -v cores="$cores" 'BEGIN {
    printf "\n%-30s %10s %12s\n", "", "wall (s)", "peak (MB)"
    printf "%-30s %10.2f %12.0f\n", "dimenzo", d, dm
    printf "%-30s %10s %12.0f\n", "  (libraries once a process)", "", ds
    printf "%-30s %10.2f %12s\n", "decode floor (" cores " cores)", f, "-"
    printf "%-30s %10.2f %12.0f\n", "vipsthumbnail", v, vk / 1024
    printf "%-30s %10.2f %12.0f\n", "vipsthumbnail, " cores " at once", p, pk / 1024
    printf "%-30s %10.2f %12.0f\n", "mogrify", m, mk / 1024
    printf "\ndimenzo: %.2fx the decode floor; %.2fx faster than vipsthumbnail, %.2fx faster than\n", d / f, v / d, p / d
    printf "vipsthumbnail one process per core, %.2fx faster than mogrify; peak memory %.2fx vipsthumbnail'"'"'s\n",
           m / d, dm / (vk / 1024)
    printf "(%.2fx counting the libraries the processes share once for each)\n\n", ds / (vk / 1024)
  }'
}

corpus=$(bench/fetch_corpus.sh)
compare wallpapers "$corpus" 1024x768 $(( ($(ls "$corpus" | wc -l) + cores - 1) / cores ))
compare small "$(bench/small_corpus.sh)" 640x480 20
