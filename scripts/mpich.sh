#!/usr/bin/env bash
# Builds the MPI programs and their tests against MPICH (beside the default
# Open MPI) in build/mpich, runs the MPI tests there, then the MPI part of the
# demo with MPICH's launcher.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $BASE_PACKAGES $MPICH_PACKAGES
echo "== Building (MPICH, ${MPICH_BUILD:-build/mpich})"
DIR=${MPICH_BUILD:-build/mpich}
configure_mpich "$DIR"
# Only what `ctest -L mpi` runs: the MPI test suite pulls in the programs.
(cd "$ROOT" && cmake --build "$DIR" -j "$(nproc)" --target mpi_programs_test >/dev/null)
echo "== MPI tests with MPICH"
(cd "$ROOT" && ctest --test-dir "$DIR" -L mpi -j "$(nproc)" --output-on-failure)
bash "$ROOT/scripts/demo.sh" --mpi-only "$DIR"
