#!/usr/bin/env bash
# An interrupted test run leaves nothing of the emulated cluster behind. A
# small CTest project in the scratch folder has the cluster tests' fixture
# (cluster.sh up --watch-parent, cluster.sh down) and one test that holds the
# cluster up. Each way of interrupting a run is tried once the cluster is up:
#   Ctrl-C   SIGINT to the process group of a shell in run_tests (lib.sh)
#   SIGTERM  to that shell alone
#   SIGPIPE  the reader of its output gone
#   SIGKILL  to ctest itself: the fixture's watchdog takes the cluster down
# after each, no host namespace, keeper, daemon or watchdog may be left, and
# at the end a whole run passes again and leaves nothing either.
# usage: interrupt_test.sh CLUSTER_SH SCRATCH_DIR   (status 77: no cluster here)
set -u
cluster_sh=$1 scratch=$2
lib=$(dirname "$cluster_sh")/lib.sh
"$cluster_sh" check || exit 77
rm -rf "$scratch"
mkdir -p "$scratch"
state=$scratch/cluster
namespaces=""
status=0
fail() { echo "FAIL: $*"; status=1; }

# The holding test: says it runs (its PID), then waits for "release" or for
# its ctest to end.
cat >"$scratch/hold.sh" <<'HOLD'
echo $$ >"$1/holding"
while [ ! -e "$1/release" ] && kill -0 "$PPID" 2>/dev/null; do sleep 0.2; done
HOLD
cat >"$scratch/CTestTestfile.cmake" <<TESTS
add_test(cluster_up "$cluster_sh" "up" "--watch-parent")
add_test(hold "sh" "$scratch/hold.sh" "$scratch")
add_test(cluster_down "$cluster_sh" "down")
set_tests_properties(cluster_up PROPERTIES FIXTURES_SETUP pl ENVIRONMENT "PL_CLUSTER_DIR=$state")
set_tests_properties(cluster_down PROPERTIES FIXTURES_CLEANUP pl ENVIRONMENT "PL_CLUSTER_DIR=$state")
set_tests_properties(hold PROPERTIES FIXTURES_REQUIRED pl)
TESTS

# wait_gone SECONDS PID: whether PID ends within SECONDS.
wait_gone() {
  local tries=$(($1 * 5))
  while kill -0 "$2" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.2
  done
}

# held RUN: waits until the cluster is up and held (RUN, the run's PID, still
# going), then records every process of the cluster in $pids and its
# namespaces in $namespaces.
held() {
  local tries=600 ns
  while [ ! -s "$scratch/holding" ]; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ] || ! kill -0 "$1" 2>/dev/null; then
      fail "$what: the cluster did not come up: $(tail -n 5 "$scratch/out")"
      touch "$scratch/release"  # the run ends, its fixture takes the cluster down
      return 1
    fi
    sleep 0.2
  done
  pids="$(cat "$scratch/holding" "$state"/run/*.pid "$state"/run/*.keeper)"
  # The hosts' namespaces, named in the cluster's /etc/hosts, and the switch's.
  namespaces="$(awk '$2 != "localhost" {print $2}' "$state/etc/hosts") pl-switch"
  for ns in $namespaces; do pids+=" $(ip netns pids "$ns")"; done
  [ -s "$state/run/watchdog.pid" ] || fail "$what: no watchdog"
}

# clean: nothing of the cluster or the run is left.
clean() {
  local pid left=""
  for ns in $namespaces; do [ ! -e "/run/netns/$ns" ] || fail "$what: namespace $ns left"; done
  grep -q ' /run/netns/pl-' /proc/self/mountinfo && fail "$what: namespace mounts left"
  for pid in $pids; do
    wait_gone 5 "$pid" || left+=" $pid($(cat "/proc/$pid/comm"))"
  done
  [ -z "$left" ] || fail "$what: processes left:$left"
  [ ! -e "$state/run/cluster.up" ] || fail "$what: the state folder says the cluster is up"
}

# interrupt SIGNAL STATUS: a run through run_tests, its group sent SIGNAL
# (INT, as Ctrl-C does) or its shell alone (TERM); the run must end with
# STATUS and say so. SIGINT is not ignored in it, as in a shell in a terminal.
interrupt() {
  what="SIG$1" pids=""
  rm -f "$scratch/holding" "$scratch/release"
  setsid env --default-signal=INT bash -c 'source "$1"; run_tests "$2"' run "$lib" "$scratch" \
    >"$scratch/out" 2>&1 &
  local run=$! rc=0
  if held "$run"; then
    if [ "$1" = INT ]; then kill -INT -- "-$run"; else kill "-$1" "$run"; fi
    wait_gone 60 "$run" || fail "$what: the run did not end"
  fi
  wait "$run" || rc=$?
  [ "$rc" -eq "$2" ] || fail "$what: status $rc, not $2"
  grep -q '^== Tests interrupted' "$scratch/out" || fail "$what: the run did not say it was interrupted"
  clean
}

interrupt INT 130
interrupt TERM 143

# SIGPIPE: the reader goes once the cluster is up; ctest's next line (the
# holding test's result) ends it.
what=SIGPIPE pids=""
rm -f "$scratch/holding" "$scratch/release"
mkfifo "$scratch/fifo"
sh -c 'while [ ! -s "$1/holding" ]; do sleep 0.2; done' reader "$scratch" <"$scratch/fifo" &
reader=$!
bash -c 'source "$1"; run_tests "$2"' run "$lib" "$scratch" >"$scratch/fifo" 2>"$scratch/out" &
run=$!
if held "$run"; then
  wait "$reader"
  touch "$scratch/release"
  wait_gone 60 "$run" || fail "$what: the run did not end"
fi
rc=0
wait "$run" || rc=$?
[ "$rc" -eq 141 ] || fail "$what: status $rc, not 141"
grep -q "^== Tests interrupted (ctest's SIGPIPE)" "$scratch/out" || fail "$what: the run did not say why it ended"
clean

# SIGKILL to ctest: no trap runs; the watchdog of "up --watch-parent" must
# notice and take the cluster down within a few seconds.
what=SIGKILL pids=""
rm -f "$scratch/holding" "$scratch/release"
(cd "$scratch" && exec ctest) >"$scratch/out" 2>&1 &
run=$!
disown "$run"  # no "Killed" line from this shell
if held "$run"; then
  kill -KILL "$run"
  start=$SECONDS
  tries=100
  while [ -e "$state/run/cluster.up" ] && [ "$tries" -gt 0 ]; do sleep 0.2; tries=$((tries - 1)); done
  echo "SIGKILL to ctest: cluster down after $((SECONDS - start)) s"
  grep -q 'taking it down' "$state/log/watchdog.out" || fail "$what: the watchdog did not take the cluster down"
fi
clean

# A whole run after these: the fixture brings the cluster up and down, and
# stops the watchdog.
what="a whole run" pids=""
rm -f "$scratch/holding" "$scratch/release"
bash -c 'source "$1"; run_tests "$2"' run "$lib" "$scratch" >"$scratch/out" 2>&1 &
run=$!
held "$run" && touch "$scratch/release"
wait "$run" || fail "$what failed: $(tail -n 5 "$scratch/out")"
clean

[ $status -ne 0 ] || echo "SIGINT, SIGTERM, SIGPIPE and SIGKILL to ctest: nothing of the cluster left"
exit $status
