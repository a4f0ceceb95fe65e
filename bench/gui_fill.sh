#!/usr/bin/env bash
# Builds and runs the window's benchmark: a million found files listed by
# ScanFinished, scrolled through, sorted by each column both ways, searched
# keystroke by keystroke, and the memory they take.
#   bench/gui_fill.sh [BUILD-DIR] [COUNT] [BEFORE-BUILD-DIR]
# With BEFORE-BUILD-DIR (the build of an earlier version, its gui_fill
# built), that build's figures follow for comparison. For both, the peak
# memory per found file is worked out the same way from outside: the peak
# resident size of a run with COUNT files less that of a run with one.
# Names and paths collate as BENCH_LOCALE says (en_US.UTF-8 unless set).
# Then the scan of the bench image in the window against the companion's.
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

# The scan itself: from the press of "Scan Drive" to the whole list painted,
# on the bench image of bench/scan_bench.sh (300,000 files, half of them
# deleted; built once), against the companion's scan --json of the same
# image in the same run, the two taken in turn. Target: at most 2x.
# SKIP_SCAN=1 leaves it out.
if [ "${SKIP_SCAN:-0}" != 1 ]; then
  cmake --build "$build" -j2 --target deruzera-cli deruzera-mkimage > /dev/null
  work=${BENCH_DIR:-/tmp/deruzera-bench}
  files=${SCAN_FILES:-300000}
  image="$work/bulk-$files.img"
  mkdir -p "$work"
  if [ ! -s "$image.tsv" ]; then
    echo "Building $image (through libntfs-3g)..."
    printf 'format 6G cluster=4096\nbulk 1 %s 2000 6 0.5 20\n' "$files" > "$work/bulk.plan"
    "$build/tools/deruzera-mkimage" "$image" "$work/bulk.plan" "$image.tsv"
  fi
  cat "$image" > /dev/null  # the page cache warm for both
  runs=${RUNS:-5}
  window=() companion=()
  for ((i = 0; i < runs; i++)); do
    line=$("$build/tests/gui/gui_fill" --scan "$image" 2> /dev/null)
    window+=("$(printf '%s\n' "$line" | sed -n 's/.*to the whole list: \([0-9.]*\) ms.*/\1/p')")
    longest=$(printf '%s\n' "$line" | sed -n 's/.*without answering: \([0-9.]*\) ms.*/\1/p')
    start=${EPOCHREALTIME/[.,]/}
    "$build/cli/deruzera-cli" scan --json "$image" > /dev/null 2>&1 || true
    end=${EPOCHREALTIME/[.,]/}
    companion+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f\n", (b - a) / 1e3 }')")
    echo "  run $((i + 1)): window ${window[-1]} ms (longest unanswered ${longest} ms), companion ${companion[-1]} ms"
  done
  median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
  w=$(printf '%s\n' "${window[@]}" | median)
  c=$(printf '%s\n' "${companion[@]}" | median)
  echo "== the scan of $image, median of $runs"
  echo "window, \"Scan Drive\" to the whole list: $w ms; deruzera-cli scan --json: $c ms;" \
       "window / companion: $(awk -v a="$w" -v b="$c" 'BEGIN { printf "%.2f", a / b }') x (target <= 2)"
fi
