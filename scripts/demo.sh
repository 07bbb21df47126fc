#!/usr/bin/env bash
# Builds the programs and runs each of them on the bundled examples in a
# scratch folder, so the checkout stays clean.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $BASE_PACKAGES
build_preset release
BIN="$ROOT/build/release"
EX="$ROOT/examples"
DEMO=$(mktemp -d "${TMPDIR:-/tmp}/parallel-labs-demo.XXXXXX")
cd "$DEMO"

show() { echo; echo "\$ $*"; "$@"; }
MPIRUN=(mpirun --oversubscribe)
[ "$(id -u)" -eq 0 ] && MPIRUN+=(--allow-run-as-root)

echo "== bank"
# @demo-bank@

echo
echo "== MPI programs"
# @demo-mpi@

echo
echo "== product_timer"
PT="$BIN/product_timer/product_timer"
show "$PT" 1 4000 4000
show "$PT" 2 4000 4000
show "$PT" 2 4000 0 || true

echo
echo "== Log files written by the programs are in $DEMO:"
ls -l "$DEMO"
