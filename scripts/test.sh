#!/usr/bin/env bash
# Builds Fazorn and runs every test: the release build, the whole suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer, then each libFuzzer
# harness for a bounded time. Any failure, sanitizer report or fuzzer crash
# fails the script.
#
#   ./scripts/test.sh           everything (what CI runs)
#   ./scripts/test.sh --quick   the formatting check, the release build and its tests (C++ and Python) only
#
# The sanitizer build is compiled once with clang, with libFuzzer's coverage
# instrumentation as well, so that its tests and the fuzz harnesses come from
# the same build. FAZORN_FUZZ_SECONDS sets each harness's time (default 30).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

if [ $quick -eq 1 ]; then
  fazorn_install_packages
else
  fazorn_install_packages clang libclang-rt-14-dev lld
fi

echo "== formatting (clang-format, .clang-format)  [$SECONDS s]"
git -C "$FAZORN_ROOT" ls-files -z '*.cpp' '*.h' | (cd "$FAZORN_ROOT" && xargs -0 clang-format --dry-run -Werror)

# The sanitizer build compiles beside the release stages, at the lowest
# priority: it takes only what they leave idle (configuring, links, the
# tests' waits and single-threaded stretches, pytest), so they run as fast
# as alone, and it is done, or nearly, by the time its tests are due. Its
# output is shown when it is joined. A failing stage stops it with the
# script.
sanitize_pid="" pytest_pid=""
stop_background() {
  local pid
  for pid in $sanitize_pid $pytest_pid; do kill -TERM -- "-$pid" 2>/dev/null || true; done
}
trap stop_background EXIT
if [ $quick -eq 0 ]; then
  mkdir -p "$FAZORN_ROOT/build"
  sanitize_log="$FAZORN_ROOT/build/sanitize-build.log"
  # -O1 with line tables only: the optimisation the sanitizers are made
  # for, and stack traces with file and line at a fraction of full debug
  # information's compile and link time. lld links the instrumented
  # executables in a third of the CPU time of the default linker.
  set -m  # a process group of its own, to stop the whole of it
  (renice -n 19 -p "$BASHPID" >/dev/null || true
   CC=clang CXX=clang++ fazorn_build sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
     -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld \
     -DFAZORN_SANITIZE=ON -DFAZORN_FUZZ=ON -DFAZORN_BUILD_BENCH=OFF) >"$sanitize_log" 2>&1 &
  sanitize_pid=$!
  set +m
fi

echo "== release build (warnings as errors) and tests  [$SECONDS s]"
fazorn_build release -DCMAKE_BUILD_TYPE=Release -DFAZORN_WARNINGS_AS_ERRORS=ON
# pytest beside ctest: both leave much of the cores idle (child processes,
# clusters starting, waits), and they share nothing but the build they
# read. Its output follows ctest's.
pytest_log="$FAZORN_ROOT/build/pytest.log"
set -m
fazorn_pytest release >"$pytest_log" 2>&1 &
pytest_pid=$!
set +m
(cd "$FAZORN_ROOT/build/release" &&
 QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)")

echo "== Python module tests (pytest, run beside ctest)  [$SECONDS s]"
status=0
wait "$pytest_pid" || status=$?
pytest_pid=""
cat "$pytest_log"
[ $status -eq 0 ] || exit "$status"
[ $quick -eq 1 ] && exit 0

echo "== clang-tidy on the sources the last commit changed  [$SECONDS s]"
"$FAZORN_ROOT/scripts/tidy.sh"

echo "== sanitizer build and tests (clang: ASan + UBSan, leaks checked)  [$SECONDS s]"
# Nothing else left to give way to: the build's remaining compiles at the
# normal priority (when the system lets a process raise its own).
renice -n 0 -g "$sanitize_pid" >/dev/null 2>&1 || true
status=0
wait "$sanitize_pid" || status=$?
sanitize_pid=""
cat "$sanitize_log"
if [ $status -ne 0 ]; then
  echo "the sanitizer build failed (status $status)" >&2
  exit 1
fi
(cd "$FAZORN_ROOT/build/sanitize" &&
 QT_QPA_PLATFORM=offscreen \
 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 LSAN_OPTIONS="suppressions=$FAZORN_ROOT/scripts/lsan.supp:print_suppressions=0" \
 ctest --output-on-failure -j "$(nproc)")

echo "== fuzzing (${FAZORN_FUZZ_SECONDS:-30} s per harness)  [$SECONDS s]"
FAZORN_FUZZ_BUILD="$FAZORN_ROOT/build/sanitize" \
  "$FAZORN_ROOT/scripts/fuzz.sh" "${FAZORN_FUZZ_SECONDS:-30}"
echo "== done  [$SECONDS s]"
