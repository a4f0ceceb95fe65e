#!/usr/bin/env bash
# Runs the window's tests of sizes, times, sorting and the scan's road under
# German and Swedish (a decimal comma; "Ä" with "A" or after "Z"), each where
# the machine has it. Skips (77) where it has neither.
set -u
tests="$1"
filter='FindTest.*:ScanRoadTest.*:ResultsTest.*:WindowTest.*:BatchRoadTest.*'
ran=0
failed=0
for wanted in de_DE sv_SE; do
  have=$(locale -a 2>/dev/null | grep -i -m1 "^${wanted}\.utf-\?8$")
  if [ -z "$have" ]; then
    echo "$wanted.UTF-8 is not generated here: left out"
    continue
  fi
  ran=$((ran + 1))
  echo "== $have"
  # Folders of its own: the suite runs the same tests beside it.
  work=$(mktemp -d)
  env -u LC_ALL LANG="$have" DERUZERA_GUI_WORK="$work" "$tests" --gtest_filter="$filter" --gtest_brief=1 || failed=1
  rm -rf "$work"
done
if [ "$ran" -eq 0 ]; then
  echo "SKIP: neither de_DE.UTF-8 nor sv_SE.UTF-8 is generated (locale-gen)"
  exit 77
fi
exit "$failed"
