#!/usr/bin/env bash
# Makes the many-small-pictures corpus from the reference corpus: 400 JPEGs
# of 1600x1200 (quality 90), cut from the wallpapers, in a cache folder
# outside the repository, and prints that folder. What a run pays for each
# picture whatever its size shows on these.
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=$(bench/fetch_corpus.sh)
cache=${DIMENZO_BENCH_CACHE:-$HOME/.cache/dimenzo-bench}
small="$cache/small"
if [ "$(find "$small" -name '*.jpg' 2>/dev/null | wc -l)" -ne 400 ]; then
  rm -rf "$small" && mkdir -p "$small"
  n=0
  while [ "$n" -lt 400 ]; do
    for file in "$corpus"/*; do
      [ "$n" -lt 400 ] || break
      # A different 1600x1200 window of the wallpaper each round.
      round=$((n / $(ls "$corpus" | wc -l)))
      convert "$file" -resize '2400x1800^' -gravity northwest \
        -crop "1600x1200+$((round * 97 % 800))+$((round * 53 % 600))" +repage \
        -quality 90 "$small/$(printf '%03d' "$n").jpg"
      n=$((n + 1))
    done
  done
fi
echo "$small"
