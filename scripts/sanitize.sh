#!/usr/bin/env bash
# Runs the test suite under the sanitizers: everything under AddressSanitizer
# + UndefinedBehaviorSanitizer, the OpenMP programs under ThreadSanitizer.
#
# usage: scripts/sanitize.sh [-h]
#   Builds build/asan and build/tsan (as root, installing clang, libomp and
#   valgrind first) and runs their tests.
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"

ensure_packages $BASE_PACKAGES
ensure_check_packages
build_named asan
echo "== Tests under asan"
# Valgrind, bench, install, cluster and the lab guide's tests are for the
# release build.
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests build/asan -LE 'valgrind|bench|install|cluster|labs'
build_named tsan
echo "== Tests under tsan"
# LLVM's OpenMP runtime tells ThreadSanitizer about its own synchronisation
# through its tool library (archer), of the same version as clang.
OMP_TOOL_LIBRARIES="/usr/lib/llvm-$(clang_major)/lib/libarcher.so" \
TSAN_OPTIONS=ignore_noninstrumented_modules=1:halt_on_error=1:allocator_may_return_null=1 \
  run_tests build/tsan -L '^(bank|product_timer|support)$'
