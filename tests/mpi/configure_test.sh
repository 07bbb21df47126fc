#!/usr/bin/env bash
# No configure mixes an MPI library with another MPI's launcher: it takes the
# library's own launcher from beside its compiler wrapper, or stops naming
# both. Needs Debian's Open MPI (the plain mpicxx/mpiexec) and MPICH
# (mpicxx.mpich, mpiexec.mpich); exits 77 (skipped) when one is missing.
# Usage: configure_test.sh SOURCE_DIR SCRATCH_DIR
set -uo pipefail
source_dir=$1 scratch=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in /usr/bin/mpicxx.mpich /usr/bin/mpiexec.mpich; do
  [ -x "$tool" ] || { echo "skipped: $tool is missing (MPICH not installed)"; exit 77; }
done
mpiexec --version 2>/dev/null | grep -qE '\((Open MPI|OpenRTE)\)' ||
  { echo "skipped: the plain mpiexec is not Open MPI's"; exit 77; }

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
# configure NAME ARGS...: a configure of the project without tests and
# benchmarks (fast) in scratch/NAME; its output in scratch/NAME.log.
configure() {
  local name=$1
  shift
  cmake -S "$source_dir" -B "$scratch/$name" -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF "$@" \
    >"$scratch/$name.log" 2>&1
}
launcher_of() { sed -n 's/^MPIEXEC_EXECUTABLE:[A-Z]*=//p' "$scratch/$1/CMakeCache.txt"; }

# MPICH's wrapper alone: Debian's plain mpiexec is Open MPI's, so the launcher
# is swapped for mpiexec.mpich, and configure says so.
configure mpich -DMPI_CXX_COMPILER=/usr/bin/mpicxx.mpich || fail "configure failed: $(tail "$scratch/mpich.log")"
[ "$(launcher_of mpich)" = /usr/bin/mpiexec.mpich ] || fail "MPICH build uses $(launcher_of mpich)"
grep -q -- '-- MPI library: MPICH' "$scratch/mpich.log" || fail "no library line: $(cat "$scratch/mpich.log")"
grep -q -- '-- MPI launcher: /usr/bin/mpiexec.mpich (MPICH)' "$scratch/mpich.log" || fail "no launcher line"

# Open MPI's library with Hydra named: Open MPI's mpiexec beside mpicxx.
configure openmpi -DMPIEXEC_EXECUTABLE=/usr/bin/mpiexec.mpich || fail "configure failed: $(tail "$scratch/openmpi.log")"
launcher=$(launcher_of openmpi)
"$launcher" --version 2>/dev/null | grep -qE '\((Open MPI|OpenRTE)\)' || fail "Open MPI build uses $launcher"

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
