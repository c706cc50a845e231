#!/usr/bin/env bash
# clang-tidy (.clang-tidy) on the C++ sources a change touches: the files
# given, or those of the last commit. Needs the compile commands of
# build/release (the test script builds it first). A finding fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build="$root/build/release"
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git diff --name-only --diff-filter=AM HEAD~1 HEAD 2>/dev/null |
                       grep -E '^(core|search|model|edit|commands|batch|cli|ui|python/src)/.*\.cpp$' || true)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "clang-tidy: no changed source file"
  exit 0
fi
echo "clang-tidy: ${#files[@]} file(s)"
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet \
  --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-error
