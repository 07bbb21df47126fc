#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
#
# usage: scripts/test.sh [-h]
#   Builds build/release and runs every test in it but the fault-injection
#   suite (label faults, a minute more; CI runs it). As root it first installs
#   the packages the tests use, and the tests labelled cluster bring up the
#   emulated cluster (scripts/cluster.sh); otherwise those tests skip.
#   Interrupted (Ctrl-C, SIGTERM, a closed pipe), it stops the tests and takes
#   the emulated cluster down before it exits.
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
no_arguments "$@"

# The packages the tests use (scripts/lib.sh); as root also the cluster's
# packages, for the tests labelled "cluster" (skipped without root).
ensure_packages $TEST_PACKAGES
[ "$(id -u)" -ne 0 ] || ensure_daemon_packages $CLUSTER_PACKAGES
build_named release
run_tests build/release -LE faults
