#!/usr/bin/env bash
# The whole test suite: the release build, the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer on), a 32-bit
# build of the module and its unit tests, and the Windows builds (32- and
# 64-bit) with their tests under wine and a comparison with the Linux build.
set -euo pipefail
# Each stage's heading says when it started, in seconds from the start.
stage() { echo "== $1 (at ${SECONDS} s)"; }
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# What could not be installed here (wine32 from a broken i386 index) is
# named at the end, with the stages that did not run for it.
unavailable=$(mktemp)
trap 'rm -f "$unavailable"' EXIT
OBK_DEPS_UNAVAILABLE=$unavailable scripts/install-deps.sh test

stage "release build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DOBK_BUILD_TESTS=ON -DOBK_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure --timeout 600 --parallel "$(nproc)"

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOBK_SANITIZE=ON -DOBK_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 900 --parallel "$(nproc)"

stage "fuzzing"
scripts/fuzz.sh 20

stage "32-bit module and unit tests"
# Kernels without 32-bit support run the tests under qemu's user emulation.
probe=$(mktemp -d)
echo 'int main(void) { return 0; }' > "$probe/probe.c"
emulator=()
if ! (gcc -m32 "$probe/probe.c" -o "$probe/probe" && "$probe/probe") 2>/dev/null; then
  emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
fi
rm -rf "$probe"
scripts/build.sh build-m32 "${emulator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 \
  -DCMAKE_EXE_LINKER_FLAGS=-m32 -DCMAKE_SHARED_LINKER_FLAGS=-m32 -DCMAKE_MODULE_LINKER_FLAGS=-m32 \
  -DOBK_BUILD_PROGRAM=OFF -DOBK_BUILD_BENCH=OFF -DOBK_GTEST_FROM_SOURCE=ON
ctest --test-dir build-m32 --output-on-failure --timeout 600

stage "Windows modules and unit tests under wine"
windows_start=$SECONDS
# A first start of wine creates its prefix (about 15 s); no window opens.
scripts/wine-run.sh wineboot --init
scripts/build-windows.sh
wine32_missing=$(awk -F'\t' '$1 == "wine32:i386" { print $2 }' "$unavailable")
if [ -z "$wine32_missing" ]; then
  for dir in build-win32 build-win64; do
    ctest --test-dir "$dir" --output-on-failure --timeout 900
  done
  scripts/conformance.sh build build-win32 build-win64
else
  # Without wine32 the 32-bit module is still built and its tables checked.
  cmake -DMODULE=build-win32/bin/OBKzcomp.p -DOBJDUMP=i686-w64-mingw32-objdump -DFORMAT=pei-i386 \
    -P tests/check_pe_tables.cmake
  ctest --test-dir build-win64 --output-on-failure --timeout 900
  scripts/conformance.sh build build-win64
fi
echo "Windows stage: $((SECONDS - windows_start)) s"
if [ -n "$wine32_missing" ]; then
  echo "win32 tests not run: wine32 cannot be installed here ($wine32_missing)"
fi
echo "All stages: ${SECONDS} s"
