#!/usr/bin/env bash
# Every script in scripts/ (but lib.sh, which they source) answers -h and
# --help with its usage on stdout, and refuses an unknown option with its
# usage on stderr, before it does anything. The scripts run from a copy of
# scripts/, with stand-ins for the commands that install, build, test or make
# namespaces first on the PATH, each recording that it ran: no call may be
# recorded, and nothing may appear beside the copy or in the working folder.
# usage: help_test.sh SCRIPTS_DIR SCRATCH_DIR
set -u
src=$1 scratch=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

source "$(dirname "${BASH_SOURCE[0]}")/stand_ins.sh"
set_up_copy "$src" "$scratch" apt-get apt-cache dpkg dpkg-query dpkg-deb debootstrap cmake ctest cpack make \
  gcc g++ clang ip unshare nsenter setsid mount chroot mpirun mpiexec.mpich gnuplot podman

# run SCRIPT ARG: the script's status; its output in $scratch/out and err.
run() {
  (cd "$scratch/work" && PATH="$scratch/bin:$PATH" TMPDIR="$scratch/work" \
     bash "$scratch/repo/scripts/$1" "$2" >"$scratch/out" 2>"$scratch/err")
}

count=0
for path in "$scratch"/repo/scripts/*.sh; do
  name=$(basename "$path")
  [ "$name" != lib.sh ] || continue
  count=$((count + 1))
  for opt in -h --help; do
    run "$name" "$opt"
    rc=$?
    [ "$rc" -eq 0 ] || fail "$name $opt: status $rc"
    head -n 1 "$scratch/out" | grep -Eq "^usage: scripts/$name( |$)" ||
      fail "$name $opt: stdout does not start with its usage line: $(head -n 1 "$scratch/out")"
    [ ! -s "$scratch/err" ] || fail "$name $opt: wrote on stderr: $(head -n 2 "$scratch/err")"
  done
  # scaling.sh and cross_aarch64.sh refuse with status 1, as they always did.
  expected=2
  case $name in scaling.sh | cross_aarch64.sh) expected=1 ;; esac
  run "$name" --no-such-option
  rc=$?
  [ "$rc" -eq "$expected" ] || fail "$name --no-such-option: status $rc, not $expected"
  grep -Eq "^usage: scripts/$name( |$)" "$scratch/err" || fail "$name --no-such-option: no usage on stderr"
  [ ! -s "$scratch/out" ] || fail "$name --no-such-option: wrote on stdout: $(head -n 2 "$scratch/out")"
done

[ "$count" -ge 11 ] || fail "only $count scripts found in $src"
[ ! -e "$scratch/calls" ] || fail "commands ran: $(head -n 5 "$scratch/calls")"
[ "$(ls -A "$scratch/repo")" = scripts ] || fail "made in the copy: $(ls -A "$scratch/repo")"
[ -z "$(ls -A "$scratch/work")" ] || fail "made in the working folder: $(ls -A "$scratch/work")"
[ $status -ne 0 ] || echo "$count scripts: usage on -h and --help, unknown option refused, nothing done"
exit $status
