#!/bin/sh
# Draws the window's pictures into window/resources/: the gradient of the
# progress page (623 x 407 JPEG) and the four 16 x 16 toolbar images.
# Needs ImageMagick 6 (convert). The generated files are committed; run this
# again only to change them.
set -eu
out="$(dirname "$0")/../window/resources"
mkdir -p "$out"

# Light sky blue at the top to a deeper blue at the bottom, nothing else.
convert -size 623x407 gradient:'#BFE6FB'-'#1C6FC2' -strip -quality 92 \
  -sampling-factor 1x1 "$out/progress.jpg"

# Update: two arrows turning round.
convert -size 16x16 xc:none -fill none -stroke '#1A7F2E' -strokewidth 2 \
  -draw 'arc 2,2 13,13 200,340' -draw 'arc 2,2 13,13 20,160' \
  -stroke none -fill '#1A7F2E' \
  -draw 'polygon 11,1 15,5 10,6' -draw 'polygon 4,14 0,10 5,9' \
  -strip "PNG32:$out/update.png"

# Scanning: a magnifying glass.
convert -size 16x16 xc:none -fill '#D8EEFB' -stroke '#1C5FA8' -strokewidth 2 \
  -draw 'circle 6,6 6,1' -stroke '#6B4A1E' -strokewidth 3 -draw 'line 10,10 14,14' \
  -strip "PNG32:$out/scanning.png"

# Recovery: a sheet with an arrow pulling it out.
convert -size 16x16 xc:none -fill white -stroke '#5A5A5A' -strokewidth 1 \
  -draw 'polygon 2,1 9,1 12,4 12,14 2,14' -stroke none -fill '#D02020' \
  -draw 'polygon 7,6 15,10 7,14' -draw 'rectangle 4,9 8,11' \
  -strip "PNG32:$out/recovery.png"

# Support: a question mark in a round badge.
convert -size 16x16 xc:none -fill '#1C7FD0' -stroke none -draw 'circle 7.5,7.5 7.5,0' \
  -fill white -font DejaVu-Sans-Bold -pointsize 12 -gravity center -annotate +0+1 '?' \
  -strip "PNG32:$out/support.png"
