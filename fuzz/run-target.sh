#!/usr/bin/env bash
# Runs one fuzz target for SECONDS on its corpus, with the limits that make
# memory blow-ups and slow inputs findings of their own.
#
#   fuzz/run-target.sh FUZZER SECONDS WORKDIR SEEDDIR [libFuzzer options...]
#
# FUZZER is a fuzz-NAME binary. New inputs go to WORKDIR/corpus/NAME (the
# seeds in SEEDDIR are only read); crashes, leaks, timeouts and
# out-of-memory inputs to WORKDIR/findings/NAME/. Exits non-zero on a finding.
set -euo pipefail
fuzzer=$1 seconds=$2 work=$3 seeds=$4
shift 4
name=$(basename "$fuzzer"); name=${name#fuzz-}
case "$name" in
  geometry) seed=geometry max_len=262144  timeout=10 ;;
  record)   seed=record   max_len=4096    timeout=10 ;;
  runlist)  seed=runlist  max_len=1024    timeout=10 ;;
  scan)     seed=image    max_len=1114112 timeout=30 ;;
  recover)  seed=image    max_len=1114112 timeout=30 ;;
  carve-parse) seed=carve-parse max_len=262144 timeout=10 ;;
  carve-pass)  seed=carve-pass  max_len=1114112 timeout=30 ;;
  partitions) seed=partitions max_len=1114112 timeout=10 ;;
  mapfile)  seed=mapfile  max_len=65536   timeout=10 ;;
  deep)     seed=image    max_len=1114112 timeout=30 ;;
  *) echo "unknown fuzz target $name" >&2; exit 2 ;;
esac
corpus="$work/corpus/$name"
findings="$work/findings/$name"
mkdir -p "$corpus" "$findings"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
exec "$fuzzer" -max_total_time="$seconds" -timeout="$timeout" -max_len="$max_len" \
  -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" "$corpus" "$seeds/$seed"
