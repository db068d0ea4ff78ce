#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, for the tests: its own munge key
# and daemon, its own slurm.conf, free ports, and every state, log and pid
# file under one folder. Run as root (slurmd starts jobs as their users).
#   scripts/slurm-cluster.sh start DIR   starts munged, slurmctld and slurmd;
#                                        the clients then need SLURM_CONF=DIR/slurm.conf
#   scripts/slurm-cluster.sh stop DIR    stops the daemons that start started,
#                                        each by its pid file
# scripts/with-slurm.sh runs a command on such a cluster in a folder of its
# own and stops the cluster afterwards.
set -euo pipefail

usage() {
  echo "usage: slurm-cluster.sh start|stop DIR" >&2
  exit 2
}
[ $# -eq 2 ] || usage
action=$1
dir=$(cd "$2" && pwd)

# The daemons in the order they start; stop goes the other way.
daemons=(munged slurmctld slurmd)

# A TCP port that nothing listens on, from a range no service uses by default.
free_port() {
  local port
  while true; do
    port=$((20000 + RANDOM % 30000))
    if ! ss -Htln "sport = :$port" | grep -q . && [[ " ${taken_ports:-} " != *" $port "* ]]; then
      taken_ports="${taken_ports:-} $port"
      echo "$port"
      return
    fi
  done
}

start_munge() {
  mkdir -p "$dir/munge"
  chmod 0700 "$dir/munge"
  mungekey --create --keyfile="$dir/munge/munge.key"
  chmod 0400 "$dir/munge/munge.key"
  # --force: munged otherwise refuses to run as root and folders under /tmp.
  munged --force --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munge/munged.seed"
}

write_config() {
  local node cpus
  node=$(hostname -s)
  cpus=$(nproc)
  mkdir -p "$dir/ctld" "$dir/spool"
  cat >"$dir/slurm.conf" <<EOF
ClusterName=zhosttest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$dir/munge/munge.socket
CredType=cred/munge
StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/builtin
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=512 State=UNKNOWN
PartitionName=zhost Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
}

# Waits until the node takes jobs (idle), at most 60 s.
wait_for_node() {
  local state
  for _ in $(seq 120); do
    state=$(SLURM_CONF="$dir/slurm.conf" sinfo -h -o %T 2>/dev/null || true)
    if [ "$state" = idle ]; then return 0; fi
    sleep 0.5
  done
  echo "slurm-cluster: the node did not come up (state '${state:-none}'); see $dir/slurmctld.log and $dir/slurmd.log" >&2
  return 1
}

start() {
  if [ -e "$dir/slurm.conf" ]; then
    echo "slurm-cluster: $dir already holds a cluster" >&2
    exit 1
  fi
  start_munge
  write_config
  # -i: no state of an earlier controller to recover.
  slurmctld -i -f "$dir/slurm.conf"
  slurmd -f "$dir/slurm.conf" -N "$(hostname -s)"
  wait_for_node
}

# Stops one daemon by its pid file and waits (at most 20 s) for it to end.
stop_daemon() {
  local pid_file=$dir/$1.pid pid
  [ -s "$pid_file" ] || return 0
  pid=$(cat "$pid_file")
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "slurm-cluster: $1 (pid $pid) did not stop; killing it" >&2
  kill -9 "$pid" 2>/dev/null || true
}

# Cancels the jobs still in this cluster (all are its own tests') and waits
# (at most 10 s) for their tasks to end, so that no task outlives slurmd.
cancel_jobs() {
  local jobs
  export SLURM_CONF=$dir/slurm.conf
  jobs=$(squeue -h -o %A 2>/dev/null | sort -u || true)
  [ -n "$jobs" ] || return 0
  # shellcheck disable=SC2086
  scancel $jobs 2>/dev/null || true
  for _ in $(seq 100); do
    [ -z "$(squeue -h -o %A 2>/dev/null || true)" ] && return 0
    sleep 0.1
  done
}

stop() {
  local i
  if [ -s "$dir/slurmctld.pid" ] && kill -0 "$(cat "$dir/slurmctld.pid")" 2>/dev/null; then cancel_jobs; fi
  for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do stop_daemon "${daemons[i]}"; done
}

case $action in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
