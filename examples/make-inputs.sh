#!/usr/bin/env bash
# Makes the inputs of examples/scene.json with oiiotool and zhost, then runs it:
# a render whose lower half is near, a depth image half way, a green image.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zhost=${ZHOST:-$here/../build/bin/zhost}
cd "$here"
mkdir -p inputs out
for n in 0001 0002; do
  oiiotool --pattern fill:top=0.8,0.2,0.2,1,9:bottom=0.2,0.2,0.8,1,1 64x36 5 --chnames R,G,B,A,Z -d float \
    -o inputs/render.$n.exr
  oiiotool --pattern fill:color=5 64x36 1 --chnames Z -d float -o inputs/depth.$n.exr
  oiiotool --pattern fill:color=0.1,0.9,0.1,1 64x36 4 --chnames R,G,B,A -d float -o inputs/comp.$n.exr
done
"$zhost" save "inputs/depth.####.exr" --frames 1-2 --base inputs/zbuf
"$zhost" render scene.json --save-scene out/scene-saved.json
