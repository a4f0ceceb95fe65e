#!/usr/bin/env bash
# Speed and memory of the scan and the recovery against peers, measured in
# the same run on the same images, with the page cache warm.
#
#   bench/scan_bench.sh [BUILD_DIR] [FILES]     (defaults: build 300000)
#
# Builds (once, kept in $BENCH_DIR) an image of FILES files in 2000 folders up
# to 6 deep, half of them deleted and some whole folders deleted, and an image
# with a deleted 10 MiB and a deleted 1 GiB file. Prints medians of $RUNS runs
# and their ratios. SKIP_FLS=1 leaves out fls -r -d, which takes minutes.
set -euo pipefail
build=$(realpath "${1:-build}")
files=${2:-300000}
runs=${RUNS:-5}
work=${BENCH_DIR:-/tmp/deruzera-bench}
# The time zone stays as the user has it: with TZ unset, a program that asks
# the C library for local time per record pays a check of /etc/localtime each
# time, as on most desktops.
export PATH="$PATH:/usr/sbin:/sbin"
cli="$build/cli/deruzera-cli"
mkimage="$build/tools/deruzera-mkimage"
mkdir -p "$work"

# seconds_of CMD...: runs CMD once, its output dropped, and prints the
# seconds it took. The clock is bash's own, read around CMD alone: starting
# /usr/bin/time or date costs milliseconds on some machines.
seconds_of() {
  local start end
  start=${EPOCHREALTIME/[.,]/}  # microseconds, whatever the locale's decimal point
  "$@" > /dev/null 2>&1 || true
  end=${EPOCHREALTIME/[.,]/}
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", (b - a) / 1e6 }'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# peak_of CMD...: the peak memory of one more run, in KiB.
peak_of() {
  /usr/bin/time -f "%M" -o "$work/time" "$@" > /dev/null 2>&1 || true
  cat "$work/time"
}

# median_of CMD...: runs CMD $runs times, prints "median_seconds peak_kib".
median_of() {
  local n=${RUNS_ONCE:-$runs}
  echo "$(for ((i = 0; i < n; i++)); do seconds_of "$@"; done | median)" "$(peak_of "$@")"
}
# median_pair: runs the commands in the arrays A and B in turn, $runs times
# each, so that both meet the same moments of a busy machine; prints the
# median seconds of A, of B, and B's peak KiB.
median_pair() {
  local ta=() tb=()
  for ((i = 0; i < runs; i++)); do
    ta+=("$(seconds_of "${A[@]}")")
    tb+=("$(seconds_of "${B[@]}")")
  done
  echo "$(printf '%s\n' "${ta[@]}" | median)" "$(printf '%s\n' "${tb[@]}" | median)" "$(peak_of "${B[@]}")"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "inf" }'; }

image="$work/bulk-$files.img"
if [ ! -s "$image.tsv" ]; then
  echo "Building $image (through libntfs-3g; minutes)..."
  printf 'format 6G cluster=4096\nbulk 1 %s 2000 6 0.5 20\n' "$files" > "$work/bulk.plan"
  /usr/bin/time -f "built in %e s" "$mkimage" "$image" "$work/bulk.plan" "$image.tsv"
fi
mixed="$work/mixed-$files.img"
if [ ! -s "$mixed.tsv" ]; then
  echo "Building $mixed (through libntfs-3g)..."
  printf 'format 6G cluster=4096\nbulk 1 %s 2000 6 0.5 20 names=mixed\n' "$files" > "$work/mixed.plan"
  /usr/bin/time -f "built in %e s" "$mkimage" "$mixed" "$work/mixed.plan" "$mixed.tsv"
fi
echo "TZ: ${TZ:-unset}"

# scan_against_floor IMAGE: the companion's scan against dd reading the MFT.
scan_against_floor() {
  local image=$1
  mft_size=$(istat "$image" 0 | sed -n 's/.*\$DATA (128-[0-9]*)\s*Name: N\/A\s*Non-Resident\s*size: \([0-9]*\).*/\1/p' | head -n 1)
  mft_first=$(fsstat "$image" | sed -n 's/^First Cluster of MFT: //p')
  cluster=$(fsstat "$image" | sed -n 's/^Cluster Size: //p')
  [ -n "$mft_size" ] || mft_size=$(icat "$image" 0 | wc -c)
  echo
  echo "Image: $image, MFT $mft_size bytes ($((mft_size / 1024)) records of 1 KiB), cluster $cluster"
  cat "$image" > /dev/null  # warm the page cache
  found=$("$cli" scan --json "$image" 2>/dev/null | wc -l)
  echo "deruzera-cli finds $found deleted files"
  A=(dd if="$image" of=/dev/null bs=1M iflag=skip_bytes,count_bytes skip=$((mft_first * cluster)) count="$mft_size")
  B=("$cli" scan --json "$image")
  read -r t_floor t_ours m_ours < <(median_pair)
  printf '%-34s %10s %12s\n' "scan ($runs runs, median)" "seconds" "peak KiB"
  printf '%-34s %10s %12s\n' "floor: read the MFT once (dd)" "$t_floor" "-"
  printf '%-34s %10s %12s\n' "deruzera-cli scan --json" "$t_ours" "$m_ours"
  echo "deruzera / floor:        $(ratio "$t_ours" "$t_floor") x   (target <= 2)"
}

scan_against_floor "$mixed"
scan_against_floor "$image"
read -r t_nu m_nu < <(median_of ntfsundelete --scan --force "$image")
printf '%-34s %10s %12s\n' "ntfsundelete --scan" "$t_nu" "$m_nu"
if [ "${SKIP_FLS:-0}" != 1 ]; then
  /usr/bin/time -f "%e %M" -o "$work/time" fls -r -d "$image" > /dev/null 2>&1 || true
  read -r t_fls m_fls < "$work/time"
  printf '%-34s %10s %12s\n' "fls -r -d (once)" "$t_fls" "$m_fls"
fi
echo
echo "ntfsundelete / deruzera: $(ratio "$t_nu" "$t_ours") x   (target >= 4)"
[ -n "${t_fls:-}" ] && echo "fls / deruzera:          $(ratio "$t_fls" "$t_ours") x"
# The process's own footprint, from a scan of the tiny demo-sized image.
read -r _ m_base < <(RUNS_ONCE=1 median_of "$cli" scan --json "$build/demo/demo.img")
echo "peak memory $m_ours KiB (target <= 17.5 MB); above the process's own ($m_base KiB) per found file:" \
     "$(awk -v m="$m_ours" -v b="$m_base" -v f="$found" 'BEGIN { printf "%.0f bytes", (m - b) * 1024 / (f ? f : 1) }') (target < 300)"

# The cost of recoverability: the same scan with and without it, in one process.
if [ -x "$build/bench/scan_compare" ]; then
  echo
  "$build/bench/scan_compare" "$image" "$runs"
fi

# One open, and no byte of the MFT read twice (strace).
if command -v strace > /dev/null; then
  echo
  strace -f -e trace=openat,pread64 -o "$work/trace" "$cli" scan --json "$image" > /dev/null 2>&1 || true
  opens=$(grep -c "openat(.*$(basename "$image")\"" "$work/trace" || true)
  twice=$(sed -n 's/.*pread64([0-9]*, [^,]*, \([0-9]*\), \([0-9]*\)) = \([0-9]*\).*/\2 \3/p' "$work/trace" | sort -n |
          awk -v lo=$((mft_first * cluster)) -v hi=$((mft_first * cluster + mft_size)) \
              '$1 >= lo && $1 < hi { if ($1 < end) n++; if ($1 + $2 > end) end = $1 + $2 } END { print n + 0 }')
  echo "scan: $opens open(s) of the image (target 1); MFT reads overlapping an earlier one: $twice (target 0)"
  small=$(awk -F'\t' '$1 == "deleted" && $2 == "file" && $5 > 0 && $5 < 700 {print $3; exit}' "$image.tsv")
  strace -f -e trace=openat -o "$work/trace" "$cli" recover "$image" "$small" "$work/small.bin" > /dev/null 2>&1 || true
  opens=$(grep -c "openat(.*$(basename "$image")\"" "$work/trace" || true)
  read -r t_small _ < <(median_of "$cli" recover "$image" "$small" "$work/small.bin")
  echo "recover of one small file (record $small): $t_small s (target < 0.020), $opens open(s) of the image (target 1)"
  rm -f "$work/small.bin"
fi

# Recovery: a deleted 10 MiB and a deleted 1 GiB file.
rimage="$work/recover.img"
if [ ! -s "$rimage.tsv" ]; then
  printf 'format 3G cluster=4096\nfile /ten.bin 10M seed=1\nfile /giga.bin 1G seed=2\ndelete /ten.bin\ndelete /giga.bin\n' > "$work/recover.plan"
  "$mkimage" "$rimage" "$work/recover.plan" "$rimage.tsv" > /dev/null
fi
cat "$rimage" > /dev/null
echo
printf '%-34s %10s %10s %10s %12s\n' "recovery ($runs runs, median)" "deruzera" "icat" "cat" "peak KiB"
for name in ten.bin giga.bin; do
  rec=$(awk -F'\t' -v p="/$name" '$7 == p {print $3}' "$rimage.tsv")
  want=$(awk -F'\t' -v p="/$name" '$7 == p {print $6}' "$rimage.tsv")
  "$cli" recover "$rimage" "$rec" "$work/out.bin" 2>/dev/null
  got=$(sha256sum < "$work/out.bin" | cut -d' ' -f1)
  [ "$got" = "$want" ] || echo "MISMATCH: $name recovered with the wrong bytes"
  read -r t_r m_r < <(median_of "$cli" recover "$rimage" "$rec" "$work/out.bin")
  read -r t_i _ < <(median_of sh -c "icat '$rimage' $rec > '$work/icat.bin'")
  read -r t_c _ < <(median_of sh -c "cat '$work/out.bin' > '$work/cat.bin'")
  printf '%-34s %10s %10s %10s %12s\n' "$name" "$t_r" "$t_i" "$t_c" "$m_r"
  echo "  icat / deruzera: $(ratio "$t_i" "$t_r") x (target > 1); deruzera / cat: $(ratio "$t_r" "$t_c") x (target <= 3)"
done
rm -f "$work/out.bin" "$work/icat.bin" "$work/cat.bin"
