#!/usr/bin/env bash
# The companion built for Windows, run under Wine, beside the Linux build's:
# on every image the builder makes for the Linux image tests, on the demo
# image, and on hostile and damaged images made here, both give the same
# scan (table and JSON), the same log lines and exit codes, and recover the
# same bytes with the same times. Names Windows can't hold are checked on
# their own.
#
# usage: companion_test.sh WINDOWS-CLI.exe LINUX-BUILD WINE-SH WINE-PREFIX
# Exit 77 (skipped) without a Linux build with the companion and the builder.
set -u
win_cli="$1"; linux="$2"; wine_sh="$3"; prefix="$4"
lin_cli="$linux/cli/deruzera-cli"
mkimage="$linux/tools/deruzera-mkimage"
for tool in "$lin_cli" "$mkimage"; do
  if [ ! -x "$tool" ]; then
    echo "SKIP: $tool is missing: build for Linux first (cmake --preset default && cmake --build --preset default)"
    exit 77
  fi
done
export PATH="$PATH:/usr/sbin:/sbin"
# Times as both show them: one zone for both (Wine takes TZ for its zone).
export TZ=UTC0
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
# Wine reads a path that starts with "/" on the current drive: Z:, the
# root of this file system, from a folder outside the prefix.
cd "$work" || exit 1
failures=0; passed=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); fi
}
# A Wine prefix of this test's own, and one Wine server for all its runs,
# started without standard streams and ended with the test.
prefix="$prefix-companion"
win() { "$wine_sh" "$prefix" "$win_cli" "$@"; }
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
"$wine_sh" "$prefix" cmd /c exit < /dev/null > /dev/null 2>&1
WINEPREFIX="$prefix" "$wineserver" -k 2> /dev/null
WINEPREFIX="$prefix" "$wineserver" -p < /dev/null > /dev/null 2>&1
"$wine_sh" "$prefix" cmd /c exit < /dev/null > /dev/null 2>&1
export DERUZERA_WINE_RUNNING=1
trap 'WINEPREFIX="$prefix" "$wineserver" -k 2> /dev/null; rm -rf "$work"' EXIT

# Runs the same command with both companions: stdout, stderr and the exit
# code of each in $work/lin.* and $work/win.*, the folder or file DIR/OUT
# of the arguments given as $work/lin/... and $work/win/....
both() {
  local args_lin=() args_win=() a
  for a in "$@"; do
    args_lin+=("${a//@OUT@/$work/lin}")
    args_win+=("${a//@OUT@/$work/win}")
  done
  "$lin_cli" "${args_lin[@]}" > "$work/lin.out" 2> "$work/lin.err"; echo $? > "$work/lin.rc"
  win "${args_win[@]}" > "$work/win.out" 2> "$work/win.err"; echo $? > "$work/win.rc"
}
# A batch's output from Windows as Linux writes it: its folder named as the
# Linux one, and "\" as "/" in the paths of the files written.
normalized() {  # normalized FILE
  awk -F'\t' -v OFS='\t' '$3 == "written" { gsub(/\\/, "/", $4) } 1' "$1" | sed "s|$work/win|$work/lin|g"
}
same_run() {  # same_run NAME: stdout, stderr and exit code alike
  check "$1: exit code" cmp -s "$work/lin.rc" "$work/win.rc"
  check "$1: stdout" cmp -s "$work/lin.out" "$work/win.out"
  check "$1: stderr" cmp -s "$work/lin.err" "$work/win.err"
  if ! cmp -s "$work/lin.err" "$work/win.err"; then diff "$work/lin.err" "$work/win.err" | head -5; fi
}
# Every file below a folder: its path and bytes, and with "times" its
# modification time to the nanosecond (Windows keeps 100 ns, as NTFS).
listing() {  # listing DIR [times]; nothing where DIR was not made
  [ -d "$1" ] || return 0
  (cd "$1" && { [ -z "${2:-}" ] || find . -type f -print0 | sort -z | xargs -0 -r stat -c '%n %.9Y'; } &&
               find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
}

# ---- The images --------------------------------------------------------------
images=()
if ! compgen -G "$linux/tests/images/images/*.img" > /dev/null && [ -x "$linux/tests/images/image_tests" ]; then
  # The Linux image tests make them (and check them against The Sleuth Kit).
  "$linux/tests/images/image_tests" > /dev/null 2>&1
fi
for image in "$linux"/tests/images/images/*.img "$linux/demo/demo.img"; do
  [ -f "$image" ] && images+=("$image")
done
check "the builder's images are there" test "${#images[@]}" -ge 5

# Names Windows refuses or keeps for devices, control characters, Unicode.
cat > "$work/hostile.plan" <<'PLAN'
format 16M cluster=4096
mkdir /Docs
text /Docs/con.txt a device's name
text /Docs/con_.txt the name con.txt takes on Windows
text /Docs/a:b a stream's name
text /Docs/COM0.log a port
text /Docs/conout$ the console
text "/Docs/a:b?c*.txt" refused characters
text "/Docs/trail. " a closing dot and blank
text /Docs/AUX another device
text "/Docs/we\"ird\\name.txt" quote and backslash
text "/Docs/Σύνοδος 😀 年度.txt" unicode
text /Docs/escXXtitleYYname.txt escape sequences
text /lpt1/inner.txt in a folder named as a device
file /Docs/big.bin 300K seed=3
delete /Docs/con.txt
delete /Docs/con_.txt
delete /Docs/a:b
delete /Docs/COM0.log
delete /Docs/conout$
delete "/Docs/a:b?c*.txt"
delete "/Docs/trail. "
delete /Docs/AUX
delete "/Docs/we\"ird\\name.txt"
delete "/Docs/Σύνοδος 😀 年度.txt"
delete /Docs/escXXtitleYYname.txt
rmtree /lpt1
delete /Docs/big.bin
PLAN
"$mkimage" "$work/hostile.img" "$work/hostile.plan" "$work/hostile.tsv" > /dev/null 2>&1
check "hostile image built" test -s "$work/hostile.tsv"
# ESC ] ... BEL and ESC in a name's UTF-16, where the builder wrote XX and YY.
perl -0777 -pi -e 's/e\0s\0c\0X\0X\0/e\0s\0c\0\x1b\0]\0/g; s/Y\0Y\0n\0a\0m\0e\0/\x07\0\x1b\0n\0a\0m\0e\0/g' "$work/hostile.img"
images+=("$work/hostile.img")

# Damaged copies of a healthy image: cut in half, and the MFT's records from
# the first deleted file's on overwritten by noise (the same noise for both).
base="${images[0]}"
first=$("$lin_cli" scan --json "$base" 2>/dev/null | sed -n '1s/.*"offset":\([0-9]*\),.*/\1/p')
size=$(stat -c %s "$base")
head -c $((size / 2)) "$base" > "$work/half.img"
cp "$base" "$work/noise.img"
perl -e 'srand(21); print pack("C*", map { int(rand(256)) } 1 .. 65536)' |
  dd of="$work/noise.img" bs=1 seek="$first" conv=notrunc status=none
head -c 1048576 /dev/zero > "$work/zeros.img"
images+=("$work/half.img" "$work/noise.img" "$work/zeros.img")

# ---- Scan and recovery, image by image ---------------------------------------
for image in "${images[@]}"; do
  name=$(basename "$image" .img)
  sha=$(sha256sum < "$image")
  both scan --json "$image"
  same_run "$name: scan --json"
  cp "$work/lin.out" "$work/json"
  both scan --drive e: "$image"
  same_run "$name: scan (table)"

  rm -rf "$work/lin" "$work/win"
  both recover "$image" --to @OUT@ --all
  check "$name: --all exit code" cmp -s "$work/lin.rc" "$work/win.rc"
  if [ "$name" != hostile ]; then
    check "$name: --all stderr" cmp -s "$work/lin.err" <(normalized "$work/win.err")
    check "$name: --all stdout" cmp -s "$work/lin.out" <(normalized "$work/win.out")
    check "$name: --all tree, bytes and times" cmp -s <(listing "$work/lin" times) <(listing "$work/win" times)
  fi

  # One file at a time: the first, the middle and the last one found.
  count=$(wc -l < "$work/json")
  for line in 1 $(((count + 1) / 2)) "$count"; do
    [ "$count" -gt 0 ] || break
    record=$(sed -n "${line}s/^{\"record\":\([0-9]*\),.*/\1/p" "$work/json")
    rm -rf "$work/lin" "$work/win"; mkdir -p "$work/lin" "$work/win"
    both recover "$image" "$record" @OUT@/one.bin
    same_run "$name: recover $record"
    check "$name: recover $record: bytes" cmp -s <(listing "$work/lin") <(listing "$work/win")
  done
  check "$name: image unchanged" test "$(sha256sum < "$image")" = "$sha"
done

# ---- Names Windows can't hold ------------------------------------------------
# Written under names Windows takes, each said with both names, a name that
# meets one written before numbered; the rest as on Linux, to the bytes and
# the 100 ns.
rm -rf "$work/lin" "$work/win"
both recover "$work/hostile.img" --to @OUT@ --all
check "hostile: both exit 0" test "$(cat "$work/lin.rc")$(cat "$work/win.rc")" = 00
# Each file once, as a regular file below the folder, with its own bytes.
want_tree() {
  local state kind record parent size sha path
  while IFS=$'\t' read -r state kind record parent size sha path; do
    [ "$state" = deleted ] && [ "$kind" = file ] && echo "$sha"
  done < <(tail -n +2 "$work/hostile.tsv") | sort
}
check "hostile: every file written" test "$(grep -c $'\twritten\t' "$work/win.out")" -eq "$(want_tree | wc -l)"
check "hostile: every file's bytes" cmp -s <(want_tree) <(cd "$work/win" && find . -type f -exec sha256sum {} + | cut -d' ' -f1 | sort)
# Bytes and times file by file (each file's bytes are its own).
contents() { (cd "$1" && find . -type f -exec sh -c 'echo "$(sha256sum < "$1" | cut -c1-64) $(stat -c %.9Y "$1")"' _ {} \; | sort); }
check "hostile: bytes and times as on Linux" cmp -s <(contents "$work/lin") <(contents "$work/win")
check "hostile: the same files, states and order as on Linux" cmp -s <(cut -f1-3 "$work/lin.out") <(cut -f1-3 "$work/win.out")
check "hostile: names Windows takes" cmp -s <(cd "$work/win" && find . -mindepth 1 | LC_ALL=C sort) <(LC_ALL=C sort <<'TREE'
./Docs
./Docs/AUX_
./Docs/COM0_.log
./Docs/Σύνοδος 😀 年度.txt
./Docs/a_b
./Docs/a_b_c_.txt
./Docs/big.bin
./Docs/con_ (1).txt
./Docs/con_.txt
./Docs/conout$_
./Docs/esc_]title__name.txt
./Docs/trail__
./Docs/we_ird_name.txt
./lpt1_
./lpt1_/inner.txt
TREE
)
refused=': the target refuses the '
check "hostile: each name refused said with the name written" cmp -s <(grep -F "$refused" "$work/win.err") - <<'LINES'
C:\Docs\con.txt: the target refuses the name con.txt; written as con_.txt
C:\Docs\a:b: the target refuses the name a:b; written as a_b
C:\Docs\COM0.log: the target refuses the name COM0.log; written as COM0_.log
C:\Docs\conout$: the target refuses the name conout$; written as conout$_
C:\Docs\a:b?c*.txt: the target refuses the name a:b?c*.txt; written as a_b_c_.txt
C:\Docs\trail. : the target refuses the name trail. ; written as trail__
C:\Docs\AUX: the target refuses the name AUX; written as AUX_
C:\Docs\we"ird\name.txt: the target refuses the name we"ird_name.txt; written as we_ird_name.txt
C:\lpt1\inner.txt: the target refuses the folder name lpt1; made as lpt1_
LINES
# Two names Windows makes the same (con.txt as con_.txt beside a con_.txt):
# the second is numbered, and said so; Linux keeps both names.
taken=': its name was taken in the folder; written as '
check "hostile: a name made the same as another is numbered and said" \
  grep -q "${taken}.*con_ (1)\.txt\$" "$work/win.err"
check "hostile: the other lines as on Linux" cmp -s <(grep -vF "$taken" "$work/lin.err") \
  <(normalized "$work/win.err" | grep -vF "$refused" | grep -vF "$taken")

# ---- Paths longer than MAX_PATH ----------------------------------------------
long="$work/$(printf '%0150d' 0)/$(printf '%0150d' 1)"
mkdir -p "$long"
cp "$work/hostile.img" "$long/disk.img"
win scan --json "$long/disk.img" > "$work/win.out" 2> /dev/null
check "a source by a path over 260 characters is read" \
  cmp -s "$work/win.out" <("$lin_cli" scan --json "$work/hostile.img" 2> /dev/null)
win recover "$long/disk.img" --to "$long/out" --match '*big.bin' > /dev/null 2>&1
check "a folder by a path over 260 characters is written" cmp -s "$long/out/Docs/big.bin" "$work/lin/Docs/big.bin"
record=$(grep '"name":"big.bin"' "$work/win.out" | sed 's/^{"record":\([0-9]*\),.*/\1/')
win recover "$long/disk.img" "$record" "$long/big.bin" > /dev/null 2>&1
check "a file by a path over 260 characters is written" cmp -s "$long/big.bin" "$work/lin/Docs/big.bin"

# ---- Names and paths given in Unicode ----------------------------------------
uni="$work/Образ 😀 年度"
mkdir -p "$uni"
cp "$work/hostile.img" "$uni/диск.img"
win scan --json "$uni/диск.img" > "$work/win.out" 2> /dev/null
check "a source named in Unicode is read" cmp -s "$work/win.out" <("$lin_cli" scan --json "$work/hostile.img" 2>/dev/null)
win recover "$uni/диск.img" --to "$uni/Ζ folder" --match '*σύνοδος*' > /dev/null 2>&1
check "a folder named in Unicode is written" test -f "$uni/Ζ folder/Docs/Σύνοδος 😀 年度.txt"

# ---- Refusals and failures as on Linux ---------------------------------------
image="${images[0]}"
record=$("$lin_cli" scan --json "$image" 2>/dev/null | sed -n '1s/^{"record":\([0-9]*\),.*/\1/p')
mkdir -p "$work/dir"
for args in "scan $work/missing.img" "scan $work/zeros.img" "recover $image $record $work/no/such/dir/f" \
            "recover $image $record $image" "" "scan" "frobnicate x" "scan --drive 7: x" "recover x 12" \
            "recover x --to d --all 12"; do
  # shellcheck disable=SC2086
  both $args
  same_run "'$args'"
done
sha=$(sha256sum < "$image")
cp "$image" "$work/link-target.img"
ln "$work/link-target.img" "$work/hard-link.img"
win recover "$work/link-target.img" "$record" "$work/hard-link.img" > /dev/null 2> "$work/win.err"; rc=$?
check "never over the source through a hard link" test "$rc" -eq 1 -a "$(sha256sum < "$work/link-target.img")" = "$sha"
check "never over the source: the line" grep -qx "Error: The recovered file can't be written over the drive being read" "$work/win.err"
for device in NUL con.txt COM1; do
  win recover "$image" "$record" "$work/dir/$device" > /dev/null 2> "$work/win.err"; rc=$?
  check "never into the device $device" test "$rc" -eq 1 -a ! -e "$work/dir/$device"
  check "never into the device $device: the line" grep -qx 'Error: The recovered file can only replace a regular file' "$work/win.err"
done
win scan "$work/dir" > /dev/null 2> "$work/win.err"; rc=$?
check "a folder as the source exits 1" test "$rc" -eq 1
# A drive letter is its volume, and names the drive; Wine refuses Z:.
win scan z: > /dev/null 2> "$work/win.err"; rc=$?
check "a drive letter is read as its volume and names the drive" \
  test "$rc" -eq 1 -a "$(head -2 "$work/win.err")" = $'Preparing for scan the drive Z:\\ ...\nError: Invalid handle value'

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
