#!/usr/bin/env bash
# Carving against PhotoRec on the same image, in the same run: a 2 GiB NTFS
# volume filled with pictures, sound, films, documents and archives of every
# format both know (made by the tools that write them), all deleted. Both
# carve the volume's free space and write what they find to a folder; ours
# also runs listing only. Prints medians of $RUNS runs, their ratio, the
# files each found byte for byte, and the peak memory.
#
#   bench/carve_bench.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${RUNS:-3}
work=${BENCH_DIR:-/tmp/deruzera-bench}
export PATH="$PATH:/usr/sbin:/sbin"
here=$(cd "$(dirname "$0")" && pwd)
carve="$build/bench/carve_bench"
mkimage="$build/tools/deruzera-mkimage"
mkdir -p "$work"
command -v photorec >/dev/null || { echo "photorec (testdisk) is not installed" >&2; exit 1; }

media="$work/carve-media"
bash "$here/../tests/images/carve-media.sh" "$media"
big="$work/carve-big"
if [ ! -f "$big/done" ]; then
  rm -rf "$big" && mkdir -p "$big"
  (
    cd "$big"
    convert -size 2400x1600 -seed 21 plasma:fractal -quality 92 large.jpg
    convert -size 1600x1200 -seed 22 plasma:fractal large.png
    convert -size 1200x900 -seed 23 plasma:fractal -compress lzw large.tif
    convert -size 1000x800 -seed 24 plasma:fractal large.bmp
    ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=duration=20:size=640x480:rate=25 -c:v mpeg4 -q:v 4 large.mp4
    ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=duration=10:size=640x480:rate=25 -c:v mpeg4 -q:v 4 large.avi
    ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=duration=10:size=640x480:rate=25 -c:v mpeg4 -q:v 4 large.mkv
    ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=330:duration=60" -ac 2 -c:a pcm_s16le large.wav
    ffmpeg -nostdin -loglevel error -i large.wav -c:a flac large.flac
    ffmpeg -nostdin -loglevel error -i large.wav -c:a libmp3lame -b:a 128k large.mp3
    ffmpeg -nostdin -loglevel error -i large.wav -c:a libvorbis large.ogg
    seq 1 2000000 | gzip -6 -n >large.gz
    seq 1 1000000 >numbers.txt && zip -q -6 large.zip numbers.txt && 7z a -bd large.7z numbers.txt >/dev/null && rm numbers.txt
    sqlite3 large.sqlite "create table t(id integer primary key, v text);
      with recursive n(i) as (select 1 union all select i + 1 from n where i < 100000)
      insert into t(v) select hex(randomblob(24)) from n;"
    touch done
  )
fi

image="$work/carve.img"
if [ ! -s "$image.tsv" ]; then
  {
    echo "format 2G cluster=4096"
    n=0
    for round in $(seq 1 6); do
      for f in "$big"/large.*; do echo "copy /r$round/$(basename "$f") $f"; n=$((n + 1)); done
    done
    for round in $(seq 1 40); do
      for f in "$media"/*.*; do echo "copy /s$round/$(basename "$f") $f"; done
    done
    for round in $(seq 1 6); do echo "rmtree /r$round"; done
    for round in $(seq 1 40); do echo "rmtree /s$round"; done
  } >"$work/carve.plan"
  "$mkimage" "$image" "$work/carve.plan" "$image.tsv.part" 2>/dev/null
  mv "$image.tsv.part" "$image.tsv"
fi

seconds_of() {
  local start end
  start=${EPOCHREALTIME/[.,]/}
  "$@" >/dev/null 2>&1 || true
  end=${EPOCHREALTIME/[.,]/}
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", (b - a) / 1e6 }'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
peak_of() {
  /usr/bin/time -f "%M" -o "$work/time" "$@" >/dev/null 2>&1 || true
  tail -n 1 "$work/time"  # the last line: a failed command gets a line of its own first
}
out="$work/carve-out"
formats=fileopt,everything,disable,jpg,enable,png,enable,gif,enable,bmp,enable,tif,enable,pdf,enable,zip,enable,mov,enable,riff,enable,mp3,enable,flac,enable,ogg,enable,mkv,enable,sqlite,enable,7z,enable,rar,enable,gz,enable,freespace,search
photorec_run() { rm -rf "$out" && mkdir -p "$out" && cd "$out" && photorec /log /d "$out/recup" /cmd "$image" "$formats"; }
ours_run() { rm -rf "$out" && mkdir -p "$out" && "$carve" "$image" "$out/ours"; }
ours_list() { "$carve" "$image"; }
cat "$image" >/dev/null  # the page cache warm for both
tp=() to=() tl=()
for ((i = 0; i < runs; i++)); do
  tp+=("$(seconds_of photorec_run)")
  to+=("$(seconds_of ours_run)")
  tl+=("$(seconds_of ours_list)")
done
p=$(printf '%s\n' "${tp[@]}" | median) o=$(printf '%s\n' "${to[@]}" | median) l=$(printf '%s\n' "${tl[@]}" | median)

# Files each finds byte for byte, by the manifest's hashes.
photorec_run >/dev/null 2>&1 || true
their=$(find "$out" -type f ! -name '*.xml' ! -name '*.log' -exec sha256sum {} + | cut -c1-64 | sort -u)
theirs=$(find "$out" -type f ! -name '*.xml' ! -name '*.log' | wc -l)
ours_run >/dev/null 2>&1 || true
our=$(find "$out/ours" -type f -exec sha256sum {} + | cut -c1-64 | sort -u)
mine=$(find "$out/ours" -type f | wc -l)
originals=$(awk -F'\t' 'NR > 1 && $2 == "file" {print $6}' "$image.tsv" | sort -u)
total=$(awk -F'\t' 'NR > 1 && $2 == "file"' "$image.tsv" | wc -l)
count_in() { comm -12 <(echo "$originals") <(echo "$1") | wc -l; }
rm -rf "$out" && mkdir -p "$out"
pp=$(cd "$out" && peak_of photorec /log /d "$out/recup" /cmd "$image" "$formats") po=$(peak_of "$carve" "$image" "$out/ours") pl=$(peak_of "$carve" "$image")
rm -rf "$out"
echo "image: $(du -h --apparent-size "$image" | cut -f1), $total deleted files ($(echo "$originals" | wc -l) different contents)"
printf '%-34s %8s s  %6s MiB peak  %5s files, %4s of the contents byte for byte\n' \
  "photorec (writes what it finds)" "$p" "$((pp / 1024))" "$theirs" "$(count_in "$their")"
printf '%-34s %8s s  %6s MiB peak  %5s files, %4s of the contents byte for byte\n' \
  "carving (writes what it finds)" "$o" "$((po / 1024))" "$mine" "$(count_in "$our")"
printf '%-34s %8s s  %6s MiB peak\n' "carving (lists only)" "$l" "$((pl / 1024))"
echo "ratio carving / photorec: $(awk -v a="$o" -v b="$p" 'BEGIN { printf "%.2f", a / b }') (writing), $(awk -v a="$l" -v b="$p" 'BEGIN { printf "%.2f", a / b }') (listing)"
