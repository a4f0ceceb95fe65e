#!/usr/bin/env bash
# Seeds of the carving targets from the test media (tests/images/carve-media.sh):
# SEEDDIR/carve-parse/ gets each file behind the byte that picks its parser,
# SEEDDIR/carve-pass/ a few files laid out at sector boundaries.
#
#   fuzz/carve-seeds.sh MEDIA-SCRIPT WORKDIR SEEDDIR
set -euo pipefail
script=$1 work=$2 seeds=$3
bash "$script" "$work/media"
mkdir -p "$seeds/carve-parse" "$seeds/carve-pass"
# The parser's number (TCarveFormat order) by extension.
pick() {
    case "$1" in
        jpg) echo 0 ;; png) echo 1 ;; gif) echo 2 ;; bmp) echo 3 ;; tif) echo 4 ;; pdf) echo 5 ;;
        zip|docx|xlsx|pptx|odt|epub|jar) echo 6 ;; mp4|mov|m4a|heic) echo 7 ;; avi|wav|webp) echo 8 ;;
        mp3) echo 9 ;; flac) echo 10 ;; ogg|opus) echo 11 ;; mkv|webm) echo 12 ;; sqlite) echo 13 ;;
        7z) echo 14 ;; rar) echo 15 ;; gz) echo 16 ;; *) echo "" ;;
    esac
}
for f in "$work"/media/*.*; do
    name=$(basename "$f")
    n=$(pick "${name##*.}")
    [ -n "$n" ] || continue
    { printf "\\$(printf %03o "$n")"; head -c 65536 "$f"; } >"$seeds/carve-parse/$name"
done
# Deflate on its own: the members of a gzip file past their 10-byte headers.
[ -f "$work/media/numbers.gz" ] && { printf '\021'; tail -c +11 "$work/media/numbers.gz"; } >"$seeds/carve-parse/deflate"
i=0
set -- "$work"/media/*.*
while [ $# -gt 0 ]; do
    out="$seeds/carve-pass/layout$i"
    printf '\000' >"$out"
    for f in "$1" "${2:-}" "${3:-}"; do
        [ -n "$f" ] || continue
        cat "$f" >>"$out"
        size=$(stat -c %s "$out")
        head -c $(( (512 - (size - 1) % 512) % 512 )) /dev/zero >>"$out"
    done
    shift $(( $# < 3 ? $# : 3 ))
    i=$((i + 1))
done
