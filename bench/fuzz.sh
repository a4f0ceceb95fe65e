#!/usr/bin/env bash
# Long fuzzing of the volume reader: every fuzz target in turn, one at a
# time, for HOURS in all, then the executions per second of each and every
# finding (crash, leak, timeout, out-of-memory input).
#
#   bench/fuzz.sh HOURS [TARGET...]        (targets: geometry record runlist scan recover)
#
# The hours are split across the targets by weight (FUZZ_WEIGHTS, default
# "geometry=1 record=1 runlist=1 scan=2 recover=3": the whole-volume targets
# run far fewer inputs a second and get more of the time), in turns of at
# most FUZZ_SLICE seconds (default 1200), so a run cut short has still
# visited every target. The corpus grows in build-fuzz/fuzz/long/corpus/NAME
# and is kept from one run to the next; findings land in
# build-fuzz/fuzz/long/findings/NAME, logs in build-fuzz/fuzz/long/logs.
set -euo pipefail
cd "$(dirname "$0")/.."
hours=${1:?usage: bench/fuzz.sh HOURS [TARGET...]}
shift
targets=("$@")
((${#targets[@]})) || targets=(geometry record runlist scan recover)
weights=${FUZZ_WEIGHTS:-geometry=1 record=1 runlist=1 scan=2 recover=3}
slice=${FUZZ_SLICE:-1200}

bash scripts/setup.sh fuzz >/dev/null
build=build-fuzz/fuzz
work=$build/long
mkdir -p "$work/logs"

weight_of() {
  local w
  for w in $weights; do [ "${w%%=*}" = "$1" ] && { echo "${w#*=}"; return; }; done
  echo 1
}
total=$(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }')
sum=0
for t in "${targets[@]}"; do sum=$((sum + $(weight_of "$t"))); done
declare -A left spent execs ends
for t in "${targets[@]}"; do
  left[$t]=$((total * $(weight_of "$t") / sum)); spent[$t]=0; execs[$t]=0; ends[$t]=""
done

echo "Fuzzing ${targets[*]} for $hours h ($total s), turns of up to $slice s; work in $work"
round=0
while :; do
  ran=0
  for t in "${targets[@]}"; do
    ((left[$t] > 0)) || continue
    s=$((left[$t] < slice ? left[$t] : slice))
    log="$work/logs/$t.$(date +%Y%m%d-%H%M%S).log"
    start=$(date +%s)
    rc=0
    bash fuzz/run-target.sh "$build/fuzz-$t" "$s" "$work" "$build/seeds" > "$log" 2>&1 || rc=$?
    took=$(($(date +%s) - start))
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
    execs[$t]=$((execs[$t] + ${n:-0}))
    spent[$t]=$((spent[$t] + took))
    left[$t]=$((left[$t] - (took > s ? took : s)))
    ((rc == 0)) || ends[$t]+=" $(basename "$log"):exit-$rc"
    printf '%s turn %d: %d s, %s runs, exit %d\n' "$t" "$round" "$took" "${n:-0}" "$rc"
    ran=1
  done
  ((ran)) || break
  round=$((round + 1))
done

echo
printf '%-9s %8s %12s %9s %8s %s\n' target seconds executions exec/s corpus findings
for t in "${targets[@]}"; do
  rate=$(awk -v e="${execs[$t]}" -v s="${spent[$t]}" 'BEGIN { printf "%.0f", (s > 0 ? e / s : 0) }')
  corpus=$(find "$work/corpus/$t" -type f 2>/dev/null | wc -l)
  found=$(find "$work/findings/$t" -type f 2>/dev/null | wc -l)
  printf '%-9s %8d %12d %9s %8d %d\n' "$t" "${spent[$t]}" "${execs[$t]}" "$rate" "$corpus" "$found"
done
echo
if find "$work/findings" -type f 2>/dev/null | grep -q .; then
  echo "Findings (reproduce with: $build/fuzz-NAME FILE):"
  find "$work/findings" -type f -printf '  %p (%s bytes)\n' | sort
  for t in "${targets[@]}"; do [ -z "${ends[$t]}" ] || echo "  $t turns that stopped:${ends[$t]}"; done
else
  echo "No findings."
fi
