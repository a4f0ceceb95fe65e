#!/bin/sh
# Builds and runs the window's fill-and-scroll benchmark: a million found
# files listed by ScanFinished, then scrolled through.
#   bench/gui_fill.sh [BUILD-DIR] [COUNT]
set -eu
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
count="${2:-1000000}"
cmake --build "$build" -j2 --target gui_fill
QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" /usr/bin/time -v "$build/tests/gui/gui_fill" "$count" 2>&1 |
  grep -E "^(made|ScanFinished|scroll|select|OK|TOO)|Maximum resident"
