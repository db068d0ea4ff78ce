#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# over its seed corpus: scripts/fuzz.sh [SECONDS_PER_TARGET]. Any crash,
# leak, sanitizer report or out-of-memory fails the run; the input that
# caused it is left in build-fuzz/artifacts/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-20}

scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOBK_FUZZ=ON -DOBK_BUILD_TESTS=OFF -DOBK_BUILD_PROGRAM=ON -DOBK_BUILD_BENCH=OFF

mkdir -p build-fuzz/artifacts
for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  echo "== $name for ${seconds}s"
  # Inputs hold at most 64 KiB, and neither the loader nor the host holds
  # more than twice a file: a single allocation of 16 MiB or a process of
  # 512 MiB is a fault, whatever size a file announces.
  "$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=512 -malloc_limit_mb=16 \
    -timeout=30 -artifact_prefix="build-fuzz/artifacts/$name-" -print_final_stats=0 \
    "$work" "$corpus" 2>&1 | tail -n 3
  status=${PIPESTATUS[0]}
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$name failed (status $status); see build-fuzz/artifacts/"
    exit 1
  fi
done
