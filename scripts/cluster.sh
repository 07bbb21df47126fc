#!/usr/bin/env bash
# A small emulated cluster on this machine, for running the MPI programs across
# hosts with mpirun and with Slurm: a login host (pl-login, the Slurm
# controller, where mpirun, srun and sbatch run) and three compute hosts
# (pl-node1 to pl-node3, slurmd, 2 CPUs each), as HOST_TABLE below lists them.
#
# Each host is a network namespace (interface pl-eth0, no route out) plus its
# own hostname, its own /etc/hosts, /tmp and /dev/shm (a UTS and a mount
# namespace held by one "keeper" process per host). The hosts are joined by the
# bridge pl-br0, which lives in a namespace of its own (pl-switch), so nothing
# is added to the machine's own network.
#
# Processes are stopped by PID: the ones recorded at start and every process
# found inside the hosts' network namespaces.
#
# usage: scripts/cluster.sh [-h] COMMAND [ARGS...]
#   check              exit 0 if a cluster can be built here, else one line
#                      saying why and exit 77
#   up [--watch-parent]
#                      installs the packages, builds the cluster, starts
#                      munged, slurmctld and 3 slurmd; --watch-parent: also
#                      takes it down when the process that ran this command
#                      (ctest, for the tests' fixture) ends and leaves it up
#   down               stops every process in the hosts and removes every
#                      namespace (also after a failed or interrupted up)
#   run HOST CMD...    runs CMD on HOST in the current folder, with
#                      SLURM_CONF set
#   rsh HOST CMD...    the same for a shell command line; mpirun's launch
#                      agent in place of ssh
#   mpirun ARGS...     the build's launcher on pl-login over the compute hosts
#                      (hostfile, launch agent, TCP settings), given Open MPI's
#                      options; for an MPICH build they become Hydra's
#                      (-x NAME=VALUE, --wdir, --map-by slot|node)
#   mpiexec ARGS...    the same with Hydra's own options (MPICH builds only)
#   -h, --help         print this usage and exit
# Environment: PL_CLUSTER_DIR, the state folder (default build/cluster);
# PL_MPI_LAUNCHER_ENV, the MPI facts of the build whose launcher mpirun and
# mpiexec run (default build/release/mpi_launcher.env for mpirun,
# build/mpich/mpi_launcher.env for mpiexec; written by configure);
# PL_CLUSTER_SHARED_TMP=1 leaves /tmp and /dev/shm shared by all hosts (only
# for showing what goes wrong then: see docs/cluster.md).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

STATE=${PL_CLUSTER_DIR:-$ROOT/build/cluster}
# The hosts: name, address (in SUBNET) and CPUs. The first is the login host,
# which runs no ranks (0 CPUs). The namespaces, /etc/hosts, slurm.conf and
# the hostfiles (which the tests read) are all made from this table.
HOST_TABLE=(
  "pl-login 198.18.0.10 0"
  "pl-node1 198.18.0.11 2"
  "pl-node2 198.18.0.12 2"
  "pl-node3 198.18.0.13 2"
)
SUBNET=198.18.0.0/24
SWITCH=pl-switch
SELF="$ROOT/scripts/cluster.sh"

HOSTS=() COMPUTE_HOSTS=()
declare -A ADDRESS=() CPUS=()
for entry in "${HOST_TABLE[@]}"; do
  read -r host address cpus <<<"$entry"
  HOSTS+=("$host") ADDRESS[$host]=$address CPUS[$host]=$cpus
  [ "$cpus" -eq 0 ] || COMPUTE_HOSTS+=("$host")
done
LOGIN_HOST=${HOSTS[0]}

address_of() {
  [ -n "${ADDRESS[$1]:-}" ] || { echo "cluster.sh: no host $1" >&2; return 1; }
  echo "${ADDRESS[$1]}"
}

# One line and status 77 (CTest's skip code) when this machine can't do it.
check() {
  local tool
  if [ "$(id -u)" -ne 0 ]; then echo "cluster: needs root (network namespaces)"; return 77; fi
  for tool in ip nsenter unshare; do
    command -v "$tool" >/dev/null || { echo "cluster: $tool is missing"; return 77; }
  done
  if ! unshare --net --uts --mount true 2>/dev/null; then
    echo "cluster: no network, UTS or mount namespaces here"; return 77
  fi
}

keeper_pid() {
  local file="$STATE/run/$1.keeper"
  [ -s "$file" ] || { echo "cluster.sh: host $1 is not up ($STATE)" >&2; return 1; }
  cat "$file"
}

# Environment every command on a host gets: the cluster's Slurm configuration,
# and the host's own /tmp as temporary folder (one word each, blanks and all).
host_env() {
  HOST_ENV=("SLURM_CONF=$STATE/slurm/slurm.conf" TMPDIR=/tmp)
}

# enter HOST DIR CMD...: CMD inside HOST's namespaces, in folder DIR.
enter() {
  local host=$1 dir=$2 pid
  shift 2
  pid=$(keeper_pid "$host")
  host_env
  exec nsenter -t "$pid" --net --uts --mount --wd="$dir" -- env "${HOST_ENV[@]}" "$@"
}

# start NAME HOST CMD...: CMD in the background inside HOST, its output to
# the log folder; records its PID.
start() {
  local name=$1 host=$2 pid
  shift 2
  pid=$(keeper_pid "$host")
  host_env
  setsid nsenter -t "$pid" --net --uts --mount --wd="$STATE" -- env "${HOST_ENV[@]}" "$@" \
    </dev/null >"$STATE/log/$name.out" 2>&1 &
  echo "$!" >"$STATE/run/$name.pid"
}

# wait_for SECONDS WHAT CMD...: polls CMD every 0.2 s until it succeeds.
wait_for() {
  local tries=$(($1 * 5)) what=$2
  shift 2
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then echo "cluster: $what did not come up in time" >&2; return 1; fi
    sleep 0.2
  done
}

keeper_ready() {
  local pid
  pid=$(cat "$STATE/run/$1.keeper")
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = sleep ]
}

# No IPv6 in any namespace of ours: not even link-local traffic.
no_ipv6() {
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
}

make_network() {
  local host i=0
  ip netns add "$SWITCH"
  no_ipv6 "$SWITCH"
  ip -n "$SWITCH" link add pl-br0 type bridge
  ip -n "$SWITCH" link set pl-br0 up
  for host in "${HOSTS[@]}"; do
    i=$((i + 1))
    ip netns add "$host"
    no_ipv6 "$host"
    # Both ends are created inside the namespaces, never in the machine's own.
    ip -n "$SWITCH" link add "pl-port$i" type veth peer name pl-eth0 netns "$host"
    ip -n "$SWITCH" link set "pl-port$i" master pl-br0 up
    ip -n "$host" addr add "$(address_of "$host")/24" dev pl-eth0
    ip -n "$host" link set pl-eth0 up
    ip -n "$host" link set lo up
  done
}

# The folders directly below /tmp that hold the checkout or the cluster's
# state: a host's own /tmp would hide them, so each host sees them through.
tmp_subtrees() {
  local path rel
  for path in "$ROOT" "$STATE"; do
    path=$(realpath -m "$path")
    case "$path" in
      /tmp/*) rel=${path#/tmp/}; echo "/tmp/${rel%%/*}" ;;
    esac
  done | sort -u
}

make_hosts() {
  local host subtrees
  mapfile -t subtrees < <(tmp_subtrees)
  {
    echo "127.0.0.1 localhost"
    for host in "${HOSTS[@]}"; do echo "$(address_of "$host") $host"; done
  } >"$STATE/etc/hosts"
  for host in "${HOSTS[@]}"; do
    mkdir -p "$STATE/hosts/$host/tmp" "$STATE/hosts/$host/shm" "$STATE/hosts/$host/spool"
    chmod 1777 "$STATE/hosts/$host/tmp" "$STATE/hosts/$host/shm"
    # The keeper holds the host's hostname and mounts; all commands enter it.
    # A checkout or state folder below /tmp is bound into the host's own /tmp
    # first, at the same path, and comes along with it (recursive bind).
    setsid nsenter --net="/run/netns/$host" unshare --uts --mount --propagation private -- \
      bash -c 'set -e; hostname "$1"; mount --bind "$2" /etc/hosts
               if [ "$4" != 1 ]; then
                 own=$3; shift 4
                 for d in "$@"; do mkdir -p "$own/tmp${d#/tmp}"; mount --bind "$d" "$own/tmp${d#/tmp}"; done
                 mount --rbind "$own/tmp" /tmp; mount --bind "$own/shm" /dev/shm
               fi
               exec sleep infinity' \
      keeper "$host" "$STATE/etc/hosts" "$STATE/hosts/$host" "${PL_CLUSTER_SHARED_TMP:-0}" "${subtrees[@]}" \
      </dev/null >"$STATE/log/$host.keeper.out" 2>&1 &
    echo "$!" >"$STATE/run/$host.keeper"
  done
  for host in "${HOSTS[@]}"; do wait_for 10 "host $host" keeper_ready "$host"; done
}

write_slurm_conf() {
  mkdir -p "$STATE/slurm/state"
  # The paths in double quotes: Slurm splits a value at blanks otherwise.
  cat >"$STATE/slurm/slurm.conf" <<EOF
# Emulated cluster of scripts/cluster.sh; generated by "cluster.sh up".
ClusterName=pl
SlurmctldHost=$LOGIN_HOST($(address_of "$LOGIN_HOST"))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo="socket=$STATE/munge/munge.socket"
StateSaveLocation="$STATE/slurm/state"
SlurmctldPidFile="$STATE/run/slurmctld.pidfile"
SlurmctldLogFile="$STATE/log/slurmctld.log"
SlurmdSpoolDir="$STATE/hosts/%n/spool"
SlurmdPidFile="$STATE/run/slurmd.%n.pidfile"
SlurmdLogFile="$STATE/log/slurmd.%n.log"
TmpFS=/tmp
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
MpiDefault=none
ReturnToService=2
KillWait=5
$(for host in "${COMPUTE_HOSTS[@]}"; do
    echo "NodeName=$host NodeAddr=$(address_of "$host") CPUs=${CPUS[$host]} RealMemory=1000 State=UNKNOWN"
  done)
PartitionName=pl Nodes=$(IFS=,; echo "${COMPUTE_HOSTS[*]}") Default=YES MaxTime=30 State=UP
EOF
  # From Slurm 24.05 on, slurmd refuses to start without a cgroup file system
  # unless cgroups are turned off, which that version brought; the cluster
  # tracks its tasks without them (proctrack/linuxproc, task/none), so a
  # machine or chroot without cgroups runs it too. Earlier versions know no
  # such value and need no cgroup.conf.
  rm -f "$STATE/slurm/cgroup.conf"
  if slurm_at_least 24 5; then
    echo "CgroupPlugin=disabled" >"$STATE/slurm/cgroup.conf"
  fi
}

# slurm_at_least MAJOR MINOR: whether this machine's slurmd is that version or
# newer ("slurm 24.11.5").
slurm_at_least() {
  local version major minor
  version=$(slurmd -V | awk '{print $2}')
  major=${version%%.*}
  minor=${version#*.}
  minor=${minor%%.*}
  [ "$major" -gt "$1" ] || { [ "$major" -eq "$1" ] && [ "$minor" -ge "$2" ]; }
}

start_daemons() {
  local host
  mkdir -p "$STATE/munge"
  chmod 700 "$STATE/munge"
  head -c 1024 /dev/urandom >"$STATE/munge/munge.key"
  chmod 400 "$STATE/munge/munge.key"
  start munged "$LOGIN_HOST" munged --foreground --force --socket="$STATE/munge/munge.socket" \
    --key-file="$STATE/munge/munge.key" --pid-file="$STATE/run/munged.pidfile" \
    --log-file="$STATE/log/munged.log" --seed-file="$STATE/munge/munged.seed"
  wait_for 10 munged test -S "$STATE/munge/munge.socket"
  start slurmctld "$LOGIN_HOST" slurmctld -D -i -f "$STATE/slurm/slurm.conf"
  for host in "${COMPUTE_HOSTS[@]}"; do
    start "slurmd.$host" "$host" slurmd -D -f "$STATE/slurm/slurm.conf" -N "$host"
  done
  wait_for 30 "Slurm" nodes_idle
}

nodes_idle() {
  [ "$("$SELF" run "$LOGIN_HOST" sinfo -h -N -o %t | sort -u)" = idle ]
}

# up [OWNER]: builds the cluster; with OWNER (a PID), also starts the
# watchdog that takes it down should OWNER end first.
up() {
  local owner=${1:-}
  check || exit $?
  ensure_packages $BASE_PACKAGES
  ensure_daemon_packages $CLUSTER_PACKAGES
  down >/dev/null 2>&1 || true
  local started=$SECONDS
  mkdir -p "$STATE/run" "$STATE/log" "$STATE/etc"
  trap 'echo "cluster: set-up failed, taking it down (logs: $STATE/log)" >&2; down' ERR
  trap 'down; exit 130' INT TERM
  # From here until "down" the cluster counts as up: whoever ran "up" takes
  # it down also when interrupted halfway (scripts/lib.sh, run_tests).
  : >"$STATE/run/cluster.up"
  [ -z "$owner" ] || start_watchdog "$owner"
  make_network
  make_hosts
  write_slurm_conf
  start_daemons
  local host
  for host in "${COMPUTE_HOSTS[@]}"; do echo "$host slots=${CPUS[$host]}"; done >"$STATE/hostfile"
  # Hydra's forms: host:slots, and a launch agent that is one executable.
  for host in "${COMPUTE_HOSTS[@]}"; do echo "$host:${CPUS[$host]}"; done >"$STATE/hostfile.hydra"
  printf '#!/bin/sh\nexec %q rsh "$@"\n' "$SELF" >"$STATE/hydra-rsh"
  chmod 755 "$STATE/hydra-rsh"
  trap - ERR INT TERM
  echo "cluster: up in $((SECONDS - started)) s (state in $STATE)"
}

# proc_start PID: when PID started (clock ticks after boot), empty once it
# has ended; with the PID it tells a process apart from a later one that got
# the same PID.
proc_start() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }  # the fields after the command name, from field 3 on
  set -- $stat
  echo "${20}"
}

# A test run killed outright (SIGKILL to ctest) never runs its fixture's
# "down": the watchdog, a process of its own, waits for the owner (the ctest
# that ran "up") to end and then takes the cluster down, unless that was done
# already. "down" stops the watchdog like every process recorded in run/.
start_watchdog() {
  local owner=$1
  PL_CLUSTER_DIR=$STATE setsid "$SELF" watch "$owner" "$(proc_start "$owner")" \
    </dev/null >"$STATE/log/watchdog.out" 2>&1 &
  echo "$!" >"$STATE/run/watchdog.pid"
}

# watch OWNER START: the watchdog's loop (OWNER's PID and start time).
watch() {
  while [ -n "$2" ] && [ "$(proc_start "$1")" = "$2" ]; do sleep 1; done
  [ -e "$STATE/run/cluster.up" ] || exit 0
  rm -f "$STATE/run/watchdog.pid"  # down must not stop this process
  echo "cluster: process $1 ended and left the cluster up; taking it down"
  down
}

# Stops a list of PIDs: SIGTERM, up to 5 s, then SIGKILL.
stop_pids() {
  [ $# -gt 0 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  local tries=25 pid alive
  while [ "$tries" -gt 0 ]; do
    alive=()
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && alive+=("$pid"); done
    [ ${#alive[@]} -eq 0 ] && return 0
    sleep 0.2
    tries=$((tries - 1))
  done
  kill -KILL "${alive[@]}" 2>/dev/null || true
}

# Every process inside one of the hosts' network namespaces, plus the ones
# recorded at start (a keeper or daemon that has not entered its host yet).
cluster_pids() {
  local ns file
  for ns in "${HOSTS[@]}" "$SWITCH"; do
    [ -e "/run/netns/$ns" ] && ip netns pids "$ns" 2>/dev/null
  done
  for file in "$STATE"/run/*.pid "$STATE"/run/*.keeper; do
    [ -s "$file" ] && cat "$file"
  done
  return 0
}

down() {
  local pids ns
  [ "$(id -u)" -eq 0 ] || return 0  # nothing of ours can exist
  # Daemons first (they may start new job processes while being stopped), then
  # whatever else is left, keepers last.
  for _ in 1 2 3; do
    mapfile -t pids < <(cluster_pids | sort -un)
    [ ${#pids[@]} -eq 0 ] && break
    stop_pids "${pids[@]}"
  done
  # Tolerant of a second "down" at the same time (an interrupted run's own
  # and its watchdog's): what the other removed first is no error.
  for ns in "${HOSTS[@]}" "$SWITCH"; do
    [ ! -e "/run/netns/$ns" ] || ip netns del "$ns" 2>/dev/null || [ ! -e "/run/netns/$ns" ]
  done
  rm -f "$STATE/run/cluster.up" "$STATE"/run/*.pid "$STATE"/run/*.keeper "$STATE"/run/*.pidfile "$STATE/hostfile" \
    "$STATE/hostfile.hydra" "$STATE/hydra-rsh"
  rm -rf "$STATE/munge" "$STATE/slurm/state"
  rm -rf "${STATE:?}/hosts"
  return 0
}

# load_mpi_facts BUILD: the MPI facts of PL_MPI_LAUNCHER_ENV, else of
# build/BUILD: MPI_LAUNCHER_FAMILY, MPI_LAUNCHER and its MPI_PREFLAGS.
load_mpi_facts() {
  local facts=${PL_MPI_LAUNCHER_ENV:-$ROOT/build/$1/mpi_launcher.env}
  [ -f "$facts" ] || { echo "cluster.sh: no $facts (configure that build, or set PL_MPI_LAUNCHER_ENV)" >&2; exit 1; }
  # shellcheck disable=SC1090
  source "$facts"
}

# The build's Open MPI launcher over the compute hosts, run from the login
# host, or Hydra with the options translated for an MPICH build.
cluster_mpirun() {
  load_mpi_facts release
  if [ "$MPI_LAUNCHER_FAMILY" = MPICH ]; then
    to_hydra "$@"
    hydra "${HYDRA_ARGS[@]}"
    return
  fi
  # The hostfile gives each host its slots: --oversubscribe, which runs on
  # one machine need, is left out, or Open MPI 5 places ranks beyond them.
  local preflags=" $MPI_PREFLAGS "
  preflags=${preflags// --oversubscribe / }
  # shellcheck disable=SC2086 # the preflags are several words
  enter "$LOGIN_HOST" "$PWD" "$MPI_LAUNCHER" $preflags --hostfile "$STATE/hostfile" \
    --mca plm_rsh_agent "$SELF rsh" \
    --mca btl tcp,self --mca btl_tcp_if_include "$SUBNET" --mca oob_tcp_if_include "$SUBNET" "$@"
}

# to_hydra ARGS...: sets HYDRA_ARGS to ARGS with Open MPI's options in Hydra's
# form: -x NAME=VALUE as the facts' MPI_ENV_FORM says (-genv NAME VALUE),
# --wdir -> -wdir, --map-by slot
# (Hydra fills each host's slots in turn by default) -> nothing, --map-by
# node -> -ppn 1.
to_hydra() {
  local word name value
  HYDRA_ARGS=()
  while [ $# -gt 0 ]; do
    case "$1" in
      -x) [ $# -ge 2 ] || usage_error "-x needs NAME=VALUE"
          name=${2%%=*} value=${2#*=}
          for word in $MPI_ENV_FORM; do
            word=${word//"{name}"/"$name"}
            HYDRA_ARGS+=("${word//"{value}"/"$value"}")
          done
          shift 2 ;;
      --wdir) HYDRA_ARGS+=(-wdir); shift ;;
      --map-by) [ $# -ge 2 ] || usage_error "--map-by needs slot or node"
                [ "$2" != node ] || HYDRA_ARGS+=(-ppn 1); shift 2 ;;
      *) HYDRA_ARGS+=("$1"); shift ;;
    esac
  done
}

# MPICH's launcher (Hydra) over the compute hosts, run from the login host.
cluster_mpiexec() {
  load_mpi_facts mpich
  hydra "$@"
}

hydra() {
  if [ "$MPI_LAUNCHER_FAMILY" != MPICH ]; then
    echo "cluster.sh: mpiexec runs MPICH's launcher; this build's is $MPI_LAUNCHER ($MPI_LAUNCHER_FAMILY)" >&2
    exit 2
  fi
  # shellcheck disable=SC2086 # the preflags are several words
  enter "$LOGIN_HOST" "$PWD" "$MPI_LAUNCHER" $MPI_PREFLAGS -f "$STATE/hostfile.hydra" -launcher rsh \
    -launcher-exec "$STATE/hydra-rsh" -iface pl-eth0 "$@"
}

case "${1:-}" in
  check | down) [ $# -eq 1 ] || usage_error "unexpected argument: $2"; "$1" ;;
  up) case "${2:-}" in
        "") [ $# -eq 1 ] || usage_error "unexpected argument: $2"; up ;;
        --watch-parent) [ $# -eq 2 ] || usage_error "unexpected argument: $3"; up "$PPID" ;;
        *) usage_error "unexpected argument: $2" ;;
      esac ;;
  watch) watch "$2" "${3:-}" ;;  # the watchdog's own process (start_watchdog)
  run) [ $# -ge 3 ] || { echo "usage: cluster.sh run HOST CMD..." >&2; exit 2; }
       host=$2; shift 2; [ "${1:-}" = -- ] && shift; enter "$host" "$PWD" "$@" ;;
  # Like ssh: one shell command line, started in the root folder.
  rsh) host=$2; shift 2; enter "$host" / sh -c "$*" ;;
  mpirun) shift; cluster_mpirun "$@" ;;
  mpiexec) shift; cluster_mpiexec "$@" ;;
  *) check_option "${1:-}"; usage_error "unknown command: ${1:-(none)}" ;;
esac
