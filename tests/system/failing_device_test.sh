#!/usr/bin/env bash
# A disk with bad sectors, made of real parts: an image served by a FUSE file
# whose chosen pages answer EIO (failing_file), read as that file and as a
# read-only loop device over it (the kernel's own short reads and errors).
#
#   failing_device_test.sh CLI MKIMAGE FAILING_FILE
#
# 1. A bad page inside the MFT costs the four records on it: the scan lists
#    every other deleted file, counts the four and says so, and completes.
# 2. A bad page inside a deleted file: its recovery gives every readable
#    byte right and zeros only in that page, a red line saying how many bytes
#    could not be read and where, and exit 1.
# 3. A bad page of the cluster bitmap: the states of the files it covers are
#    "unknown", never "intact", and their recovery doesn't say it is whole.
# Needs root (FUSE with allow_other, loop devices); skips (77) elsewhere.
set -u
cli=$1 mkimage=$2 failing=$3
export PATH="$PATH:/usr/sbin:/sbin" TZ=UTC
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (a FUSE mount others may read, loop devices)"
[ -c /dev/fuse ] || skip "no /dev/fuse"
for t in fusermount3 losetup istat fsstat cmp; do command -v "$t" >/dev/null || skip "$t not installed"; done

work=$(mktemp -d /tmp/deruzera-failing.XXXXXX)
mounts=() loops=()
cleanup() {
  local l m
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
  # A loop device lets go of its file a moment after it is detached.
  for m in "${mounts[@]}"; do
    for _ in $(seq 50); do fusermount3 -u "$m" 2>/dev/null && break; sleep 0.1; done
    mountpoint -q "$m" && fusermount3 -uz "$m" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
fails=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

# The volume: a deleted 1 MiB file, sixteen small deleted files whose
# records fill MFT pages of their own, a deleted file of a few clusters.
{
  echo "format 32M cluster=4096"
  echo "mkdir /docs"
  echo "file /docs/big.bin 1M seed=1"
  for i in $(seq -w 1 16); do echo "text /docs/note$i.txt note number $i"; done
  echo "file /docs/mid.bin 20K seed=2"
  echo "file /keep.bin 64K seed=3"
  echo "delete /docs/big.bin"
  for i in $(seq -w 1 16); do echo "delete /docs/note$i.txt"; done
  echo "delete /docs/mid.bin"
} > "$work/plan"
"$mkimage" "$work/v.img" "$work/plan" "$work/manifest" >/dev/null 2>&1 || { echo "FAIL: the builder"; exit 1; }
record_of() { awk -F'\t' -v p="$1" '$7 == p {print $3}' "$work/manifest"; }
cluster=$(fsstat "$work/v.img" | awk -F': ' '/^Cluster Size/ {print $2}')
mft=$(( $(fsstat "$work/v.img" | awk -F': ' '/^First Cluster of MFT:/ {print $2}') * cluster ))
first_cluster() { istat "$work/v.img" "$1" | sed -n '/^Type: \$DATA/{n;p;q}' | awk '{print $1}'; }
big=$(record_of /docs/big.bin)
note=$(record_of /docs/note08.txt)
# The 4 KiB page of the MFT that holds note08's record, and the records on it.
page=$(( (mft + note * 1024) / 4096 * 4096 ))
lost_first=$(( (page - mft) / 1024 ))
bigbad=$(( $(first_cluster "$big") * cluster + 256 * 1024 ))
bitmapbad=$(( $(first_cluster 6) * cluster / 4096 * 4096 ))

"$cli" scan --json "$work/v.img" > "$work/plain.json" 2>/dev/null || { echo "FAIL: the image's own scan"; exit 1; }
records_of() { grep -o '"record":[0-9]*' "$1" | cut -d: -f2 | sort -n; }
state_of() { grep "\"record\":$2," "$1" | grep -o '"state":"[a-z_]*"' | cut -d'"' -f4; }
"$cli" recover "$work/v.img" "$big" "$work/big.whole" 2>/dev/null || { echo "FAIL: the image's own recovery"; exit 1; }

serve() {  # serve NAME BAD...: mounts the image with those bad ranges at $work/NAME
  local dir="$work/$1"; shift
  mkdir -p "$dir"
  "$failing" "$work/v.img" "$dir" "$@" >/dev/null 2>&1 &
  for _ in $(seq 50); do [ -e "$dir/disk" ] && break; sleep 0.1; done
  [ -e "$dir/disk" ] || skip "the FUSE file did not come up (is FUSE usable here?)"
  mounts+=("$dir")
}
attach() {  # attach FILE: sets `loop` to a read-only loop device over it
  loop=$(losetup -r -f --show "$1" 2>/dev/null) || skip "no loop device could be attached"
  loops+=("$loop")
}

serve bad "$page+4096" "$bigbad+4096"
attach "$work/bad/disk"

for source in "$work/bad/disk" "$loop"; do
  kind=file; [ "$source" = "$loop" ] && kind="loop device"
  # 1. The scan: every readable record, the others counted.
  "$cli" scan --json "$source" > "$work/scan.json" 2> "$work/scan.err"
  check "$kind: the scan completes" [ $? -eq 0 ]
  check "$kind: the scan says four records could not be read" \
    grep -qx "4 MFT records could not be read and were skipped" "$work/scan.err"
  records_of "$work/plain.json" | awk -v a="$lost_first" '$1 < a || $1 >= a + 4' > "$work/expected"
  records_of "$work/scan.json" > "$work/got"
  check "$kind: every deleted file on a readable record is listed" cmp -s "$work/expected" "$work/got"
  # 2. The recovery of the file with a bad page.
  rm -f "$work/big.out"
  "$cli" recover "$source" "$big" "$work/big.out" 2> "$work/recover.err"
  check "$kind: a recovery with unread bytes exits 1" [ $? -eq 1 ]
  check "$kind: it says how many bytes and where" \
    grep -qx "4096 bytes of the file could not be read from the drive, the first at byte 262144 of the file, and were written as zeros" "$work/recover.err"
  check "$kind: it doesn't say the file was recovered" bash -c "! grep -qx 'File recovered' '$work/recover.err'"
  head -c 262144 "$work/big.whole" > "$work/expect.bin"
  head -c 4096 /dev/zero >> "$work/expect.bin"
  tail -c +$((262144 + 4096 + 1)) "$work/big.whole" >> "$work/expect.bin"
  check "$kind: every readable byte is right, zeros only in the bad page" cmp -s "$work/expect.bin" "$work/big.out"
  # The same in a batch: the file written, its line, the summary and the exit say so.
  rm -rf "$work/all"
  "$cli" recover "$source" --to "$work/all" --all > /dev/null 2> "$work/batch.err"
  check "$kind: a batch with unread bytes exits 1" [ $? -eq 1 ]
  check "$kind: the batch's summary counts the file with unread bytes" \
    grep -q "^Recovered [0-9]* of [0-9]* files into .* (1 with bytes that could not be read)$" "$work/batch.err"
  check "$kind: the batch wrote the readable bytes" cmp -s "$work/expect.bin" "$work/all/docs/big.bin"
done

# 3. An unreadable page of the cluster bitmap.
serve bitmap "$bitmapbad+4096"
"$cli" scan --json "$work/bitmap/disk" > "$work/bitmap.json" 2>/dev/null
check "bitmap: the scan completes" [ $? -eq 0 ]
check "bitmap: the big file was intact on the image" [ "$(state_of "$work/plain.json" "$big")" = intact ]
check "bitmap: its state is not known now" [ "$(state_of "$work/bitmap.json" "$big")" = unknown ]
check "bitmap: no file in clusters is called intact" \
  bash -c "! grep '\"size\":[0-9]\{4,\}' '$work/bitmap.json' | grep -q '\"state\":\"intact\"'"
"$cli" recover "$work/bitmap/disk" "$big" "$work/big.bitmap" 2> "$work/bitmap.err"
check "bitmap: its recovery exits 1" [ $? -eq 1 ]
check "bitmap: its recovery doesn't say the file was recovered" \
  bash -c "! grep -qx 'File recovered' '$work/bitmap.err'"
check "bitmap: the bytes themselves are all there" cmp -s "$work/big.whole" "$work/big.bitmap"

[ "$fails" -eq 0 ] || { echo "$fails checks failed"; exit 1; }
echo "all checks passed"
