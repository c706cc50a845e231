#!/usr/bin/env bash
# Runs every libFuzzer harness of build/fuzz (or of $FAZORN_FUZZ_BUILD) for
# SECONDS each (default 60), starting from the checked-in seed corpus
# (copied, so the run never writes into the sources) and with the harness's
# dictionary fuzz/NAME.dict when there is one. A crash, hang (timeout per
# input 10 s) or sanitizer report stops the script with a failure; the
# reproducer is left in the build's findings/ folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
build="${FAZORN_FUZZ_BUILD:-$root/build/fuzz}"
mkdir -p "$build/findings"
for harness in "$build"/fuzz/*_fuzz; do
  name="$(basename "$harness" _fuzz)"
  work="$build/corpus-work/$name"
  rm -rf "$work" && mkdir -p "$work"
  cp "$root/fuzz/corpus/$name"/* "$work"/
  echo "-- $name: ${seconds} s"
  log="$build/$name.log"
  status=0
  dict=()
  [ -f "$root/fuzz/$name.dict" ] && dict=(-dict="$root/fuzz/$name.dict")
  ASAN_OPTIONS=detect_leaks=1 "$harness" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build/findings/$name-" -print_final_stats=1 \
    "$work" >"$log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec)|ERROR|SUMMARY" "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -40 "$log" >&2
    echo "fuzzer $name failed (status $status); reproducer in $build/findings" >&2
    exit 1
  fi
done
