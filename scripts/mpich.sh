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
# Only what the MPI tests run: the MPI test suite pulls in the programs. As
# root also the emulated cluster's tests (Hydra over the hosts, srun
# --mpi=pmi2), with the cluster's packages.
targets=(mpi_programs_test) labels=mpi
if [ "$(id -u)" -eq 0 ]; then
  ensure_daemon_packages $CLUSTER_PACKAGES
  targets+=(cluster_test) labels='mpi|cluster'
fi
(cd "$ROOT" && cmake --build "$DIR" -j "$(nproc)" --target "${targets[@]}" >/dev/null)
echo "== MPI tests with MPICH ($labels)"
(cd "$ROOT" && ctest --test-dir "$DIR" -L "$labels" -j "$(nproc)" --output-on-failure)
bash "$ROOT/scripts/demo.sh" --mpi-only "$DIR"
