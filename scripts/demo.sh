#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs zhost's demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
build/bin/zhost demo
