#!/usr/bin/env bash
# Renders the program icon's bitmaps from its drawing. Run again after
# changing app/icons/dimenzo.svg; the PNGs are kept in the repository so the
# build needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/../app/icons"
for size in 16 32 48 128; do
  rsvg-convert -w "$size" -h "$size" dimenzo.svg -o "dimenzo-$size.png"
done
