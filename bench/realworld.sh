#!/usr/bin/env bash
# Measures Dimenzo on real pictures: converts every file of a folder tree
# with the window's own engine (convert_bench) and compares each output with
# an independent decoder's rendering of the same file at the same size.
#
#   bench/realworld.sh FOLDER [WIDTHxHEIGHT] [--keep DIR]
#
# Size 1024x768 unless given. With --keep, the flat folder of links, our
# outputs (out/) and the references (ref/, PNG) stay in DIR to be looked at.
#
# One line per file, by its path under FOLDER:
#   match FIGURE FILE           written, and it looks like the reference
#   differ FIGURE FILE          written, and it does not
#   unchecked FILE: ...         written, but no independent decoder reads it
#   reported FILE: REASON (independent decoder reads it: yes, WHICH | no)
# then the counts. FIGURE is the PSNR in dB of our output against the
# reference, both first reduced to 128x96 with the same filter: what is left
# at that size is what the picture shows, not how each tool resamples.
# The reference is ImageMagick's (vips's, then gdk-pixbuf's when it cannot
# read the file; the line says which), made the way Dimenzo makes its
# output: first frame or page, orientation as stored, transparency over
# white, CMYK and grey through their embedded profile to sRGB, RGB values
# as they are (Dimenzo keeps an RGB profile without converting), the same
# B-spline (ImageMagick's "Spline") to exactly WIDTHxHEIGHT.
#
# Not part of any test run: it reads what it is given and nothing else.
set -uo pipefail

# Below this a difference shows: found on the pictures the library is known
# to get right (camera JPEGs, PngSuite) and those it is known to get wrong.
MATCH_DB=${MATCH_DB:-30}
SMALL=128x96
# gdk-pixbuf has no command that decodes a file as it is (its thumbnailer
# enlarges small pictures with a filter of its own).
# shellcheck disable=SC2089  # a Python program, not words for the shell
gdk_decode='import sys, gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf
GdkPixbuf.Pixbuf.new_from_file(sys.argv[1]).savev(sys.argv[2], "png", [], [])'

one() {  # one file: "one SOURCE OUTPUT_OR_EMPTY REASON_OR_EMPTY NAME PLACE FLAT_NAME"
  local src=$1 out=$2 reason=$3 name=$4 ref="$work/ref/$6.png" tmp="$work/tmp-$5" used="" flags=()
  if [ -n "$out" ]; then
    local info space icc
    info=$(timeout 60 identify -quiet -format '%m|%[colorspace]|%[profile:icc]\n' "${src}[0]" 2>/dev/null | head -n1)
    IFS='|' read -r _ space icc <<<"$info"
    case "$space" in
      CMYK | Gray) [ -n "$icc" ] && flags+=(-profile "$srgb") ;;
    esac
    # Into sRGB before transparency goes over white, as a browser lays it:
    # a PNG whose gamma says linear is brought to sRGB first.
    flags+=(-colorspace sRGB)
    # A GIF's first frame may cover only part of its canvas: flatten puts it
    # there. Elsewhere an offset is only a note in the file.
    case "$info" in
      GIF*) flags+=(-background white -flatten) ;;
      *) flags+=(+repage -background white -alpha remove -alpha off) ;;
    esac
    # The other decoders only decode (vips no larger than twice the size),
    # which keeps their own resampling out of what is compared; ImageMagick
    # makes the rest as above.
    local twice=$((2 * W))x$((2 * H))
    if timeout 120 convert -quiet -define jpeg:size="$twice" "${src}[0]" "${flags[@]}" \
      -filter Spline -resize "${W}x${H}!" "PNG24:$ref" 2>/dev/null; then
      used=ImageMagick
    elif timeout 120 vipsthumbnail "$src" --size "$twice>" --no-rotate -o "$tmp.vips.png" 2>/dev/null &&
      convert "$tmp.vips.png" -colorspace sRGB -background white -alpha remove -alpha off \
        -filter Spline -resize "${W}x${H}!" "PNG24:$ref" 2>/dev/null; then
      used=vips
    elif timeout 120 /usr/bin/python3 -c "$gdk_decode" "$src" "$tmp.png" 2>/dev/null &&
      convert "$tmp.png" -colorspace sRGB -background white -alpha remove -alpha off \
        -filter Spline -resize "${W}x${H}!" "PNG24:$ref" 2>/dev/null; then
      used=gdk-pixbuf
    fi
    rm -f "$tmp.vips.png" "$tmp.png"
    if [ -z "$used" ]; then
      printf '%s\tunchecked %s: no independent decoder reads it\n' "$5" "$name"
      return
    fi
    local db
    db=$(convert "$ref" "jpeg:$out" -filter Triangle -resize "$SMALL!" -metric PSNR -compare -format '%[distortion]' info: 2>/dev/null)
    [ "$db" = inf ] && db=99
    [ -z "$db" ] && db=0
    local verdict=differ
    awk -v d="$db" -v m="$MATCH_DB" 'BEGIN { exit !(d >= m) }' && verdict=match
    printf '%s\t%s %.1f %s%s\n' "$5" "$verdict" "$db" "$name" "$([ "$used" = ImageMagick ] || echo " [reference: $used]")"
    return
  fi
  # Reported: would an independent decoder have read it?
  local readers=()
  local format
  if format=$(timeout 60 convert -quiet "${src}[0]" -resize 16x16 -format '%m' info: 2>/dev/null) && [ -n "$format" ]; then
    readers+=("ImageMagick as $format")
  fi
  timeout 60 vips avg "$src" >/dev/null 2>&1 && readers+=(vips)
  timeout 60 /usr/bin/python3 -c "$gdk_decode" "$src" "$tmp.png" >/dev/null 2>&1 && readers+=(gdk-pixbuf)
  rm -f "$tmp.png"
  local verdict=no
  if [ ${#readers[@]} -gt 0 ]; then
    verdict="yes, ${readers[0]}"
    for r in "${readers[@]:1}"; do verdict+=", $r"; done
  fi
  printf '%s\treported %s: %s (independent decoder reads it: %s)\n' "$5" "$name" "$reason" "$verdict"
}

if [ "${1:-}" = --one ]; then
  shift
  one "$@"
  exit 0
fi

folder=${1:?usage: bench/realworld.sh FOLDER [WIDTHxHEIGHT] [--keep DIR]}
size=1024x768
keep=""
shift
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=${2:?--keep needs a folder}; shift 2 ;;
    *x*) size=$1; shift ;;
    *) echo "realworld.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
folder=$(realpath -- "$folder") || exit 2
W=${size%x*} H=${size#*x}

need=()
for p in imagemagick libvips-tools python3-gi gir1.2-gdkpixbuf-2.0 colord-data; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
srgb=/usr/share/color/icc/colord/sRGB.icc

self=$(realpath -- "$0")
cd "$(dirname "$self")/.." || exit 1
cmake -S . -B build -DDIMENZO_BENCH=ON >/dev/null || exit 1
cmake --build build --target convert_bench dimenzo-worker >/dev/null || exit 1
bench=$PWD/build/bin/convert_bench

if [ -n "$keep" ]; then
  mkdir -p "$keep" && work=$(realpath -- "$keep") || exit 2
  rm -rf "$work/flat" "$work/out" "$work/ref"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/flat" "$work/out" "$work/ref"

# convert_bench takes a flat folder of names it can hold as text: one link
# per file, numbered, with the path's other bytes as "_". The table keeps
# each link's real path, NUL-separated, since a file name is bytes.
: >"$work/table"
skipped=0
n=0
while IFS= read -r -d '' rel; do
  # Notes and settings kept beside the pictures are not pictures (a test
  # suite's .conf beside each GIF); by name, since some pictures are text.
  case "${rel,,}" in
    *.txt | *.md | *.tsv | *.csv | *.conf | *.json | *.ini) skipped=$((skipped + 1)); continue ;;
  esac
  n=$((n + 1))
  flat=$(printf '%04d-%s' "$n" "$(LC_ALL=C; printf '%s' "${rel//[^A-Za-z0-9._-]/_}")")
  ln -s "$folder/$rel" "$work/flat/$flat"
  printf '%s\0%s\0' "$flat" "$rel" >>"$work/table"
done < <(cd "$folder" && find -L . -type f -printf '%P\0' | LC_ALL=C sort -z)
echo "# $skipped notes and settings skipped (.txt .md .tsv .csv .conf .json .ini)"

start=$(date +%s)
# It exits 1 when some picture was neither written nor reported; the lines
# below say which.
"$bench" "$work/flat" "$work/out" "$size" >"$work/bench.txt" 2>&1
grep -E '^(pictures|wall time|convert_bench)' "$work/bench.txt" | sed 's/^/# dimenzo: /'

declare -A reason=()
while IFS= read -r line; do
  rest=${line#failed: "$work/flat/"}
  reason[${rest%%: *}]=${rest#*: }
done < <(grep '^failed: ' "$work/bench.txt")

export -f one
# shellcheck disable=SC2090  # gdk_decode is only ever passed whole, quoted
export work srgb W H MATCH_DB SMALL gdk_decode
n=0
while IFS= read -r -d '' flat && IFS= read -r -d '' rel; do
  n=$((n + 1))
  out=""
  [ -z "${reason[$flat]:-}" ] && [ -s "$work/out/$flat" ] && out="$work/out/$flat"
  why=${reason[$flat]:-}
  [ -z "$out" ] && [ -z "$why" ] && why="neither written nor reported"
  printf '%s\0%s\0%s\0%s\0%s\0%s\0' "$work/flat/$flat" "$out" "$why" "$rel" "$n" "$flat"
done <"$work/table" | xargs -0 -r -n6 -P "$(nproc)" bash "$self" --one >"$work/lines"

# Each line starts with its file's place in the sorted table.
sort -n "$work/lines" | cut -f2- | awk '
  { print; count[$1]++ }
  END {
    total = count["match"] + count["differ"] + count["unchecked"] + count["reported"]
    printf "\n%d files: %d match, %d differ, %d unchecked, %d reported\n", total,
      count["match"], count["differ"], count["unchecked"], count["reported"]
  }'
echo "size ${size}, match at ${MATCH_DB} dB or more, $(($(date +%s) - start)) s"
