#!/bin/sh
# wine.sh PREFIX PROGRAM.exe [ARG...]: runs a Windows program under wine64,
# quiet and the same on every machine: a Wine prefix of its own (PREFIX,
# made on first use, one maker at a time), no debugging output, no display,
# no offer to install .NET or a browser engine. The program's exit code is
# this script's.
set -e
prefix="$1"; shift
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=" WINESERVER="$wineserver"
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine" wineboot --init > /dev/null 2>&1 || true
      # The prefix is written out when its server ends.
      "$wineserver" -w
    fi
  ) 9> "$prefix.lock"
fi
# Wine's server and its own programs start with the first Windows program
# and outlive it by a few seconds. They are started here with no standard
# streams, so that they hold none of the caller's: ctest waits for every
# holder of a test's output to let go. A caller that keeps a server running
# for its many programs (companion_test.sh) sets DERUZERA_WINE_RUNNING.
if [ -z "${DERUZERA_WINE_RUNNING:-}" ]; then
  "$wine" cmd /c exit < /dev/null > /dev/null 2>&1 || true
fi
exec "$wine" "$@"
