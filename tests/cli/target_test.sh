#!/usr/bin/env bash
# The companion's recovery into places others reach, as root: a second user
# who fills the shared target folder with links and swaps folders and files
# for links while it runs; an NTFS target (ntfs-3g with windows_names) that
# refuses Windows' reserved names, with colliding names and paths over 4,096
# bytes; a target on the image being read, through a loop device. Exits 77
# where root, loop devices or FUSE are missing.
set -u
cli="$1"; mkimage="$2"
export PATH="$PATH:/usr/sbin:/sbin" TZ=UTC0
if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root for a second user, loop devices and mounts"; exit 77; fi
for tool in losetup ntfs-3g mkntfs setpriv perl; do
  command -v "$tool" > /dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
if [ ! -e /dev/fuse ] || [ ! -e /dev/loop-control ]; then echo "skipped: no /dev/fuse or no loop devices"; exit 77; fi
other=$(id -u nobody 2>/dev/null) || { echo "skipped: no user nobody"; exit 77; }

work=$(mktemp -d); chmod 755 "$work"
mounts=(); loops=()
cleanup() {
  local m l
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0; passed=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); fi
}
# mount_ntfs IMAGE DIR [OPTIONS]: through a loop device, as a stick would be.
mount_ntfs() {
  local loop
  loop=$(losetup -f --show "$1") || return 1
  loops+=("$loop")
  mkdir -p "$2"
  ntfs-3g ${3:+-o "$3"} "$loop" "$2" || return 1
  mounts+=("$2")
}
# The bytes of a file whose path may pass 4,096 bytes, read folder by folder.
read_deep() {
  perl -e 'my @n = split m{/}, $ARGV[0]; my $f = pop @n; chdir "/";
           for (@n) { next if $_ eq ""; chdir $_ or exit 1 } open my $h, "<", $f or exit 1;
           binmode $h; binmode STDOUT; local $/; print <$h>' "$1"
}

# ---- The image: names that meet, names Windows refuses, a deep path ----------
rlo=$(printf '\342\200\256'); nel=$(printf '\302\205')
deep=""; for i in $(seq 1 22); do deep="$deep/$(printf "%02d%0198d" "$i" 0)"; done
cat > "$work/plan" <<PLAN
format 24M cluster=4096
mkdir /Users/Ann
text /Users/Ann/a.txt ann
file /Photos/p1.jpg 40K seed=1
text /keep.txt live
text /Orphans named like the folder of unresolved files
text "/Docs/a:b.txt" colon
text "/Docs/star*.txt" star
text "/Docs/what?.txt" question
text "/Docs/trailing " space
text "/Docs/dots..." dots
text /Docs/con device
text /Docs/LPT1.log printer
text "/Docs/pipe|x<y>" pipe
text "/Dir:colon/in.txt" in a refused folder
text "/Docs/evil${rlo}txt.exe" override
text /Docs/evil_txt.exe plain
text "/Docs/bell${nel}.txt" control
text "$deep/bottom.txt" deep down
PLAN
grep -o '^text [^ ]*\|^text "[^"]*"\|^file [^ ]*' "$work/plan" | sed 's/^[a-z]* //' | grep -v keep.txt |
  sed 's/^/delete /' >> "$work/plan"
"$mkimage" "$work/img" "$work/plan" "$work/manifest" > /dev/null 2>&1
check "image built" test -s "$work/manifest"
files=$(awk -F'\t' '$1 == "deleted" && $2 == "file"' "$work/manifest" | wc -l)
check "the image holds the deleted files" test "$files" -eq 16
sha_before=$(sha256sum < "$work/img")
# Each written line's bytes against the manifest's, by record.
check_written() {  # check_written STDOUT
  local ok=0 record state how target want
  while IFS=$'\t' read -r record state how target; do
    [ "$how" = written ] || { echo "not written: $record $target"; ok=1; continue; }
    want=$(awk -F'\t' -v r="$record" '$3 == r && $1 == "deleted" {print $6}' "$work/manifest")
    [ "$(read_deep "$target" | sha256sum | cut -d' ' -f1)" = "$want" ] || { echo "bytes differ: $target"; ok=1; }
  done < "$1"
  [ "$(wc -l < "$1")" -eq "$files" ] || ok=1
  return $ok
}

# ---- An NTFS target that refuses Windows' names ------------------------------
truncate -s 32M "$work/stick.img"
mkntfs -q -Q -F "$work/stick.img" > /dev/null 2>&1
if mount_ntfs "$work/stick.img" "$work/stick" windows_names; then
  "$cli" recover "$work/img" --to "$work/stick/out" --all > "$work/out" 2> "$work/err"; rc=$?
  check "windows_names: exits 0" test "$rc" -eq 0
  check "windows_names: every file written" grep -qx "Recovered $files of $files files into $work/stick/out" "$work/err"
  check "windows_names: the bytes of each file" check_written "$work/out"
  check "windows_names: a refused name is said with both names" \
    grep -qx 'C:\\Docs\\a:b.txt: the target refuses the name a:b.txt; written as a_b.txt' "$work/err"
  check "windows_names: each refused file name said" test "$(grep -c ': the target refuses the name ' "$work/err")" -eq 8
  check "windows_names: a refused folder said" grep -q '^C:\\Dir:colon\\in.txt: the target refuses the folder name Dir:colon; made as Dir_colon$' "$work/err"
  check "windows_names: a device name made safe" test -f "$work/stick/out/Docs/con_"
  check "windows_names: the file named Orphans" test -f "$work/stick/out/Orphans"
  check "windows_names: names alike once safe are numbered" test -f "$work/stick/out/Docs/evil_txt (1).exe"
  check "windows_names: a path over 4,096 bytes" test "$(grep -c $'\t'"$work/stick/out/Dir.*bottom.txt\|bottom.txt$" "$work/out")" -eq 1 -a \
    "$(grep 'bottom.txt$' "$work/out" | cut -f4 | wc -c)" -gt 4096
else
  echo "FAIL: the NTFS target could not be mounted"; failures=$((failures + 1))
fi

# ---- A target on the image being read ----------------------------------------
if mount_ntfs "$work/img" "$work/self" ro; then
  "$cli" recover "$work/img" --to "$work/self" --all > /dev/null 2> "$work/err"; rc=$?
  check "same image: a batch is refused" test "$rc" -eq 1
  check "same image: the batch says why" \
    grep -qx "Error: The folder $work/self is on the drive being read; writing there could overwrite deleted files" "$work/err"
  record=$(awk -F'\t' '$7 == "/Users/Ann/a.txt" {print $3}' "$work/manifest")
  "$cli" recover "$work/img" "$record" "$work/self/a.txt" > /dev/null 2> "$work/err"; rc=$?
  check "same image: one recovery is refused" test "$rc" -eq 1 -a ! -e "$work/self/a.txt"
  check "same image: and says why" grep -q '^Error: The target lies on the drive being read' "$work/err"
  umount "$work/self"
else
  echo "FAIL: the image could not be mounted"; failures=$((failures + 1))
fi
check "the image is unchanged" test "$(sha256sum < "$work/img")" = "$sha_before"

# ---- Another user's links and swaps in a shared folder -----------------------
secret="$work/secret"; shared="$work/shared"
mkdir -m 700 "$secret"
head -c 2000000 /dev/urandom > "$secret/victim"
touch -d '2001-02-03 04:05:06' "$secret/victim" "$secret"
victim=$(sha256sum < "$secret/victim"; stat -c '%s %Y' "$secret/victim" "$secret")
mkdir "$shared"; chown "$other" "$shared"
as_other() { setpriv --reuid="$other" --regid="$other" --clear-groups "$@"; }
as_other ln -s "$secret" "$shared/Users"
as_other ln -s "$secret" "$shared/Docs"
as_other ln -s "$secret/victim" "$shared/Orphans"
as_other ln -s "$secret/victim" "$shared/single.bin"
"$cli" recover "$work/img" --to "$shared" --all > "$work/out" 2> "$work/err"; rc=$?
check "links: the batch writes every file" test "$rc" -eq 0
check "links: the batch says which link it passed by" grep -qx \
  "The symbolic link $shared/Users was not followed: the folder went to Users (1) beside it" "$work/err"
check "links: a file's link too" grep -qx \
  "The symbolic link $shared/Orphans was not followed: the file went to Orphans (1) beside it" "$work/err"
check "links: files below the link's name" test -f "$shared/Users (1)/Ann/a.txt" -a -f "$shared/Docs (1)/con"
as_other ln -s "$secret" "$shared/out"
"$cli" recover "$work/img" --to "$shared/out/below" --all > /dev/null 2> "$work/err"; rc=$?
check "links: another user's link on the way to DIR is refused" test "$rc" -eq 1 -a "$(cat "$work/err")" = \
  "Error: Unable to make the folder $shared/out/below (a symbolic link of another user on the way is not followed)"
ln -s "$work" "$work/mine"
"$cli" recover "$work/img" --to "$work/mine/own" "$record" > /dev/null 2>&1; rc=$?
check "links: one's own link on the way to DIR is followed" test "$rc" -eq 0 -a -f "$work/own/Users/Ann/a.txt"
"$cli" recover "$work/img" "$record" "$shared/single.bin" > /dev/null 2> "$work/err"; rc=$?
check "links: one recovery over a link is refused" test "$rc" -eq 1 -a -L "$shared/single.bin"
check "links: and says why" test "$(tail -1 "$work/err")" = "Error: The recovered file can't replace a symbolic link"
check "links: nothing reached the secret folder" test "$(sha256sum < "$secret/victim"; stat -c '%s %Y' "$secret/victim" "$secret")" = "$victim"

# While recoveries run, the other user swaps every folder and file root
# made in the shared folder for a link into the secret folder, for three
# seconds.
as_other perl -e '
  my ($shared, $secret) = @ARGV; my $end = time + 3; my $n = 0;
  while (time < $end) {
    opendir my $d, $shared or last;
    for my $e (readdir $d) {
      next if $e =~ /^\.\.?$/ || $e =~ /\.moved\d+$/;
      my $p = "$shared/$e"; my @st = lstat $p or next;
      next if -l _ || $st[4] != 0;
      my $to = -d _ ? $secret : "$secret/victim";
      rename $p, "$p.moved" . $n++ and symlink $to, $p;
    }
    closedir $d;
    unlink "$shared/single.bin"; symlink "$secret/victim", "$shared/single.bin";
  }' "$shared" "$secret" &
swapper=$!
runs=0
while kill -0 "$swapper" 2> /dev/null && [ "$runs" -lt 200 ]; do
  "$cli" recover "$work/img" --to "$shared" --all > /dev/null 2>> "$work/race.err"
  "$cli" recover "$work/img" "$record" "$shared/single.bin" > /dev/null 2>> "$work/race.err"
  runs=$((runs + 1))
done
wait "$swapper"
check "race: recoveries ran while the links were swapped in" test "$runs" -ge 2
check "race: nothing was created, truncated or re-dated in the secret folder" \
  test "$(sha256sum < "$secret/victim"; stat -c '%s %Y' "$secret/victim" "$secret")" = "$victim"
check "race: the secret folder holds only its file" test "$(ls -A "$secret")" = victim
check "race: no crash" bash -c "! grep -qi 'unexpected failure\|sanitizer' '$work/race.err'"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
