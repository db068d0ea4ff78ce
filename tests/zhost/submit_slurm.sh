#!/usr/bin/env bash
# zhost submit on a real one-node Slurm cluster (scripts/with-slurm.sh):
# a 12-frame comp submitted in chunks of 4 and waited for must write every
# frame as a local run does and leave no hidden file; the same with one
# input frame deleted must end non-zero naming the chunk and the frame,
# with the other chunks' frames whole.
#   submit_slurm.sh ZHOST     (as root, with slurm-wlm and munge installed)
# Exit status 77 (skipped) when the cluster cannot be started here.
set -euo pipefail
zhost=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${ZHOST_TEST_ON_CLUSTER:-}" != 1 ]; then
  for program in slurmctld slurmd munged mungekey sbatch squeue oiiotool idiff; do
    if ! command -v "$program" >/dev/null; then
      echo "skipped: $program is not installed (scripts/install-deps.sh test installs it)"
      exit 77
    fi
  done
  if [ "$(id -u)" != 0 ]; then
    echo "skipped: the Slurm daemons of the test cluster run as root"
    exit 77
  fi
  ZHOST_TEST_ON_CLUSTER=1 exec "$root/scripts/with-slurm.sh" bash "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zhost-submit.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Twelve frames whose render, depth and comp images all change with the
# frame, so that a frame run with another frame's inputs shows.
mkdir in
oiiotool --frames 1-12 --pattern "fill:top=0.8,0.2,{FRAME_NUMBER/20},1,{FRAME_NUMBER}:bottom=0.2,0.2,0.8,1,1" 48x27 5 \
  --chnames R,G,B,A,Z -d float -o in/render.#.exr
oiiotool --frames 1-12 --pattern "fill:left={FRAME_NUMBER/3}:right=4" 48x27 1 --chnames Z -d float -o in/depth.#.exr
oiiotool --frames 1-12 --pattern "fill:color=0.1,{FRAME_NUMBER/20},0.1,1" 48x27 4 --chnames R,G,B,A -d float \
  -o in/comp.#.exr
"$zhost" -q save "in/depth.####.exr" --frames 1-12 --base in/zbuf
comp_args() {
  echo comp --render in/render.####.exr --zbuffer in/zbuf####.zb --comp in/comp.####.exr -o "$1/comp.####.exr"
}
mkdir local farm farm-missing
# shellcheck disable=SC2046
"$zhost" -q $(comp_args local) --frames 1-12

# Frame N of DIR holds the pixels of the local run's frame N.
same_as_local() {
  idiff -fail 0 -warn 0 "local/comp.$(printf %04d "$2").exr" "$1/comp.$(printf %04d "$2").exr" >/dev/null
}
no_hidden_files() {
  local hidden
  hidden=$(find "$work" -name '.*' -print)
  [ -z "$hidden" ] || fail "$1: hidden files left: $hidden"
}

if idiff -fail 0 -warn 0 local/comp.0001.exr local/comp.0012.exr >/dev/null; then
  fail "frames 1 and 12 are alike: a frame run with another frame's inputs would not show"
fi

start=$SECONDS
# shellcheck disable=SC2046
if ! "$zhost" submit slurm --chunk 4 --wait -- $(comp_args farm) --frames 1-12 >farm.out 2>farm.err; then
  fail "the farm run failed: $(cat farm.err)"
fi
for n in $(seq 1 12); do
  same_as_local farm "$n" || fail "farm frame $n differs from the local run's"
done
script=farm/zhost-comp-1-12/job.sbatch
[ -f "$script" ] || fail "no job script at $script"
grep -q '^#SBATCH --array=0-2$' "$script" || fail "the script is not an array job of 3 tasks"
for chunk in 0 1 2; do
  [ "$(cat "farm/zhost-comp-1-12/chunk-$chunk.status" 2>/dev/null)" = 0 ] || fail "chunk $chunk left no status 0"
done
no_hidden_files "farm run"
echo "farm run of 12 frames in 3 chunks: $((SECONDS - start)) s"

# Frame 6 missing: its chunk (1, frames 5-8) fails, naming the frame; with
# --skip-missing it still writes 5, 7 and 8. The other chunks are whole.
rm in/render.0006.exr
set +e
# shellcheck disable=SC2046
"$zhost" submit slurm --chunk 4 --wait -- $(comp_args farm-missing) --skip-missing --frames 1-12 \
  >missing.out 2>missing.err
status=$?
set -e
[ "$status" = 1 ] || fail "--wait with a missing frame exited $status, not 1"
grep -q 'chunk 1 (frames 5-8) failed' missing.err || fail "the failed chunk is not named: $(cat missing.err)"
grep -q 'render\.0006\.exr' missing.err || fail "the missing frame is not named: $(cat missing.err)"
[ "$(grep -c '^zhost: chunk' missing.err)" = 1 ] || fail "other chunks reported as failed: $(cat missing.err)"
for n in 1 2 3 4 5 7 8 9 10 11 12; do
  same_as_local farm-missing "$n" || fail "frame $n of the run with a missing frame differs or is missing"
done
[ ! -e farm-missing/comp.0006.exr ] || fail "frame 6 was written without its render"
no_hidden_files "run with a missing frame"

if [ "$failures" -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "zhost submit slurm: all checks passed; the run with a missing frame said:"
cat missing.err
