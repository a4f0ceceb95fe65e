#!/usr/bin/env bash
# The companion's interface as scripts rely on it: commands, exit codes,
# log lines on stderr, the table and JSON lines on stdout, and recovery.
set -u
cli="$1"; mkimage="$2"
export PATH="$PATH:/usr/sbin:/sbin" TZ=UTC0
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failures=0; passed=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); fi
}

cat > "$work/plan" <<'PLAN'
format 16M cluster=4096
mkdir /Docs/Deep
text /Docs/keep.txt live\n
text /Docs/gone.txt deleted text\n
file /Docs/Deep/big.bin 300K seed=3
file "/Docs/we\"ird\\name.txt" 10 seed=4
text /Docs/escXXtitleYYname.txt hostile\n
delete /Docs/gone.txt
delete /Docs/escXXtitleYYname.txt
delete /Docs/Deep/big.bin
delete "/Docs/we\"ird\\name.txt"
PLAN
"$mkimage" "$work/img" "$work/plan" "$work/manifest" >/dev/null 2>&1
check "image built" test -s "$work/manifest"
# The hostile name: escape sequences that would retitle and clear a
# terminal (ESC ] ... BEL, ESC [2J), put into the name's UTF-16 where the
# builder wrote XX and YY.
perl -0777 -pi -e 's/e\0s\0c\0X\0X\0/e\0s\0c\0\x1b\0]\0/g; s/Y\0Y\0n\0a\0m\0e\0/\x07\0\x1b\0n\0a\0m\0e\0/g' "$work/img"
sha_before=$(sha256sum < "$work/img")

# Scan: exit 0, the log on stderr exactly, the table on stdout.
"$cli" scan "$work/img" > "$work/out" 2> "$work/err"; rc=$?
check "scan exits 0" test "$rc" -eq 0
printf '%s\n' 'Preparing for scan the drive C:\ ...' 'This is a NTFS disk' \
  'Scanning for deleted files on drive C:\ ...' 'Scanning process completed' 'Found 4 deleted files' > "$work/expected"
check "scan log lines" cmp -s "$work/err" "$work/expected"
check "table lists gone.txt" grep -q $'\tC:\\\\Docs\\\\\tgone.txt\tintact$' "$work/out"
check "table leaves live files out" bash -c "! grep -q keep.txt '$work/out'"

# On a terminal the table's columns line up: STATE stands where its header does.
if command -v script > /dev/null; then
  script -qc "'$cli' scan '$work/img' 2>/dev/null" /dev/null | tr -d '\r' > "$work/tty"
  header_at=$(head -1 "$work/tty" | awk '{print index($0, "STATE")}')
  row_at=$(grep 'keep.txt\|gone.txt' "$work/tty" | head -1 | awk '{print index($0, "intact")}')
  check "terminal table lines up" test "$header_at" -gt 0 -a "$header_at" = "$row_at"
fi

# --drive names the letter in every line.
"$cli" scan --drive e: "$work/img" > /dev/null 2> "$work/err"
check "--drive letter" grep -qx 'Preparing for scan the drive E:\\ ...' "$work/err"

# JSON: one object a line with the fixed keys; quotes and backslashes escaped.
"$cli" scan --json "$work/img" > "$work/json" 2>/dev/null
check "four JSON lines" test "$(wc -l < "$work/json")" -eq 4
check "JSON keys" grep -q '^{"record":[0-9]*,"offset":[0-9]*,"name":"gone.txt","path":"C:\\\\Docs\\\\","size":13,"created":"[0-9.]* [0-9:]*","modified":"[0-9.]* [0-9:]*","state":"intact","overwritten_bytes":0,"overwritten_by":\[\],"compressed":false,"encrypted":false}$' "$work/json"
check "JSON escapes" grep -q '"name":"we\\"ird_name.txt"' "$work/json"
if command -v python3 >/dev/null; then
  check "JSON parses" python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1])]' "$work/json"
fi

# Recover: exit 0, six lines, the original bytes (the manifest's hash).
record=$(sed -n 's/.*"record":\([0-9]*\),.*"name":"big.bin".*/\1/p' "$work/json")
"$cli" recover "$work/img" "$record" "$work/big.out" > "$work/out" 2> "$work/err"; rc=$?
check "recover exits 0" test "$rc" -eq 0
printf '%s\n' 'Preparing for recovery' 'File: big.bin' 'Path: C:\Docs\Deep\' 'Data recovered' \
  'Recovered file written : big.out (307200 Bytes)' 'File recovered' > "$work/expected"
check "recover log lines" cmp -s "$work/err" "$work/expected"
want=$(awk -F'\t' '$7 == "/Docs/Deep/big.bin" {print $6}' "$work/manifest")
check "recovered bytes" test "$(sha256sum < "$work/big.out" | cut -d' ' -f1)" = "$want"

# Control characters from the volume never reach a terminal raw.
hostile=$(awk -F'\t' '$7 ~ /escXX/ {print $3}' "$work/manifest")
"$cli" recover "$work/img" "$hostile" "$work/hostile.out" > /dev/null 2> "$work/err"
check "escape sequences made safe on stderr" grep -qx 'File: esc_]title__name.txt' "$work/err"
check "no control character on stderr" bash -c "! LC_ALL=C grep -q \$'[\x01-\x08\x0b-\x1f\x7f]' '$work/err'"
"$cli" scan "$work/img" > "$work/table" 2> /dev/null
check "escape sequences made safe in the table" grep -q $'\tesc_]title__name.txt\t' "$work/table"

# The target is never the source, nor anything that is not a regular file.
"$cli" recover "$work/img" "$record" "$work/img" > /dev/null 2> "$work/err"; rc=$?
check "recovering over the image exits 1" test "$rc" -eq 1
check "recovering over the image says why" grep -qx "Error: The recovered file can't be written over the drive being read" "$work/err"
"$cli" recover "$work/img" "$record" /dev/null > /dev/null 2> "$work/err"; rc=$?
check "recovering over a device node exits 1" test "$rc" -eq 1
check "recovering over a device node says why" grep -qx 'Error: The recovered file can only replace a regular file' "$work/err"
check "/dev/null is still a device" test -c /dev/null

# Failures: exit 1 with the scan's own lines; usage errors exit 2.
head -c 1048576 /dev/zero > "$work/zeros"
"$cli" scan "$work/zeros" > /dev/null 2> "$work/err"; rc=$?
check "not NTFS exits 1" test "$rc" -eq 1
check "not NTFS line" grep -qx 'Error: This is not a NTFS disk' "$work/err"
"$cli" scan "$work/missing" > /dev/null 2> "$work/err"; rc=$?
check "missing source exits 1" test "$rc" -eq 1
check "missing source line" grep -qx 'Error: Invalid handle value' "$work/err"
live=$(awk -F'\t' '$7 == "/Docs/keep.txt" {print $3}' "$work/manifest")
"$cli" recover "$work/img" "$live" "$work/x" > /dev/null 2>&1; rc=$?
check "recovering a live file exits 1" test "$rc" -eq 1
check "nothing written for a live file" test ! -e "$work/x"
"$cli" recover "$work/img" "$record" "$work/no/such/dir/f" > /dev/null 2> "$work/err"; rc=$?
check "unwritable target exits 1" test "$rc" -eq 1
check "unwritable target line" grep -qx 'Error: Unable to write the recovered file' "$work/err"
for args in "" "scan" "scan a b" "frobnicate x" "scan --drive 7: x" "scan --bogus x" "recover x 12" "recover x twelve out"; do
  # shellcheck disable=SC2086
  "$cli" $args > /dev/null 2>&1; rc=$?
  check "usage error: '$args'" test "$rc" -eq 2
done

check "image unchanged" test "$(sha256sum < "$work/img")" = "$sha_before"

# ---- Many files into a folder ------------------------------------------------
cat > "$work/plan2" <<'PLAN'
format 32M cluster=4096
mkdir /Users/Ann/Docs
mkdir /Photos/Trip
text /Users/Ann/Docs/a.txt first\n
file /Users/Ann/Docs/report.docx 20K seed=1
file /Photos/Trip/IMG_0001.JPG 300K seed=2
file /Photos/Trip/img_0002.jpg 5K seed=3
file "/Photos/Σύνοδος Ёлка.png" 7K seed=4
sparse /Users/Ann/disk.vhd 3M 0:64K 2M:64K seed=5
file /Old/Sub/deep.bin 100K seed=6
text /keep.txt live\n
text /Users/Ann/a.txt second a\n
delete /Users/Ann/Docs/a.txt
delete /Users/Ann/Docs/report.docx
delete /Photos/Trip/IMG_0001.JPG
delete /Photos/Trip/img_0002.jpg
delete "/Photos/Σύνοδος Ёлка.png"
delete /Users/Ann/disk.vhd
rmtree /Old
delete /Users/Ann/a.txt
PLAN
"$mkimage" "$work/img2" "$work/plan2" "$work/manifest2" >/dev/null 2>&1
check "second image built" test -s "$work/manifest2"
sha2_before=$(sha256sum < "$work/img2")
deleted=$(awk -F'\t' '$1 == "deleted" && $2 == "file"' "$work/manifest2" | wc -l)

# The bytes, the tree and the record's modification time (The Sleuth Kit's
# reading of $STANDARD_INFORMATION) of each deleted file below $1.
check_tree() {
  local dir="$1" ok=0 state kind record parent size sha path want
  while IFS=$'\t' read -r state kind record parent size sha path; do
    [ "$state" = deleted ] && [ "$kind" = file ] || continue
    [ -f "$dir$path" ] || { echo "missing: $dir$path"; ok=1; continue; }
    [ "$(sha256sum < "$dir$path" | cut -d' ' -f1)" = "$sha" ] || { echo "bytes differ: $path"; ok=1; }
    want=$(istat "$work/img2" "$record" | awk -F'\t' '/^File Modified:/ {print $2; exit}' | sed 's/ (UTC)$//')
    [ "$(stat -c %y "$dir$path" | sed 's/ +0000$//')" = "$want" ] || { echo "time differs: $path ($want)"; ok=1; }
  done < <(tail -n +2 "$work/manifest2")
  return $ok
}

"$cli" recover "$work/img2" --to "$work/all" --all > "$work/out" 2> "$work/err"; rc=$?
check "--all exits 0" test "$rc" -eq 0
check "--all: one written line per deleted file" test "$(grep -c $'^[0-9]*\tintact\twritten\t' "$work/out")" -eq "$deleted"
check "--all: the summary on stderr" test "$(cat "$work/err")" = "Recovered $deleted of $deleted files into $work/all"
if command -v istat > /dev/null; then
  check "--all: tree, bytes and times" check_tree "$work/all"
fi
check "--all: holes stay holes" test "$(( $(stat -c %b "$work/all/Users/Ann/disk.vhd") * 512 ))" -lt 1048576
check "--all: live files stay out" test ! -e "$work/all/keep.txt"

# A second run into the same folder replaces nothing: each name is numbered.
(cd "$work/all" && find . -type f -exec sha256sum {} + > "$work/first.sha" && find . -type f -exec stat -c '%y %n' {} + > "$work/first.time")
"$cli" recover "$work/img2" --to "$work/all" --all > "$work/out" 2> /dev/null; rc=$?
check "second run exits 0" test "$rc" -eq 0
check "second run keeps the first files" bash -c "cd '$work/all' && sha256sum --quiet -c '$work/first.sha' && diff <(find . -type f -exec stat -c '%y %n' {} + | grep -Fxf '$work/first.time') '$work/first.time' > /dev/null"
check "second run numbers the names" test -f "$work/all/Photos/Trip/IMG_0001 (1).JPG" -a -f "$work/all/Users/Ann/a (1).txt"
check "second run doubles the files" test "$(find "$work/all" -type f | wc -l)" -eq $((2 * deleted))

# --match: a glob over path and name, case-insensitive as Windows names are.
"$cli" recover "$work/img2" --to "$work/jpg" --match '*.jpg' > "$work/out" 2> /dev/null; rc=$?
check "--match exits 0" test "$rc" -eq 0
check "--match *.jpg finds both cases" test "$(cut -f4 "$work/out" | sort | tr '\n' '|')" = "$work/jpg/Photos/Trip/IMG_0001.JPG|$work/jpg/Photos/Trip/img_0002.jpg|"
"$cli" recover "$work/img2" --to "$work/photos" --match 'c:/PHOTOS/*' > "$work/out" 2> /dev/null
check "--match over the path, Greek and Cyrillic names" test "$(wc -l < "$work/out")" -eq 3 -a -f "$work/photos/Photos/Σύνοδος Ёлка.png"
"$cli" recover "$work/img2" --to "$work/greek" --match '*σύνοδος ёлка*' > "$work/out" 2> /dev/null
check "--match folds Greek and Cyrillic" test "$(wc -l < "$work/out")" -eq 1
"$cli" recover "$work/img" --to "$work/weird" --match '*IRD*' > "$work/out" 2> /dev/null
check "a backslash in a name never makes a folder" test -f "$work/weird/Docs/we\"ird_name.txt"
"$cli" recover "$work/img2" --to "$work/none" --match 'nothing' > "$work/out" 2> "$work/err"; rc=$?
check "--match of nothing exits 0" test "$rc" -eq 0 -a ! -s "$work/out"

# RECORDs: planned as they stand; one that can't come back fails the run.
rec=$(awk -F'\t' '$7 == "/Old/Sub/deep.bin" {print $3}' "$work/manifest2")
live=$(awk -F'\t' '$7 == "/keep.txt" {print $3}' "$work/manifest2")
"$cli" recover --drive d: "$work/img2" --to "$work/some" "$rec" "$live" > "$work/out" 2> "$work/err"; rc=$?
check "RECORDs with a live one exit 1" test "$rc" -eq 1
check "RECORDs: the written line" grep -qx "$rec"$'\tintact\twritten\t'"$work/some/Old/Sub/deep.bin" "$work/out"
check "RECORDs: the failed line" grep -qx "$live"$'\t-\tfailed\tthe file seems no longer listed as deleted' "$work/out"
printf '%s\n' "Error: Unable to recover record $live: the file seems no longer listed as deleted" \
  "Recovered 1 of 2 files into $work/some (1 failed)" > "$work/expected"
check "RECORDs: the log lines" cmp -s "$work/err" "$work/expected"
"$cli" recover "$work/zeros" --to "$work/z" --all > "$work/out" 2> "$work/err"; rc=$?
check "--all of no NTFS exits 1 with the scan's lines" test "$rc" -eq 1 -a "$(tail -1 "$work/err")" = 'Error: This is not a NTFS disk'
# A file whose clusters another file took is written all the same, and the
# line and the log say what the copy holds.
cat > "$work/plan3" <<'PLAN'
format 16M cluster=4096
file /Docs/half.bin 40K seed=1
delete /Docs/half.bin
overwrite /Docs/half.bin 20K /Docs/new.bin seed=2
PLAN
if "$mkimage" "$work/img3" "$work/plan3" "$work/manifest3" > /dev/null 2>&1; then
  "$cli" recover "$work/img3" --to "$work/half" --all > "$work/out" 2> "$work/err"; rc=$?
  check "--all writes a partly overwritten file" test "$rc" -eq 0 -a "$(cut -f2,3 "$work/out")" = $'partial\twritten'
  check "--all says what the copy holds" grep -qx 'C:\\Docs\\half.bin: 50 % of the copy comes from clusters that other files now use' "$work/err"
fi
# On a terminal, stderr counts the files and bytes as they go.
if command -v script > /dev/null; then
  script -qec "'$cli' recover '$work/img2' --to '$work/tty-batch' --all" /dev/null > "$work/tty.out" 2>&1
  check "progress on a terminal" grep -q 'Recovering file [0-9]* of 8 (.* of .*)' "$work/tty.out"
fi
"$cli" recover "$work/img2" --to "$work/notty" --all > /dev/null 2> "$work/err"
check "no progress off a terminal" bash -c "! grep -q 'Recovering file' '$work/err'"
check "image 2 unchanged" test "$(sha256sum < "$work/img2")" = "$sha2_before"
for args in "recover x --to" "recover x --to d" "recover x --to d --all 12" "recover x --to d --all --match y" \
            "recover x --all" "recover x --to d 12x" "recover --to d --all" "recover x 1 o --all" \
            "recover x --to d --match $(printf '%0251d' 0)"; do
  # shellcheck disable=SC2086
  "$cli" $args > /dev/null 2>&1; rc=$?
  check "usage error: '$args'" test "$rc" -eq 2
done

# Names that reorder text or carry C1 controls: "evil\u202Etxt.exe" shows as
# "evilexe.txt" on a screen, U+009B acts as an escape on some terminals.
# Mapped in the table, the JSON, the log and the names written.
printf 'format 16M cluster=4096\ntext "/evil\xe2\x80\xaetxt.exe" e\ntext "/mark\xd8\x9cname" m\ntext "/c1\xc2\x9bname" c\ntext "/iso\xe2\x81\xa6late" i\ndelete "/evil\xe2\x80\xaetxt.exe"\ndelete "/mark\xd8\x9cname"\ndelete "/c1\xc2\x9bname"\ndelete "/iso\xe2\x81\xa6late"\n' > "$work/plan4"
"$mkimage" "$work/img4" "$work/plan4" "$work/manifest4" >/dev/null 2>&1
check "image 4 built" test -s "$work/manifest4"
"$cli" scan "$work/img4" > "$work/table4" 2> /dev/null
"$cli" scan --json "$work/img4" > "$work/json4" 2> /dev/null
"$cli" recover "$work/img4" --to "$work/out4" --all > "$work/batch4" 2> "$work/err4"
reorder=$'\xe2\x80\xae|\xd8\x9c|\xc2\x9b|\xe2\x81\xa6'
for f in table4 json4 batch4 err4; do
  check "no reordering mark or C1 control in $f" bash -c "! LC_ALL=C grep -qE '$reorder' '$work/$f'"
done
check "the names are listed mapped" bash -c "grep -q 'evil_txt.exe' '$work/table4' && grep -q '\"name\":\"mark_name\"' '$work/json4'"
check "the files are written mapped" test -f "$work/out4/evil_txt.exe" -a -f "$work/out4/c1_name" -a -f "$work/out4/iso_late"
check "no name written carries them" bash -c "! find '$work/out4' | LC_ALL=C grep -qE '$reorder'"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
