#!/usr/bin/env bash
# Runs the conformance program of the native build with the native module,
# and of each Windows build under wine with its Windows module, and compares
# everything they wrote byte for byte: depth files, load outcomes of the
# hostile corpus, composited frames.
#   scripts/conformance.sh [NATIVE_BUILD [WINDOWS_BUILD...]]
# Defaults: build, then build-win32 and build-win64.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
native=${1:-build}
shift || true
windows=("$@")
((${#windows[@]})) || windows=(build-win32 build-win64)

for dir in "$native" "${windows[@]}"; do
  [ -f "$dir/bin/OBKzcomp.p" ] || { echo "conformance: $dir/bin/OBKzcomp.p is missing; build it first" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=fuzz/corpus/zload

"$native/tests/conformance/obk_conformance" "$native/bin/OBKzcomp.p" "$work/native" "$corpus"
status=0
for dir in "${windows[@]}"; do
  name=$(basename "$dir")
  scripts/wine-run.sh "$dir/tests/conformance/obk_conformance.exe" "$dir/bin/OBKzcomp.p" "$work/$name" "$corpus"
  if diff -r "$work/native" "$work/$name"; then
    echo "conformance: $name wrote the same $(find "$work/$name" -type f | wc -l) files as $native"
  else
    echo "conformance: $name differs from $native" >&2
    status=1
  fi
done
exit "$status"
