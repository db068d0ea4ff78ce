#!/usr/bin/env bash
# Cross-builds the module, its unit tests and the conformance program for
# 32- and 64-bit Windows with mingw-w64: build-win32/bin/OBKzcomp.p and
# build-win64/bin/OBKzcomp.p. Run `ctest --test-dir build-win32` (and win64)
# to test them under wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for target in win32:i686-w64-mingw32 win64:x86_64-w64-mingw32; do
  dir=build-${target%%:*}
  echo "== $dir"
  "$root/scripts/build.sh" "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/${target#*:}.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DOBK_BUILD_PROGRAM=OFF -DOBK_BUILD_BENCH=OFF -DOBK_GTEST_FROM_SOURCE=ON
done
