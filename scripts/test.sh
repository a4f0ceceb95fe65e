#!/usr/bin/env bash
# The whole test suite: builds what is missing and runs every test, first in
# the normal build, then with AddressSanitizer and UndefinedBehaviorSanitizer,
# then each fuzz target of the volume reader for a short while (clang), then
# the Windows build's tests under Wine (after the normal build, whose images
# and companion they compare with).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PATH:/usr/sbin:/sbin"
bash scripts/setup.sh default
ctest --preset default -j 2
bash scripts/setup.sh sanitize
ASAN_OPTIONS=detect_leaks=0 ctest --preset sanitize -j 2
bash scripts/setup.sh fuzz
ctest --preset fuzz
bash scripts/setup.sh windows
ctest --preset windows -j 2
