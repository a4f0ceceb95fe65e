#!/usr/bin/env bash
# Builds the companion for Windows (the windows preset: mingw-w64, linked
# statically, so it needs nothing installed on Windows 10 or 11) and writes
# build-windows/deruzera-cli-<version>-windows-x64.zip holding
#   deruzera-cli.exe   stripped of its symbols
#   README.txt         the README's section on the companion
#   the licence        where the repository has a licence file
# Text files get Windows line ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh windows
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
zip="$PWD/build-windows/deruzera-cli-${version}-windows-x64.zip"
stage=$(mktemp -d); trap 'rm -rf "$stage"' EXIT
crlf() { sed 's/\r\?$/\r/' "$@"; }

x86_64-w64-mingw32-strip -o "$stage/deruzera-cli.exe" build-windows/cli/deruzera-cli.exe
# From its heading to the next one of the same level.
awk '/^## / { on = ($0 == "## The command-line companion") } on' README.md | crlf > "$stage/README.txt"
if [ ! -s "$stage/README.txt" ]; then
  echo "package-windows.sh: the README has no section \"## The command-line companion\"" >&2
  exit 1
fi
licence=""
for name in LICENSE LICENSE.txt LICENSE.md LICENCE COPYING COPYING.txt; do
  if [ -f "$name" ]; then licence="$name"; break; fi
done
if [ -n "$licence" ]; then
  crlf "$licence" > "$stage/$(basename "$licence" .txt).txt"
else
  echo "package-windows.sh: the repository has no licence file (LICENSE or COPYING): the zip holds none" >&2
fi

rm -f "$zip"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip -- *)
echo "Package: $zip"
cmake -E tar tf "$zip"
