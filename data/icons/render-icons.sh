#!/bin/sh
# Renders the program's icon from its SVG into the PNG sizes of the hicolor
# theme, beside it. Run after changing the SVG and commit the PNGs:
#   data/icons/render-icons.sh
# Needs rsvg-convert (Debian package librsvg2-bin).
set -eu
cd "$(dirname "$0")/hicolor"
id=io.github.deruzera.NtfsDeruzera
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "${size}x${size}/apps"
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "${size}x${size}/apps/$id.png" "scalable/apps/$id.svg"
done
