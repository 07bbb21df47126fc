#!/usr/bin/env bash
# Cross-builds bank and product_timer with their tests for 64-bit ARM and runs
# the tests under qemu-user through CMake's cross-compiling emulator (no MPI
# for the target, so the MPI programs are left out). GoogleTest for the
# target is built first from Debian's sources (/usr/src/googletest, package
# googletest). The kernel's binfmt settings are not used and not changed.
#
# usage: scripts/cross_aarch64.sh [-h] [-p]
#   -h, --help  print this usage and exit
#   -p          also make the Debian package (build/aarch64/parallel-labs_*_arm64.deb)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

package=0
[ "${1:-}" != --help ] || { print_usage; exit 0; }
while getopts "hp" opt; do
  case $opt in
    h) print_usage; exit 0 ;;
    p) package=1 ;;
    *) print_usage >&2; exit 1 ;;
  esac
done

ensure_packages $CROSS_PACKAGES
cd "$ROOT"
gtest_build="$ROOT/build/aarch64-googletest-build"
gtest_root="$ROOT/build/aarch64-googletest"
if [ ! -f "$gtest_root/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== Building GoogleTest for aarch64"
  cmake -S /usr/src/googletest -B "$gtest_build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_INSTALL_PREFIX="$gtest_root" -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$gtest_build" -j "$(nproc)" >/dev/null
  cmake --install "$gtest_build" >/dev/null
fi
build_named aarch64
echo "== Tests under qemu-aarch64"
log=$(mktemp)
run_tests build/aarch64 -LE bench | tee "$log"
# docs/platforms.md states how many tests skip here, and why.
skipped=$(grep -c '(Skipped)$' "$log" || true)
rm -f "$log"
bash "$ROOT/tests/docs/docs_check.sh" skips "$ROOT" "$skipped"
if [ "$package" -eq 1 ]; then
  echo "== Debian package"
  rm -f build/aarch64/*.deb
  (cd build/aarch64 && cpack -G DEB >/dev/null)
  deb=$(ls build/aarch64/*.deb)
  arch=$(dpkg-deb -f "$deb" Architecture)
  [ "$arch" = arm64 ] || { echo "$deb is labelled $arch, not arm64" >&2; exit 1; }
  echo "$deb (Architecture: $arch)"
fi
