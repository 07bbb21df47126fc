#!/usr/bin/env bash
# Runs the test suite under the sanitizers: everything under AddressSanitizer
# + UndefinedBehaviorSanitizer, the OpenMP programs under ThreadSanitizer.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $BASE_PACKAGES $CHECK_PACKAGES
cd "$ROOT"
for preset in asan tsan; do
  build_preset "$preset"
  echo "== Tests under $preset"
  ctest --preset "$preset" -j "$(nproc)"
done
