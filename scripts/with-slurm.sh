#!/usr/bin/env bash
# Runs COMMAND on a one-node Slurm cluster of its own (scripts/slurm-cluster.sh)
# with SLURM_CONF pointing at it, then stops the cluster and removes its
# folder, however COMMAND ends. Exits with COMMAND's status.
#   scripts/with-slurm.sh COMMAND [ARGS...]
# Set ZHOST_SLURM_KEEP=1 to keep the cluster's folder (logs) afterwards.
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: with-slurm.sh COMMAND [ARGS...]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
cluster=$(mktemp -d "${TMPDIR:-/tmp}/zhost-slurm.XXXXXX")
cleanup() {
  "$here/slurm-cluster.sh" stop "$cluster" || true
  if [ "${ZHOST_SLURM_KEEP:-0}" = 1 ]; then
    echo "with-slurm: the cluster's files stay in $cluster" >&2
  else
    rm -rf "$cluster"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$here/slurm-cluster.sh" start "$cluster"
status=0
SLURM_CONF=$cluster/slurm.conf "$@" || status=$?
exit "$status"
