#!/usr/bin/env bash
# Runs every fuzz target of a VEL_FUZZ build: first its checked-in corpus
# (fuzz/corpus/<target>) and regression inputs (fuzz/regressions/<target>)
# once each, then fresh fuzzing for a bounded time.  Fails on the first
# crash, sanitizer report, leak, timeout or memory overrun, leaving the input
# in <build>/artifacts.
#
# Usage: scripts/fuzz.sh <build directory> <seconds per target>
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-30}
cd "$(dirname "$0")/.."

# Memory bounded (the largest table slot a crafted header can ask for is
# 64 MiB, allocated twice), time bounded per input.
flags=(-rss_limit_mb=1024 -malloc_limit_mb=256 -timeout=20 -print_final_stats=1)
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

summary=()
for exe in "$build"/bin/fuzz_*; do
  target=$(basename "$exe")
  artifacts="$build/artifacts/$target/"
  work="$build/work/$target"
  mkdir -p "$artifacts" "$work"
  inputs=()
  for dir in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  echo "fuzz: $target: replaying ${inputs[*]}"
  "$exe" "${flags[@]}" -artifact_prefix="$artifacts" -runs=0 "${inputs[@]}" 2>"$build/$target-replay.log" \
    || { cat "$build/$target-replay.log"; echo "fuzz: $target: a corpus input failed"; exit 1; }
  replayed=$(grep -ho 'stat::number_of_executed_units: *[0-9]*' "$build/$target-replay.log" | grep -o '[0-9]*$' | tail -1)
  echo "fuzz: $target: fuzzing for ${seconds}s"
  "$exe" "${flags[@]}" -artifact_prefix="$artifacts" -max_total_time="$seconds" "$work" "${inputs[@]}" \
    2>"$build/$target-fuzz.log" \
    || { tail -60 "$build/$target-fuzz.log"; echo "fuzz: $target: failed; input in $artifacts"; exit 1; }
  runs=$(grep -ho 'stat::number_of_executed_units: *[0-9]*' "$build/$target-fuzz.log" | grep -o '[0-9]*$' | tail -1)
  cov=$(grep -ho 'cov: [0-9]*' "$build/$target-fuzz.log" | tail -1)
  summary+=("fuzz: $target: ${replayed:-0} corpus inputs replayed, ${runs:-0} executions in ${seconds}s, $cov, no failure")
done
printf '%s\n' "${summary[@]}"
