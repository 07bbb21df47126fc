#!/usr/bin/env bash
# Builds the programs and runs each of them on the bundled examples in a
# scratch folder, so the checkout stays clean.
#
# usage: scripts/demo.sh [-h] [--mpi-only DIR]
#   Without options: every program, Open MPI build (build/release).
#   --mpi-only DIR  the MPI programs of the build in DIR with its own launcher
#                   (e.g. build/mpich, MPICH)
#   -h, --help      print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

MPI_ONLY=no
BIN="$ROOT/build/release"
while [ $# -gt 0 ]; do
  case $1 in
    --mpi-only)
      [ $# -ge 2 ] || usage_error "--mpi-only needs a build folder"
      MPI_ONLY=yes BIN=$2
      shift 2 ;;
    *) check_option "$1"; usage_error "unexpected argument: $1" ;;
  esac
done
[ "$MPI_ONLY" = no ] || BIN=$(cd "$ROOT" && cd "$BIN" && pwd)

ensure_packages $BASE_PACKAGES
if [ "$MPI_ONLY" = yes ]; then
  echo "== Building the MPI programs ($BIN)"
  mpi_launcher "$BIN"
  # shellcheck disable=SC2086 # the program list is several words
  cmake --build "$BIN" -j "$(nproc)" --target $MPI_PROGRAMS >/dev/null
else
  build_named release
fi
EX="$ROOT/examples"
DEMO=$(mktemp -d "${TMPDIR:-/tmp}/parallel-labs-demo.XXXXXX")
cd "$DEMO"

show() { echo; echo "\$ $*"; "$@"; }
# refused WHY CMD...: a run that fails on purpose, labelled, with its status.
refused() {
    local why=$1 status=0
    shift
    echo; echo "# refused on purpose: $why"; echo "\$ $*"
    "$@" || status=$?
    echo "(exit status $status)"
}
mpi_launcher "$BIN"

if [ "$MPI_ONLY" = no ]; then
echo "== bank"
# Three users (one thread each) on the 16 shared accounts, the log file of
# user 0, then a count with too few file names (refused on purpose).
cp "$EX"/bank/*.txt .
show "$BIN/src/bank" 3 alice.txt bob.txt carol.txt
show cat p0.log
refused "a count of 4 with only three file names" "$BIN/src/bank" 4 alice.txt bob.txt carol.txt
echo
fi

echo "== MPI programs ($("${MPIRUN[0]}" --version 2>&1 | head -n 2 | tr -s ' \n' ' '))"
show cat "$EX/mpi/vector.txt"
show "${MPIRUN[@]}" -np 4 "$BIN/mpi/vector_max" "$EX/mpi/vector.txt"
show "${MPIRUN[@]}" -np 4 "$BIN/mpi/greetings"
show "${MPIRUN[@]}" -np 4 "$BIN/mpi/sum_of_ranks"
# The launcher of the other MPI family, when installed: every process stops
# with one line instead of running as a one-process world.
# shellcheck disable=SC2206 # the launcher's words (mpi_launcher read them)
other=($MPI_OTHER_LAUNCHER)
[ ${#other[@]} -eq 0 ] ||
  refused "the launcher of the other MPI family" "${other[@]}" -np 2 "$BIN/mpi/greetings"
echo
show head vector_max_p0.log greetings_p*.log sum_of_ranks0.log

if [ "$MPI_ONLY" = no ]; then
echo
echo "== product_timer"
PT="$BIN/product_timer/product_timer"
show "$PT" 1 4000 4000
show "$PT" 2 4000 4000
refused "a column count of 0" "$PT" 2 4000 0
fi

echo
echo "== Log files written by the programs are in $DEMO:"
ls -l "$DEMO"
