#!/usr/bin/env bash
# Runs the unit and module tests under valgrind's memcheck: any memory error
# or leak fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh test
scripts/build.sh build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOBK_BUILD_BENCH=OFF -DOBK_BUILD_PROGRAM=OFF
valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --track-fds=no --quiet \
  build-valgrind/tests/obk_tests --gtest_brief=1
