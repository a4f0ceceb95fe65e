#!/bin/sh
# Takes the README's screenshots of the window under Xvfb into docs/.
#   scripts/screenshots.sh [BUILD-DIR]
# Needs xvfb-run and ImageMagick (import). Builds the demo image, a large
# image for the scan in progress, and the screenshot driver.
set -eu
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
cmake --build "$build" -j2 --target gui_screenshots demo-image deruzera-mkimage
work="$build/screenshots"
mkdir -p "$work"
printf 'format 64M\nbulk 3 6000 80 3 0.5 2\n' > "$work/large.plan"
"$build/tools/deruzera-mkimage" "$work/large.img" "$work/large.plan" "$work/large.tsv" 2>/dev/null
# The window's fonts are fixed in pixels; 96 dots per inch as on the original.
LC_ALL=C.UTF-8 TZ="${TZ:-UTC}" xvfb-run -a -s "-screen 0 816x565x24 -dpi 96" \
  "$build/tests/gui/gui_screenshots" "$here/docs" "$build/demo/demo.img" "$work/large.img"
