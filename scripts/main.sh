#!/usr/bin/env bash
# The main job: builds what is missing, then opens the window with the demo
# image listed as a drive. Without a display it runs the command-line
# companion on the demo image instead: lists its deleted files and recovers one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh default
export PATH="$PATH:/usr/sbin:/sbin"
demo=build/demo/demo.img
if { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } && [ -x build/app/deruzera ]; then
  exec build/app/deruzera "$demo"
fi
echo "No display: running the command-line companion on the demo image $demo"
echo "\$ deruzera-cli scan $demo"
build/cli/deruzera-cli scan "$demo"
record=$(build/cli/deruzera-cli scan --json "$demo" 2>/dev/null | sed -n 's/.*"record":\([0-9]*\).*"name":"\([^"]*\.txt\)".*/\1/p' | head -n 1)
if [ -n "$record" ]; then
  # The recovered file goes to a temporary folder, removed on every way out.
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  out=$tmp/recovered.txt
  echo
  echo "\$ deruzera-cli recover $demo $record $out"
  build/cli/deruzera-cli recover "$demo" "$record" "$out"
  echo "--- $out:"
  head -c 400 "$out"; echo
fi
