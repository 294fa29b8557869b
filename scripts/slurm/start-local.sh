#!/usr/bin/env bash
# Starts a one-node Slurm cluster on this machine, for trying scripts/slurm/scan.sh (and for CI):
# Debian's munge, slurmctld and slurmd, run as root, reachable from localhost only, without
# systemd. The node offers every core and nearly all memory of the machine.
#
#   bash scripts/slurm/start-local.sh        # install what is missing, write the configuration, start
#   bash scripts/slurm/start-local.sh stop   # stop the daemons it started
#
# It writes /etc/slurm/slurm.conf only when there is none or when the one there is its own, so a
# real cluster's configuration is never replaced.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "start-local: run as root (it installs packages and starts daemons)" >&2
  exit 1
fi

CONF=/etc/slurm/slurm.conf
MARK="# Written by parcelwright scripts/slurm/start-local.sh"
STATE=/var/lib/parcelwright-slurm
NODE=$(hostname -s)

stop() {
  pkill -x slurmd 2>/dev/null || true
  pkill -x slurmctld 2>/dev/null || true
  pkill -x munged 2>/dev/null || true
  for _ in $(seq 50); do
    pgrep -x slurmd >/dev/null || pgrep -x slurmctld >/dev/null || pgrep -x munged >/dev/null ||
      return 0
    sleep 0.1
  done
}

if [ "${1:-}" = stop ]; then
  stop
  echo "start-local: stopped"
  exit 0
fi

missing=()
for p in munge slurmctld slurmd slurm-client; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "start-local: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ -f "$CONF" ] && ! grep -qxF "$MARK" "$CONF"; then
  echo "start-local: $CONF exists and is not this script's; not touching a configured cluster" >&2
  exit 1
fi

# The node's size as Slurm itself measures it, so slurmd does not mark the node invalid.
cpus=$(nproc)
mem=$(($(awk '/^MemTotal:/ {print $2}' /proc/meminfo) / 1024 * 9 / 10))
mkdir -p /etc/slurm "$STATE/ctld" "$STATE/d" /var/log/parcelwright-slurm
cat >"$CONF" <<CONF
$MARK
ClusterName=parcelwright-local
SlurmctldHost=$NODE(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
StateSaveLocation=$STATE/ctld
SlurmdSpoolDir=$STATE/d
SlurmctldPidFile=/run/parcelwright-slurmctld.pid
SlurmdPidFile=/run/parcelwright-slurmd.pid
SlurmctldLogFile=/var/log/parcelwright-slurm/slurmctld.log
SlurmdLogFile=/var/log/parcelwright-slurm/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
SlurmdTimeout=300
InactiveLimit=0
MinJobAge=300
KillWait=10
Waittime=0
NodeName=$NODE NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=local Nodes=$NODE Default=YES MaxTime=INFINITE State=UP
CONF

# munge authenticates every message between the daemons and the client commands. It refuses to run
# as root, so it runs as its own user, as the package intends.
if ! pgrep -x munged >/dev/null; then
  install -d -o munge -g munge -m 0755 /run/munge
  [ -s /etc/munge/munge.key ] || runuser -u munge -- mungekey --create >/dev/null
  runuser -u munge -- munged
fi
pgrep -x slurmctld >/dev/null || slurmctld
pgrep -x slurmd >/dev/null || slurmd

# Ready when the node takes jobs.
for _ in $(seq 300); do
  state=$(sinfo -h -N -n "$NODE" -o '%T' 2>/dev/null || true)
  case $state in
    idle* | mixed* | allocated*)
      echo "start-local: Slurm is up on $NODE ($cpus cores, partition 'local')"
      exit 0
      ;;
    down* | drain* | fail*)
      scontrol update nodename="$NODE" state=resume >/dev/null 2>&1 || true
      ;;
  esac
  sleep 0.2
done
echo "start-local: the node did not come up; see /var/log/parcelwright-slurm/" >&2
sinfo -N -l >&2 || true
exit 1
