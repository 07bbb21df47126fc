#!/usr/bin/env bash
# Builds everything with GCC 11 and with Clang and LLVM's OpenMP runtime
# (libomp), each with -Wall -Wextra, and runs the tests on each build except
# the cluster label (the emulated cluster checks launching across hosts, which
# the default build's run in scripts/test.sh covers). The install tests run on
# each build: its programs installed, packaged and removed again.
# Builds land in build/gcc11 and build/clang.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $BASE_PACKAGES $COMPILER_PACKAGES valgrind $INSTALL_TEST_PACKAGES
cd "$ROOT"
for preset in gcc11 clang; do
  # Every compiler warning fails the run: the code must build clean with each.
  echo "== Building ($preset)"
  cmake --preset "$preset" >/dev/null
  log="build/$preset/build.log"
  cmake --build --preset "$preset" -j "$(nproc)" >"$log" 2>&1 || { cat "$log"; exit 1; }
  if grep -n 'warning:' "$log"; then
    echo "the $preset build printed warnings (above)" >&2
    exit 1
  fi
  echo "== Tests ($preset)"
  ctest --preset "$preset" -j "$(nproc)"
done
