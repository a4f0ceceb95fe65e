#!/usr/bin/env bash
# Builds the Debian package: installs what is missing, builds the default
# preset (release with debug info; the package's programs are stripped), then
# writes build/deruzera_<version>_<arch>.deb with CPack. Install it with
#   sudo apt-get install ./build/deruzera_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh default
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
arch=$(dpkg --print-architecture)
deb="build/deruzera_${version}_${arch}.deb"
rm -f "$deb"
# CPack asks dpkg-shlibdeps (dpkg-dev) which library packages the programs need.
if ! log=$(cd build && cpack -G DEB 2>&1) || [ ! -s "$deb" ]; then
  printf '%s\n' "$log" >&2
  echo "package.sh: CPack did not write $deb" >&2
  exit 1
fi
echo "Package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
