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
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
