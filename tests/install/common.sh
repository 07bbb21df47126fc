# Sourced by the install tests: failure reporting, a fresh scratch folder, the
# MPI launcher as the build was configured, and one run of every program.
set -euo pipefail

PROGRAMS="bank greetings product_timer sum_of_ranks vector_max"

# The lock that keeps package tests apart, machine-wide (other build trees too).
PACKAGE_LOCK=$([ -d /run/lock ] && echo /run/lock || echo /tmp)/parallel-labs-package-test.lock

# dpkg_waiting ARGS...: dpkg ARGS, tried again for up to two minutes while
# another program (an apt-get run, say) holds dpkg's lock.
dpkg_waiting() {
  local tries=60 out status
  while :; do
    status=0
    out=$(dpkg "$@" 2>&1) || status=$?
    if [ "$status" -eq 0 ] || ! grep -qi 'lock' <<<"$out" || [ $((--tries)) -eq 0 ]; then
      printf '%s\n' "$out"
      return "$status"
    fi
    sleep 2
  done
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# fresh_dir DIR: DIR, empty.
fresh_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# The MPI facts that configure found (MPI_FAMILY, MPI_LAUNCHER,
# MPI_NUMPROC_FLAG, MPI_PREFLAGS), from the file CTest names.
# shellcheck disable=SC1090
[ -z "${TEST_MPI_LAUNCHER_ENV:-}" ] || [ ! -f "$TEST_MPI_LAUNCHER_ENV" ] || source "$TEST_MPI_LAUNCHER_ENV"

# mpi NP PROGRAM ARGS...: runs PROGRAM on NP ranks through the build's launcher.
mpi() {
  local np=$1
  shift
  # shellcheck disable=SC2086 # the preflags are several words
  "$MPI_LAUNCHER" "$MPI_NUMPROC_FLAG" "$np" $MPI_PREFLAGS "$@"
}

# expect_line TEXT OUTPUT WHAT: fails unless OUTPUT holds TEXT (fixed string).
expect_line() {
  grep -qF -- "$1" <<<"$2" || fail "$3: no \"$1\" in its output:
$2"
}

# run_every_program BIN EXAMPLES WORK: runs each of the five programs as
# found in BIN, in the fresh folder WORK, on the examples in EXAMPLES, and
# checks its result and the log files it writes there.
run_every_program() {
  local bin=$1 examples=$2 work=$3 out
  fresh_dir "$work"
  cd "$work"

  out=$("$bin/bank" 3 "$examples/bank/alice.txt" "$examples/bank/bob.txt" "$examples/bank/carol.txt") ||
    fail "bank exited with status $?"
  [ "$(grep -c 'balance after completion of transaction batch' <<<"$out")" -eq 16 ] ||
    fail "bank: no final report of 16 accounts:
$out"
  for log in p0.log p1.log p2.log; do
    [ -s "$log" ] || fail "bank wrote no $log in the working folder"
  done

  out=$(mpi 4 "$bin/vector_max" "$examples/mpi/vector.txt") || fail "vector_max exited with status $?"
  expect_line "The max value in $examples/mpi/vector.txt is 71" "$out" vector_max
  [ -s vector_max_p0.log ] || fail "vector_max wrote no vector_max_p0.log"

  out=$(mpi 3 "$bin/greetings") || fail "greetings exited with status $?"
  expect_line "Greetings from process 2 of 3!" "$out" greetings
  [ -s greetings_p2.log ] || fail "greetings wrote no greetings_p2.log"

  out=$(mpi 4 "$bin/sum_of_ranks") || fail "sum_of_ranks exited with status $?"
  expect_line "the rank sum is: 6" "$out" sum_of_ranks
  [ -s sum_of_ranks0.log ] || fail "sum_of_ranks wrote no sum_of_ranks0.log"

  out=$("$bin/product_timer" 2 300 200) || fail "product_timer exited with status $?"
  expect_line "Elapsed time of multiplication part only = " "$out" product_timer
  cd - >/dev/null
}
