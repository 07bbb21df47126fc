#!/usr/bin/env bash
# No configure mixes an MPI library with another MPI's launcher: it takes the
# library's own launcher from beside its compiler wrapper, or stops naming
# both. Needs Debian's Open MPI (the plain mpicxx/mpiexec) and MPICH
# (mpicxx.mpich, mpiexec.mpich); exits 77 (skipped) when one is missing.
# Which MPI a configure found is read from the facts it wrote
# (mpi_launcher.env, cmake/mpi_family.cmake).
# Usage: configure_test.sh SOURCE_DIR SCRATCH_DIR
set -uo pipefail
source_dir=$1 scratch=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in /usr/bin/mpicxx.mpich /usr/bin/mpiexec.mpich; do
  [ -x "$tool" ] || { echo "skipped: $tool is missing (MPICH not installed)"; exit 77; }
done
rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
# configure NAME ARGS...: a configure of the project without tests and
# benchmarks (fast) in scratch/NAME; its output in scratch/NAME.log.
configure() {
  local name=$1
  shift
  cmake -S "$source_dir" -B "$scratch/$name" -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF "$@" \
    >"$scratch/$name.log" 2>&1
}
# fact NAME KEY: the value of KEY in the facts of configure NAME.
# shellcheck disable=SC1090
fact() { (source "$scratch/$1/mpi_launcher.env" && printf '%s\n' "${!2}"); }
launcher_of() { fact "$1" MPI_LAUNCHER; }

# Open MPI's library with Hydra named: Open MPI's mpiexec beside mpicxx.
# Debian's plain mpicxx and mpiexec are of one MPI, so when that one is not
# Open MPI there is nothing to check.
configure openmpi -DMPIEXEC_EXECUTABLE=/usr/bin/mpiexec.mpich || fail "configure failed: $(tail "$scratch/openmpi.log")"
[ "$(fact openmpi MPI_FAMILY)" = "Open MPI" ] || { echo "skipped: the plain mpicxx is not Open MPI's"; exit 77; }
launcher=$(launcher_of openmpi)
if [ "$(fact openmpi MPI_LAUNCHER_FAMILY)" != "Open MPI" ] || [ "$launcher" = /usr/bin/mpiexec.mpich ]; then
  fail "Open MPI build uses $launcher"
fi
# Its launcher's flags: more ranks than cores, no IPv6 transport, -x NAME=VALUE.
[[ " $(fact openmpi MPI_PREFLAGS) " == *" --oversubscribe --mca btl_tcp_disable_family 6 "* ]] ||
  fail "Open MPI preflags: $(fact openmpi MPI_PREFLAGS)"
[ "$(fact openmpi MPI_ENV_FORM)" = "-x {name}={value}" ] || fail "Open MPI environment: $(fact openmpi MPI_ENV_FORM)"

# MPICH's wrapper alone: Debian's plain mpiexec is Open MPI's, so the launcher
# is swapped for mpiexec.mpich, and configure says so.
configure mpich -DMPI_CXX_COMPILER=/usr/bin/mpicxx.mpich || fail "configure failed: $(tail "$scratch/mpich.log")"
[ "$(launcher_of mpich)" = /usr/bin/mpiexec.mpich ] || fail "MPICH build uses $(launcher_of mpich)"
grep -q -- '-- MPI library: MPICH' "$scratch/mpich.log" || fail "no library line: $(cat "$scratch/mpich.log")"
grep -q -- '-- MPI launcher: /usr/bin/mpiexec.mpich (MPICH)' "$scratch/mpich.log" || fail "no launcher line"
# Hydra takes none of Open MPI's flags, and -genv NAME VALUE.
if [ "$(fact mpich MPI_FAMILY)" != MPICH ] || [ -n "$(fact mpich MPI_PREFLAGS)" ] ||
   [ "$(fact mpich MPI_ENV_FORM)" != "-genv {name} {value}" ]; then
  fail "MPICH facts: $(cat "$scratch/mpich/mpi_launcher.env")"
fi

# A wrapper with no launcher beside it (as in a prefix that holds none) and
# the other family's launcher: configure stops, naming both.
mkdir -p "$scratch/lone"
ln -s /usr/bin/mpicxx.mpich "$scratch/lone/mpicxx"
if configure lone -DMPI_CXX_COMPILER="$scratch/lone/mpicxx" -DMPIEXEC_EXECUTABLE=/usr/bin/mpirun.openmpi; then
  fail "a mixed configure succeeded"
fi
log=$(tr -s ' \n' ' ' <"$scratch/lone.log")
for text in "belong to different MPIs" "$scratch/lone/mpicxx): MPICH" "/usr/bin/mpirun.openmpi): Open MPI" \
            "MPI_CXX_COMPILER" "MPIEXEC_EXECUTABLE"; do
  grep -qF -- "$text" <<<"$log" || fail "the message names no '$text': $log"
done
echo "mixed configures: launcher swapped both ways, a lone wrapper refused"
