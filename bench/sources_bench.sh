#!/usr/bin/env bash
# Speed of reading through sources, as ratios measured in the same run:
# `deruzera-cli list` of a disk with four NTFS partitions, and the library
# scan of the bench volume bare and through qcow2, VMDK, VHDX and E01
# (source_scan, the sources in turn). BitLocker: no tool here writes a
# BitLocker volume around the bench volume, so the scan of the bench volume
# is run through a device that pays BitLocker's decryption of every read
# (xts128:, cbc128: in source_scan: AES-XTS-128, AES-CBC-128 by the
# BitLocker device's own cipher); and, on fixture volumes (AES-XTS,
# AES-CBC, AES-CBC with the diffuser; OpenSSL where the sectors lie as they
# are, libbde for the rest), the time to decrypt as many bytes as the scan
# reads of the MFT is set against the bare scan.
#
#   bench/sources_bench.sh [BUILD_DIR] [FILES]     (defaults: build 300000)
#
# Images are kept in $BENCH_DIR (default /tmp/deruzera-bench, shared with
# scan_bench.sh). $RUNS rounds (default 5); medians.
set -euo pipefail
build=$(realpath "${1:-build}")
files=${2:-300000}
runs=${RUNS:-5}
work=${BENCH_DIR:-/tmp/deruzera-bench}
fixtures=${DERUZERA_FIXTURES:-$(dirname "$0")/../../shared/fixtures}
export PATH="$PATH:/usr/sbin:/sbin"
cli="$build/cli/deruzera-cli"
mkimage="$build/tools/deruzera-mkimage"
scan="$build/bench/source_scan"
mkdir -p "$work"

seconds_of() {
  local start end
  start=${EPOCHREALTIME/[.,]/}
  "$@" > /dev/null 2>&1 || true
  end=${EPOCHREALTIME/[.,]/}
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f\n", (b - a) / 1e6 }'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "inf" }'; }

# ---- list of a disk with four NTFS partitions -----------------------------------
disk="$work/four.img"
if [ ! -s "$disk" ]; then
  truncate -s 72M "$disk.part"
  printf 'label: gpt\nsize=16M\nsize=16M\nsize=16M\nsize=16M\n' | sfdisk -q "$disk.part" > /dev/null
  n=0
  for start in $(sfdisk -d "$disk.part" | sed -n 's/.*start= *\([0-9]*\).*/\1/p'); do
    n=$((n + 1))
    printf 'format 16M label=Part%s\nfile /a%s.bin 40K\ndelete /a%s.bin\n' "$n" "$n" "$n" > "$work/four.plan"
    "$mkimage" "$work/four-$n.img" "$work/four.plan" "$work/four-$n.tsv" > /dev/null
    dd if="$work/four-$n.img" of="$disk.part" bs=1M oflag=seek_bytes seek=$((start * 512)) conv=notrunc status=none
    rm -f "$work/four-$n.img" "$work/four-$n.tsv"
  done
  mv "$disk.part" "$disk"
fi
t=()
for ((i = 0; i < runs * 2; i++)); do t+=("$(seconds_of "$cli" list --json "$disk")"); done
t_list=$(printf '%s\n' "${t[@]}" | median)
echo "deruzera-cli list --json of 4 NTFS partitions: $t_list s (target < 0.1), $("$cli" list --json "$disk" | wc -l) volumes"

# ---- the bench volume bare and in containers ------------------------------------
image="$work/bulk-$files.img"
if [ ! -s "$image.tsv" ]; then
  echo "Building $image (through libntfs-3g; minutes)..."
  printf 'format 6G cluster=4096\nbulk 1 %s 2000 6 0.5 20\n' "$files" > "$work/bulk.plan"
  "$mkimage" "$image" "$work/bulk.plan" "$image.tsv"
fi
for kind in qcow2 vmdk vhdx; do
  # A sparse VMDK names its own file inside it: made under its final name.
  [ -s "$image.$kind" ] || qemu-img convert -q -f raw -O "$kind" "$image" "$image.$kind"
done
# E01 as ewfacquire writes it by default (chunks stored as they are), and
# compressed (deflate, "fast").
for compression in none fast; do
  if [ ! -s "$work/e01-$compression/bulk.E01" ]; then
    echo "Acquiring $image as E01, compression $compression (ewfacquire; minutes)..."
    mkdir -p "$work/e01-$compression"
    ewfacquire -u -q -c "$compression" -S 7GiB -t "$work/e01-$compression/bulk" "$image" > /dev/null
  fi
done
cat "$image" "$image".qcow2 "$image".vmdk "$image".vhdx "$work"/e01-*/bulk.E0* > /dev/null  # warm the page cache
echo
echo "library scan through OpenVolume ($runs rounds, median; ratio to bare):"
"$scan" "$runs" "$image" "$image.qcow2" "$image.vmdk" "$image.vhdx" "$work/e01-none/bulk.E01" "$work/e01-fast/bulk.E01" \
  "xts128:$image" "cbc128:$image" | tee "$work/sources.txt"
echo "targets: qcow2, vmdk, vhdx <= 1.5 x; E01 <= 3 x; BitLocker (xts128:, cbc128:) <= 2 x"

# ---- BitLocker ----------------------------------------------------------------------
if [ -f "$fixtures/bitlocker-images.tar.xz" ]; then
  [ -d "$work/bitlk-images" ] || tar -xJf "$fixtures/bitlocker-images.tar.xz" -C "$work"
  mft_size=$(icat "$image" 0 | wc -c)
  t_bare=$(awk 'NR == 1 {print $2}' "$work/sources.txt")
  for volume in bitlk-aes-xts-128 bitlk-aes-cbc-128 bitlk-aes-cbc-elephant-128; do
    t_read=$("$scan" --read "$mft_size" "$runs" anaconda "$work/bitlk-images/$volume.img")
    echo "BitLocker ($volume): decrypting the MFT's $mft_size bytes takes $t_read s;" \
         "bare scan $t_bare s: at most $(ratio "$(awk -v a="$t_bare" -v b="$t_read" 'BEGIN {print a + b}')" "$t_bare") x" \
         "(target <= 2; the scan reads ahead on a thread of its own, so less where the two overlap)"
  done
fi
