#!/usr/bin/env bash
# Builds the MPI programs and their tests against MPICH (beside the default
# Open MPI), runs the MPI tests there (and the cluster tests as root), the MPI
# tests again under the sanitizers, then the MPI part of the demo with MPICH's
# launcher.
#
# usage: scripts/mpich.sh [-h]
#   Builds in build/mpich and build/mpich-asan (or $MPICH_BUILD and
#   $MPICH_BUILD-asan); as root, installs MPICH first.
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"

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
run_tests "$DIR" -L "$labels"

# The MPI tests once more under AddressSanitizer + UndefinedBehaviorSanitizer
# (the asan build's settings and options), the ranks' environment passed the
# Hydra way (-genv).
echo "== MPI tests with MPICH under asan (${DIR}-asan)"
(cd "$ROOT" && cmake -C cmake/builds/asan.cmake -S . -B "$DIR-asan" -DMPI_CXX_COMPILER=/usr/bin/mpicxx.mpich \
   -DMPIEXEC_EXECUTABLE=/usr/bin/mpiexec.mpich >/dev/null &&
 cmake --build "$DIR-asan" -j "$(nproc)" --target mpi_programs_test >/dev/null)
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests "$DIR-asan" -L mpi

bash "$ROOT/scripts/demo.sh" --mpi-only "$DIR"
