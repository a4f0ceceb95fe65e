#!/usr/bin/env bash
# What the desktop and the package get of the program, on the installed tree:
# `cmake --install` writes exactly the expected files; the launcher and the
# software-centre page validate and agree with each other and with the
# programs installed; the icons have their sizes; the manual pages render
# without warnings and document every option the companion's usage names.
#   desktop_test.sh BUILD_DIR VERSION WITH_WINDOW(0 or 1)
set -u
build="$1"; version="$2"; window="$3"
export PATH="$PATH:/usr/sbin:/sbin" LC_ALL=C.UTF-8 TZ=UTC0
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failures=0; passed=0
check() {  # check NAME COMMAND...
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); fi
}
missing_tool() {  # missing_tool COMMAND PACKAGE: a tool setup.sh installs is not here
  command -v "$1" > /dev/null && return 1
  echo "FAIL: $1 is missing (apt-get install $2, or run scripts/setup.sh)"
  failures=$((failures + 1))
}
quiet() {  # quiet COMMAND...: succeeds when COMMAND succeeds and prints nothing
  local out
  out=$("$@" 2>&1) && [ -z "$out" ] && return 0
  printf '%s\n' "$out" | sed 's/^/    /'
  return 1
}

id=io.github.deruzera.NtfsDeruzera
prefix="$work/usr"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1
check "cmake --install" test $? -eq 0

# Exactly these files: no tools, tests or demo image, nothing missing.
{
  echo bin/deruzera-cli
  echo share/man/man1/deruzera-cli.1.gz
  echo share/doc/deruzera/copyright
  echo share/doc/deruzera/changelog.gz
  if [ "$window" = 1 ]; then
    echo bin/deruzera
    echo "share/applications/$id.desktop"
    echo "share/metainfo/$id.metainfo.xml"
    echo "share/icons/hicolor/scalable/apps/$id.svg"
    for size in 16 22 24 32 48 64 128 256; do echo "share/icons/hicolor/${size}x$size/apps/$id.png"; done
    echo share/man/man1/deruzera.1.gz
  fi
} | sort > "$work/expected"
(cd "$prefix" && find . \( -type f -o -type l \) -printf '%P\n' | sort) > "$work/installed"
check "installed file list" quiet diff "$work/expected" "$work/installed"
check "programs are executable" test -x "$prefix/bin/deruzera-cli"
# Debian's formats: the copyright file's fields, a changelog dpkg reads
# whose version is the package's.
check "copyright names its format" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$prefix/share/doc/deruzera/copyright"
if command -v dpkg-parsechangelog > /dev/null; then
  zcat "$prefix/share/doc/deruzera/changelog.gz" > "$work/changelog"
  check "changelog version is the package's" test "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version"
fi
check "installed companion runs" bash -c '"$1" --help > /dev/null' _ "$prefix/bin/deruzera-cli"
if [ -s "$build/demo/demo.img" ]; then
  "$prefix/bin/deruzera-cli" scan --json "$build/demo/demo.img" > "$work/found" 2>/dev/null
  check "installed companion scans the demo image" test $? -eq 0
  check "it finds deleted files" test -s "$work/found"
fi

if [ "$window" = 1 ]; then
  desktop="$prefix/share/applications/$id.desktop"
  metainfo="$prefix/share/metainfo/$id.metainfo.xml"
  if ! missing_tool desktop-file-validate desktop-file-utils; then
    check "desktop-file-validate" quiet desktop-file-validate "$desktop"
  fi
  if ! missing_tool appstreamcli appstream; then
    appstreamcli validate --no-net "$metainfo" > "$work/as" 2>&1 || sed 's/^/    /' "$work/as"
    check "appstreamcli validate --no-net" grep -q 'Validation was successful' "$work/as"
    # The tree as a software centre reads it: the launcher the page names,
    # its icon and the page itself; warnings count as failures here.
    appstreamcli validate-tree --no-net "$prefix" > "$work/tree" 2>&1
    grep -qE '^ *[EW]: |Validation failed' "$work/tree" && sed 's/^/    /' "$work/tree"
    check "appstreamcli validate-tree: no errors or warnings" \
      bash -c '! grep -qE "^ *[EW]: |Validation failed" "$1"' _ "$work/tree"
  fi
  # The launcher starts an installed program and shows the installed icon.
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  check "Exec= names an installed program" test -x "$prefix/bin/$exec_name"
  check "Icon= is the id" grep -qx "Icon=$id" "$desktop"
  # The page: its id, launcher, programs and release are the installed ones.
  check "metainfo id" grep -q "<id>$id</id>" "$metainfo"
  check "metainfo launchable" grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo"
  for binary in $(sed -n 's|.*<binary>\(.*\)</binary>.*|\1|p' "$metainfo"); do
    check "provided binary $binary is installed" test -x "$prefix/bin/$binary"
  done
  check "metainfo release is the project version" grep -q "<release version=\"$version\"" "$metainfo"
  # Each PNG has the size its folder names (width and height from its IHDR).
  for png in "$prefix"/share/icons/hicolor/*x*/apps/"$id".png; do
    dir=$(basename "$(dirname "$(dirname "$png")")")
    size=$(od -An -tu1 -j16 -N8 "$png" | awk '{printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8}')
    check "icon $dir is $dir" test "$size" = "$dir"
  done
fi

# The manual pages: no groff warnings, a whatis line, and every option that
# the companion's usage text names is documented.
if ! missing_tool groff groff-base && ! missing_tool man man-db; then
  for page in "$prefix"/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    check "$name.1: groff -ww" quiet bash -c 'zcat "$1" | groff -man -ww -z' _ "$page"
    MANWIDTH=80 man -l "$page" > "$work/$name.txt" 2> "$work/$name.err"
    check "$name.1: man -l renders" test $? -eq 0 -a ! -s "$work/$name.err"
    check "$name.1: NAME and SYNOPSIS" grep -q "^SYNOPSIS" "$work/$name.txt"
    check "$name.1: whatis line" bash -c 'lexgrog "$1" | grep -q ": \"$2 - "' _ "$page" "$name"
  done
  "$prefix/bin/deruzera-cli" --help > "$work/usage" 2>&1
  for option in $(grep -o -- '--[a-z][a-z-]*' "$work/usage" | sort -u); do
    check "deruzera-cli.1 documents $option" grep -q -- "$option" "$work/deruzera-cli.txt"
  done
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
