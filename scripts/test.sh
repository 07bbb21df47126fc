#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# valgrind for the memory checks, Google Benchmark and OpenBLAS for the
# benchmark's smoke test.
ensure_packages $BASE_PACKAGES valgrind libbenchmark-dev libopenblas-dev
build_preset release
cd "$ROOT"
ctest --preset release -j "$(nproc)"
