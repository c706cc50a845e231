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
# the same build. FAZORN_FUZZ_SECONDS sets each harness's time (default 60).
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

echo "== release build (warnings as errors) and tests  [$SECONDS s]"
fazorn_build release -DCMAKE_BUILD_TYPE=Release -DFAZORN_WARNINGS_AS_ERRORS=ON
(cd "$FAZORN_ROOT/build/release" &&
 QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)")

echo "== Python module tests (pytest)  [$SECONDS s]"
fazorn_pytest release
[ $quick -eq 1 ] && exit 0

echo "== clang-tidy on the sources the last commit changed  [$SECONDS s]"
"$FAZORN_ROOT/scripts/tidy.sh"

echo "== sanitizer build and tests (clang: ASan + UBSan, leaks checked)  [$SECONDS s]"
# -O1 with line tables only: the optimisation the sanitizers are made for,
# and stack traces with file and line at a fraction of full debug
# information's compile and link time. lld links the instrumented
# executables in a third of the CPU time of the default linker.
CC=clang CXX=clang++ fazorn_build sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
  -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld \
  -DFAZORN_SANITIZE=ON -DFAZORN_FUZZ=ON -DFAZORN_BUILD_BENCH=OFF
(cd "$FAZORN_ROOT/build/sanitize" &&
 QT_QPA_PLATFORM=offscreen \
 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 LSAN_OPTIONS="suppressions=$FAZORN_ROOT/scripts/lsan.supp:print_suppressions=0" \
 ctest --output-on-failure -j "$(nproc)")

echo "== fuzzing (${FAZORN_FUZZ_SECONDS:-60} s per harness)  [$SECONDS s]"
FAZORN_FUZZ_BUILD="$FAZORN_ROOT/build/sanitize" \
  "$FAZORN_ROOT/scripts/fuzz.sh" "${FAZORN_FUZZ_SECONDS:-60}"
echo "== done  [$SECONDS s]"
