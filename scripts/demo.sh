#!/usr/bin/env bash
# The main job: installs what is missing, builds zhost and the module, and
# runs zhost's demo. It asks for nothing that only the tests need.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh demo
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DOBK_BUILD_TESTS=OFF
build/bin/zhost demo
