#!/bin/sh
# Builds and runs the window's benchmark: a million found files listed by
# ScanFinished, scrolled through, sorted by each column both ways, searched
# keystroke by keystroke, and the memory they take.
#   bench/gui_fill.sh [BUILD-DIR] [COUNT] [BEFORE-BUILD-DIR]
# With BEFORE-BUILD-DIR (the build of an earlier version, its gui_fill
# built), that build's figures follow for comparison. For both, the peak
# memory per found file is worked out the same way from outside: the peak
# resident size of a run with COUNT files less that of a run with one.
# Names and paths collate as BENCH_LOCALE says (en_US.UTF-8 unless set).
set -eu
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
count="${2:-1000000}"
before="${3:-}"
cmake --build "$build" -j2 --target gui_fill
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
# Names sort in a real language's collation (ICU's; no system locale needed).
export LC_ALL="${BENCH_LOCALE:-en_US.UTF-8}"

# Peak resident kilobytes of a run of $1 with $2 files.
peak() {
  /usr/bin/time -f '%M' -o "$1.peak" "$1" "$2" > /dev/null 2>&1 || true
  tail -n 1 "$1.peak"; rm -f "$1.peak"
}

run() {  # run LABEL GUI_FILL
  echo "== $1"
  /usr/bin/time -v "$2" "$count" 2>&1 |
    grep -E "^(made|ScanFinished|scroll|select|names|sort|search|  \"|type|memory|slowest|OK|TOO)|Maximum resident" || true
  one=$(peak "$2" 1)
  many=$(peak "$2" "$count")
  echo "peak per found file from outside: $(( (many - one) * 1024 / count )) bytes ($many kB with $count files, $one kB with one)"
}

run "this build ($build)" "$build/tests/gui/gui_fill"
[ -z "$before" ] || run "before ($before)" "$before/tests/gui/gui_fill"
