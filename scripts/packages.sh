#!/usr/bin/env bash
# Installs the Debian packages the labs use: compilers, CMake, Open MPI,
# GoogleTest, valgrind, Google Benchmark and OpenBLAS, what the install tests
# use (a module system, man-db, ...), gnuplot for the scaling study. Not the
# emulated cluster's packages (scripts/test.sh adds them as root). The
# container image (Containerfile) is made with it, so that the lists stay in
# scripts/lib.sh alone.
#
# usage: scripts/packages.sh [-h] [--list]
#   Installs the packages that are missing (as root; otherwise prints the
#   apt-get line to run as root and fails).
#   --list      print the packages, one a line, and install nothing
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ "${1:-}" = --list ] && [ $# -eq 1 ]; then
  printf '%s\n' $LAB_PACKAGES
  exit 0
fi
no_arguments "$@"
ensure_packages $LAB_PACKAGES
