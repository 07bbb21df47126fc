#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $BASE_PACKAGES valgrind
build_preset release
cd "$ROOT"
ctest --preset release -j "$(nproc)"
