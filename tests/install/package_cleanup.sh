#!/usr/bin/env bash
# Runs after the package test (a CTest cleanup fixture), even when that test
# failed or was killed before it could remove the package: removes the package
# if the test's marker says the test installed it.
# Usage: package_cleanup.sh MARKER
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
marker=$1
[ -e "$marker" ] || exit 0
exec 9>"$PACKAGE_LOCK"
flock -w 600 9
state=$(dpkg-query -W -f='${db:Status-Status}' parallel-labs 2>/dev/null || true)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
  echo "removing parallel-labs left installed by the package test"
  dpkg_waiting -r parallel-labs
fi
rm -f "$marker"
