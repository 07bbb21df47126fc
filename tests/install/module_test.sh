#!/usr/bin/env bash
# Installs to a scratch prefix, then in a fresh shell with nothing of this
# session's environment loads the module with Environment Modules and runs
# programs found through PATH; unloading takes them away again.
# Usage: module_test.sh BUILD_DIR VERSION SCRATCH
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=$1 version=$2 scratch=$3
init=/usr/share/modules/init/bash
if [ ! -f "$init" ]; then
  echo "skipped: Environment Modules is not installed (Debian package environment-modules)"
  exit 77
fi
fresh_dir "$scratch"
prefix="$scratch/labs prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
  fail "install failed: $(cat "$scratch/install.log")"
mkdir "$scratch/work"

# The commands of a user's session, run by a login-less shell with an empty
# environment: only the module puts the programs on PATH.
session=$(cat <<'SESSION'
set -eu
source "$MODULES_INIT"
module use "$PREFIX/share/modulefiles"
module load parallel-labs
echo "version: $(module -t list 2>&1 | grep '^parallel-labs')"
echo "bank: $(command -v bank)"
echo "examples: $PARALLEL_LABS_EXAMPLES"
"$TEST_MPIEXEC" "$TEST_MPIEXEC_NUMPROC_FLAG" 2 $TEST_MPIEXEC_PREFLAGS vector_max "$PARALLEL_LABS_EXAMPLES/mpi/vector.txt"
product_timer 1 50 50
module unload parallel-labs
echo "after unload: $(command -v bank || echo none) ${PARALLEL_LABS_EXAMPLES:-unset}"
SESSION
)
out=$(cd "$scratch/work" && env -i HOME="$scratch/work" PATH=/usr/bin:/bin MODULES_INIT="$init" PREFIX="$prefix" \
        TEST_MPIEXEC="$TEST_MPIEXEC" TEST_MPIEXEC_NUMPROC_FLAG="$TEST_MPIEXEC_NUMPROC_FLAG" \
        TEST_MPIEXEC_PREFLAGS="$TEST_MPIEXEC_PREFLAGS" \
        bash --noprofile --norc -c "$session" 2>&1) || fail "the session failed:
$out"
expect_line "version: parallel-labs/$version" "$out" "module list"
expect_line "bank: $prefix/bin/bank" "$out" "PATH after module load"
expect_line "examples: $prefix/share/doc/parallel-labs/examples" "$out" "PARALLEL_LABS_EXAMPLES"
expect_line "The max value in $prefix/share/doc/parallel-labs/examples/mpi/vector.txt is 71" "$out" vector_max
expect_line "Elapsed time of multiplication part only = " "$out" product_timer
expect_line "after unload: none unset" "$out" "module unload"
echo "module parallel-labs/$version loaded from $prefix/share/modulefiles; vector_max and product_timer ran"
