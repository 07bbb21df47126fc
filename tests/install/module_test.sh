#!/usr/bin/env bash
# Installs to a scratch prefix, then in a fresh shell with nothing of this
# session's environment loads the module with the module system installed
# (Environment Modules or Lmod; each one that is there), runs programs found
# through PATH, finds their manual pages through MANPATH (where man is
# installed) and checks that unloading takes it all away again.
# Usage: module_test.sh BUILD_DIR VERSION SCRATCH
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build=$1 version=$2 scratch=$3
systems=()
[ ! -f /usr/share/modules/init/bash ] || systems+=("Environment Modules:/usr/share/modules/init/bash")
[ ! -f /usr/share/lmod/lmod/init/bash ] || systems+=("Lmod:/usr/share/lmod/lmod/init/bash")
if [ ${#systems[@]} -eq 0 ]; then
  echo "skipped: no module system is installed (Debian package environment-modules or lmod)"
  exit 77
fi
fresh_dir "$scratch"

# The commands of a user's session, run by a login-less shell with an empty
# environment: only the module puts the programs on PATH and their pages on
# MANPATH. A system page (man's own) must stay found with the module loaded.
session=$(cat <<'SESSION'
set -eu
source "$MODULES_INIT"
module use "$PREFIX/share/modulefiles"
module load parallel-labs
echo "version: $(module -t list 2>&1 | grep '^parallel-labs')"
echo "bank: $(command -v bank)"
echo "examples: $PARALLEL_LABS_EXAMPLES"
if command -v man >/dev/null; then
  echo "man bank: $(man -w bank)"
  echo "man man: $(man -w man >/dev/null && echo found)"
fi
"$MPI_LAUNCHER" "$MPI_NUMPROC_FLAG" 2 $MPI_PREFLAGS vector_max "$PARALLEL_LABS_EXAMPLES/mpi/vector.txt"
product_timer 1 50 50
module unload parallel-labs
echo "after unload: $(command -v bank || echo none) ${PARALLEL_LABS_EXAMPLES:-unset}"
case ":${MANPATH:-}:" in *"$PREFIX"*) echo "MANPATH after unload: $MANPATH" ;; *) echo "MANPATH after unload: clean" ;; esac
SESSION
)
for system in "${systems[@]}"; do
  name=${system%%:*} init=${system#*:}
  # Lmod cannot read a module file whose path has a blank in it (8.6 at
  # least; docs/install.md says so); Environment Modules gets one.
  case "$name" in
    Lmod) prefix="$scratch/lmod/labs-prefix" ;;
    *) prefix="$scratch/modules/labs prefix" ;;
  esac
  mkdir -p "$(dirname "$prefix")/work"
  cmake --install "$build" --prefix "$prefix" >"$(dirname "$prefix")/install.log" ||
    fail "install failed: $(cat "$(dirname "$prefix")/install.log")"
  out=$(cd "$(dirname "$prefix")/work" && env -i HOME="$(dirname "$prefix")/work" PATH=/usr/bin:/bin \
          MODULES_INIT="$init" PREFIX="$prefix" \
          MPI_LAUNCHER="${MPI_LAUNCHER:-}" MPI_NUMPROC_FLAG="${MPI_NUMPROC_FLAG:-}" \
          MPI_PREFLAGS="${MPI_PREFLAGS:-}" \
          bash --noprofile --norc -c "$session" 2>&1) || fail "$name: the session failed:
$out"
  expect_line "version: parallel-labs/$version" "$out" "$name: module list"
  expect_line "bank: $prefix/bin/bank" "$out" "$name: PATH after module load"
  expect_line "examples: $prefix/share/doc/parallel-labs/examples" "$out" "$name: PARALLEL_LABS_EXAMPLES"
  expect_line "The max value in $prefix/share/doc/parallel-labs/examples/mpi/vector.txt is 71" "$out" "$name: vector_max"
  expect_line "Elapsed time of multiplication part only = " "$out" "$name: product_timer"
  expect_line "after unload: none unset" "$out" "$name: module unload"
  expect_line "MANPATH after unload: clean" "$out" "$name: MANPATH after module unload"
  man_note="man not installed: MANPATH not checked"
  if command -v man >/dev/null; then
    expect_line "man bank: $prefix/share/man/man1/bank.1.gz" "$out" "$name: man -w bank after module load"
    expect_line "man man: found" "$out" "$name: the system's manual pages with the module loaded"
    man_note="man found bank(1)"
  fi
  echo "$name: module parallel-labs/$version loaded from $prefix/share/modulefiles; vector_max and product_timer ran; $man_note"
done
