#!/usr/bin/env bash
# Builds everything with a second GCC (the oldest other version of this
# release from GCC 10 on: g++-11 on Debian 12) and with Clang and LLVM's
# OpenMP runtime (libomp) of the release's default version, each with -Wall
# -Wextra, and runs the tests on each build except the cluster label (the
# emulated cluster checks launching across hosts, which the default build's
# run in scripts/test.sh covers). The install tests run on each build: its
# programs installed, packaged and removed again.
#
# usage: scripts/compilers.sh [-h]
#   Builds with a second GCC and with Clang, in build/gcc-N and build/clang,
#   and runs the tests of each; as root, installs the compilers first.
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"

ensure_packages $BASE_PACKAGES valgrind $INSTALL_TEST_PACKAGES
ensure_check_packages
builds=()
gcc=$(second_gcc)
if [ -n "$gcc" ]; then
  ensure_packages "g++-$gcc"
  builds+=("gcc-$gcc:gcc-$gcc:g++-$gcc")
else
  echo "== No GCC beside the default $(g++ -dumpversion) from GCC 10 on in this release: GCC pass left out"
fi
# Clang from 14 on (Debian 11's default is 11, below the supported floor).
if [ "$(clang_major)" -ge 14 ]; then
  builds+=("clang:clang:clang++")
else
  echo "== This release's default Clang is $(clang_major), older than 14: Clang pass left out"
fi
for entry in "${builds[@]}"; do
  IFS=: read -r name cc cxx <<<"$entry"
  # Every compiler warning fails the run: the code must build clean with each.
  echo "== Building ($name: $("$cxx" --version | head -n 1))"
  configure_named "$name" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
  log="$ROOT/build/$name/build.log"
  cmake --build "$ROOT/build/$name" -j "$(nproc)" >"$log" 2>&1 || { cat "$log"; exit 1; }
  if grep -n 'warning:' "$log"; then
    echo "the $name build printed warnings (above)" >&2
    exit 1
  fi
  echo "== Tests ($name)"
  run_tests "build/$name" -LE 'cluster|faults'
done
