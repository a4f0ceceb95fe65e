#!/usr/bin/env bash
# The Debian package on a fresh Debian 12: makes a bookworm root with
# debootstrap, installs BUILD_DIR/deruzera_*.deb there with apt-get (which
# brings its dependencies, recommended packages left out), scans the demo
# image and recovers a file with the installed companion, checks that the
# window's libraries and plugins resolve and that it starts, then removes the
# package and checks that none of its files remain. The root is removed
# afterwards; the downloaded packages are kept in BUILD_DIR/debootstrap-cache
# for the next run.
#   tests/packaging/debootstrap_test.sh BUILD_DIR
# Needs root and Debian's mirror, and takes minutes; skips (exit 77) without
# them. DERUZERA_DEBIAN_MIRROR names the mirror; by default it is the one
# apt uses for bookworm here.
set -u
SKIP=77
started=$(date +%s)
say() { printf '%s\n' "$*"; }
skip() { say "SKIP: $*"; exit "$SKIP"; }
export PATH="$PATH:/usr/sbin:/sbin"

build=$(cd "${1:?usage: debootstrap_test.sh BUILD_DIR}" && pwd) || exit 1
[ "$(id -u)" -eq 0 ] || skip "debootstrap and chroot need root: run this as root or with sudo"
command -v debootstrap > /dev/null || skip "debootstrap is not installed (apt-get install debootstrap)"

# The newest package there, should several versions lie about.
deb=$(find "$build" -maxdepth 1 -name 'deruzera_*_*.deb' -printf '%T@ %p\n' | sort -rn | head -n 1 | cut -d' ' -f2-)
[ -n "$deb" ] || { say "FAIL: no package $build/deruzera_*.deb (scripts/package.sh writes it)"; exit 1; }
demo="$build/demo/demo.img"; manifest="$build/demo/demo.manifest.tsv"
if [ ! -s "$demo" ] || [ ! -s "$manifest" ]; then say "FAIL: no demo image $demo with its manifest"; exit 1; fi

# The mirror apt uses for bookworm, from one-line or deb822 sources.
find_mirror() {
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2> /dev/null |
    awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                       if ($(i + 1) == "bookworm") print $i }'
  cat /etc/apt/sources.list.d/*.sources 2> /dev/null |
    awk 'function done() { if (types ~ / deb / && suites ~ / bookworm / && uri != "") print uri; types = suites = uri = "" }
         /^[ \t]*$/ { done(); next }
         $1 == "Types:" { $1 = ""; types = $0 " " }
         $1 == "Suites:" { $1 = ""; suites = $0 " " }
         $1 == "URIs:" { uri = $2 }
         END { done() }'
}
mirror="${DERUZERA_DEBIAN_MIRROR:-$(find_mirror | head -n 1)}"
mirror="${mirror:-http://deb.debian.org/debian}"
mirror="${mirror%/}"
if command -v wget > /dev/null; then
  wget -q --spider --tries=1 --timeout=20 "$mirror/dists/bookworm/Release" || skip "Debian's mirror $mirror can't be reached"
elif command -v curl > /dev/null; then
  curl -fsI --max-time 20 "$mirror/dists/bookworm/Release" > /dev/null || skip "Debian's mirror $mirror can't be reached"
fi

cache="$build/debootstrap-cache"
mkdir -p "$cache/apt"
root=$(mktemp -d "$build/debootstrap-root.XXXXXX")
log="$build/debootstrap-test.log"
: > "$log"

# Every way out: end what still runs inside the root (each by its id), undo
# the mounts below it, deepest first, then remove it, never across a mount.
cleanup() {
  local proc mounts
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/root" 2> /dev/null)" = "$root" ] && kill "${proc#/proc/}" 2> /dev/null
  done
  mounts=$(awk -v r="$root" 'index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r)
  for m in $mounts; do umount "$m" 2> /dev/null || umount -l "$m"; done
  if awk -v r="$root" 'index($2, r "/") == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    say "FAIL: could not unmount below $root; it is left in place"
    return
  fi
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

failures=0; passed=0
check() {  # check NAME COMMAND...
  local name="$1"; shift
  if "$@"; then say "PASS: $name"; passed=$((passed + 1)); else say "FAIL: $name"; failures=$((failures + 1)); fi
}
finish() {
  local took=$(($(date +%s) - started))
  say "$passed passed, $failures failed, in $((took / 60)) min $((took % 60)) s (log: $log)"
  [ "$failures" -eq 0 ] && exit 0
  exit 1
}
# A command in the root, with a clean environment.
inroot() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 TZ=UTC0 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

say "Package: $deb"
say "Mirror: $mirror"
say "Making a Debian 12 root in $root ..."
debootstrap --variant=minbase --cache-dir="$cache" bookworm "$root" "$mirror" >> "$log" 2>&1
check "debootstrap bookworm" test $? -eq 0
[ "$failures" -eq 0 ] || finish
mount -t proc proc "$root/proc"
# No services start inside the root.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp "$cache"/apt/*.deb "$root/var/cache/apt/archives/" 2> /dev/null
cp "$deb" "$root/tmp/"
cp "$demo" "$root/root/demo.img"

say "Installing the package with apt-get ..."
inroot apt-get update -q >> "$log" 2>&1
inroot apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >> "$log" 2>&1
check "apt-get install ./$(basename "$deb") with its dependencies" test $? -eq 0
cp "$root"/var/cache/apt/archives/*.deb "$cache/apt/" 2> /dev/null
check "dpkg says installed" test "$(inroot dpkg-query -W -f='${Status}' deruzera 2>&1)" = "install ok installed"
[ "$failures" -eq 0 ] || finish

# The companion: the scan lists the deleted files, as the build tree's does.
inroot deruzera-cli scan /root/demo.img > "$root/tmp/scan.out" 2> "$root/tmp/scan.err"
check "deruzera-cli scan exits 0" test $? -eq 0
found=$(sed -n 's/^Found \([0-9]*\) deleted files$/\1/p' "$root/tmp/scan.err")
check "the scan reports deleted files (${found:-none})" test "${found:-0}" -gt 0
check "the table lists them under a header" test "$(wc -l < "$root/tmp/scan.out")" -eq $((${found:-0} + 1))
if [ -x "$build/cli/deruzera-cli" ]; then
  LC_ALL=C.UTF-8 TZ=UTC0 "$build/cli/deruzera-cli" scan "$demo" > "$root/tmp/scan.build" 2> /dev/null
  check "the table is the build tree's" cmp -s "$root/tmp/scan.out" "$root/tmp/scan.build"
fi
inroot deruzera-cli scan --json /root/demo.img > "$root/tmp/scan.json" 2> /dev/null
check "--json lists them one a line" test "$(wc -l < "$root/tmp/scan.json")" -eq "${found:-0}"

# Recover the first deleted file of the manifest that the scan lists; its
# bytes are the manifest's.
record=""; sha=""
while IFS=$'\t' read -r state kind rec _ _ hash _; do
  if [ "$state" = deleted ] && [ "$kind" = file ] && grep -q "\"record\":$rec," "$root/tmp/scan.json"; then
    record=$rec; sha=$hash; break
  fi
done < "$manifest"
inroot deruzera-cli recover /root/demo.img "${record:-0}" /tmp/recovered > /dev/null 2> "$root/tmp/recover.err"
check "deruzera-cli recover $record exits 0" test $? -eq 0
check "the recovered bytes are the deleted file's" \
  test "$(sha256sum < "$root/tmp/recovered" 2> /dev/null | cut -d' ' -f1)" = "$sha"

# The window: its libraries and the Qt plugins it loads resolve; it starts
# on the offscreen platform, loads the JPEG plugin and keeps running.
for lib in /usr/bin/deruzera /usr/bin/deruzera-cli \
           $(inroot dpkg -L libqt6gui6 | grep -E '/(libqxcb|libqjpeg|libqoffscreen)\.so$'); do
  inroot ldd "$lib" > "$root/tmp/ldd" 2>&1
  check "ldd $lib: nothing missing" bash -c '! grep -q "not found" "$1"' _ "$root/tmp/ldd"
done
check "the JPEG and xcb plugins are installed" \
  test "$(inroot dpkg -L libqt6gui6 | grep -cE '/(imageformats/libqjpeg|platforms/libqxcb)\.so$')" -eq 2
inroot env QT_QPA_PLATFORM=offscreen QT_DEBUG_PLUGINS=1 timeout 10 deruzera /root/demo.img \
  > /dev/null 2> "$root/tmp/window.err"
check "the window starts and runs until stopped" test $? -eq 124
check "the window loads the JPEG plugin" grep -q 'libqjpeg.so" loaded library' "$root/tmp/window.err"

# Removal: nothing of the package stays behind.
inroot dpkg-query -L deruzera > "$root/tmp/files"
inroot dpkg -r deruzera >> "$log" 2>&1
check "dpkg -r deruzera" test $? -eq 0
status=$(inroot dpkg-query -W -f='${Status}' deruzera 2> /dev/null)
check "dpkg says not installed (${status:-unknown to dpkg})" \
  test -z "$status" -o "$status" = "unknown ok not-installed"
left=0
while read -r path; do
  [ -n "$path" ] || continue
  if [ -L "$root$path" ] || [ -f "$root$path" ]; then
    say "  left behind: $path"; left=$((left + 1))
  elif [ -d "$root$path" ] && [ -z "$(ls -A "$root$path")" ] && ! inroot dpkg-query -S "$path" > /dev/null 2>&1; then
    say "  empty folder left behind: $path"; left=$((left + 1))
  fi
done < "$root/tmp/files"
check "none of the package's $(grep -c . "$root/tmp/files") paths remain" test "$left" -eq 0
check "no deruzera files in /usr, /etc or dpkg's records" \
  test -z "$(find "$root/usr" "$root/etc" "$root/var/lib/dpkg/info" -iname '*deruzera*' 2> /dev/null)"

finish
