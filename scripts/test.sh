#!/usr/bin/env bash
# Builds Fazorn and runs every test: the release build, the whole suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer, then each libFuzzer
# harness for a bounded time. Any failure, sanitizer report or fuzzer crash
# fails the script.
#
#   ./scripts/test.sh           everything (what CI runs)
#   ./scripts/test.sh --quick   the release build and its tests (C++ and Python) only
#
# FAZORN_FUZZ_SECONDS sets each harness's time (default 60).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

if [ $quick -eq 1 ]; then
  fazorn_install_packages
else
  fazorn_install_packages clang libclang-rt-14-dev
fi

echo "== release build and tests"
fazorn_build release -DCMAKE_BUILD_TYPE=Release
(cd "$FAZORN_ROOT/build/release" &&
 QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)")

echo "== Python module tests (pytest)"
fazorn_pytest release
[ $quick -eq 1 ] && exit 0

echo "== sanitizer build and tests (ASan + UBSan, leaks checked)"
fazorn_build sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFAZORN_SANITIZE=ON \
  -DFAZORN_BUILD_BENCH=OFF
(cd "$FAZORN_ROOT/build/sanitize" &&
 QT_QPA_PLATFORM=offscreen \
 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
 LSAN_OPTIONS="suppressions=$FAZORN_ROOT/scripts/lsan.supp:print_suppressions=0" \
 ctest --output-on-failure -j "$(nproc)")

echo "== fuzzing (${FAZORN_FUZZ_SECONDS:-60} s per harness)"
CC=clang CXX=clang++ fazorn_build fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFAZORN_FUZZ=ON -DFAZORN_SANITIZE=ON -DFAZORN_BUILD_GUI=OFF \
  -DFAZORN_BUILD_TESTS=OFF -DFAZORN_BUILD_BENCH=OFF
"$FAZORN_ROOT/scripts/fuzz.sh" "${FAZORN_FUZZ_SECONDS:-60}"
