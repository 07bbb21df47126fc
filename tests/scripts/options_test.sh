#!/usr/bin/env bash
# race_demo.sh and scaling.sh refuse bad option values with their usage
# before they build or run anything (race_demo.sh with status 2, scaling.sh
# with 1, as they always did). Stand-ins for cmake, gnuplot and the package
# tools record any call; none may be recorded.
# usage: options_test.sh SCRIPTS_DIR SCRATCH_DIR
set -u
src=$1 scratch=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

source "$(dirname "${BASH_SOURCE[0]}")/stand_ins.sh"
set_up_copy "$src" "$scratch" apt-get dpkg-query cmake gnuplot clang++

# refused STATUS SCRIPT ARGS...: the script exits with STATUS, its usage on
# stderr, nothing on stdout.
refused() {
  local expected=$1 script=$2 rc
  shift 2
  (cd "$scratch/work" && PATH="$scratch/bin:$PATH" \
     bash "$scratch/repo/scripts/$script" "$@" >"$scratch/out" 2>"$scratch/err")
  rc=$?
  [ "$rc" -eq "$expected" ] || fail "$script $*: status $rc, not $expected"
  grep -q "^usage: scripts/$script" "$scratch/err" || fail "$script $*: no usage on stderr"
  [ ! -s "$scratch/out" ] || fail "$script $*: wrote on stdout: $(head -n 2 "$scratch/out")"
}

refused 2 race_demo.sh -t 0
refused 2 race_demo.sh -t 65
refused 2 race_demo.sh -d 1x
refused 2 race_demo.sh -r -1
refused 2 race_demo.sh -r
refused 2 race_demo.sh -t 2 extra
refused 1 scaling.sh -t 0
refused 1 scaling.sh -r x
refused 1 scaling.sh -s "100 -5"
refused 1 scaling.sh -s " "

[ ! -e "$scratch/calls" ] || fail "commands ran: $(head -n 5 "$scratch/calls")"
[ -z "$(ls -A "$scratch/work")" ] || fail "made in the working folder: $(ls -A "$scratch/work")"
[ $status -ne 0 ] || echo "bad values refused with the usage, nothing built or run"
exit $status
