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
# The build's compile commands without its precompiled headers: GCC's
# cannot be read by clang, and each source must stand on its own includes
# anyway.
commands="$(mktemp -d)"
trap 'rm -rf "$commands"' EXIT
/usr/bin/python3 - "$build/compile_commands.json" "$commands/compile_commands.json" <<'PY'
import json, shlex, sys
entries = json.load(open(sys.argv[1]))
for entry in entries:
    words = shlex.split(entry["command"])
    kept, skip = [], 0
    for i, word in enumerate(words):
        if skip:
            skip -= 1
        elif word == "-include" and words[i + 1:i + 2] and words[i + 1].endswith("cmake_pch.hxx"):
            skip = 1  # GCC's: -include <target>/cmake_pch.hxx
        elif word == "-Xclang" and words[i + 1:i + 2] == ["-include-pch"]:
            skip = 3  # clang's: -Xclang -include-pch -Xclang <file>.pch
        elif word != "-Winvalid-pch":
            kept.append(word)
    entry["command"] = shlex.join(kept)
json.dump(entries, open(sys.argv[2], "w"), indent=1)
PY
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$commands" --quiet \
  --extra-arg=-Wno-unknown-warning-option --extra-arg=-Wno-error
