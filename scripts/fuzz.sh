#!/usr/bin/env bash
# Runs every libFuzzer harness of build/fuzz (or of $FAZORN_FUZZ_BUILD) for
# SECONDS each (default 30), starting from the checked-in seed corpus
# (copied, so the run never writes into the sources) and with the harness's
# dictionary fuzz/NAME.dict when there is one. A crash, hang (timeout per
# input 10 s) or sanitizer report stops the script with a failure; the
# reproducer is left in the build's findings/ folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
build="${FAZORN_FUZZ_BUILD:-$root/build/fuzz}"
mkdir -p "$build/findings"
# One harness per core at a time: each keeps its SECONDS on a core of its
# own, and the whole run takes SECONDS per batch instead of per harness.
run_one() {
  local harness="$1" name work log dict=()
  name="$(basename "$harness" _fuzz)"
  work="$build/corpus-work/$name"
  rm -rf "$work" && mkdir -p "$work"
  cp "$root/fuzz/corpus/$name"/* "$work"/
  log="$build/$name.log"
  [ -f "$root/fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict")
  ASAN_OPTIONS=detect_leaks=1 "$harness" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/findings/$name-" -print_final_stats=1 \
    "$work" >"$log" 2>&1
}
harnesses=("$build"/fuzz/*_fuzz)
cores="$(nproc)"
failed=()
for ((first = 0; first < ${#harnesses[@]}; first += cores)); do
  pids=() names=()
  for harness in "${harnesses[@]:first:cores}"; do
    echo "-- $(basename "$harness" _fuzz): ${seconds} s"
    run_one "$harness" &
    pids+=("$!") names+=("$(basename "$harness" _fuzz)")
  done
  for i in "${!pids[@]}"; do
    status=0
    wait "${pids[$i]}" || status=$?
    name="${names[$i]}"
    grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec)|ERROR|SUMMARY" \
      "$build/$name.log" || true
    if [ "$status" -ne 0 ]; then
      tail -40 "$build/$name.log" >&2
      echo "fuzzer $name failed (status $status); reproducer in $build/findings" >&2
      failed+=("$name")
    fi
  done
done
[ ${#failed[@]} -eq 0 ]
