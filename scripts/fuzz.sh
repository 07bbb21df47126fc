#!/usr/bin/env bash
# Fuzzes the transaction file reader for a bounded time.
#
# usage: scripts/fuzz.sh [-h] [SECONDS]
#   Builds build/fuzz and fuzzes for SECONDS (default 60); a failing input is
#   saved in build/fuzz.
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds=60
if [ $# -gt 0 ]; then
  check_option "$1"
  seconds=$1
fi
[ $# -le 1 ] || usage_error "unexpected argument: $2"
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage_error "not a number of seconds: $seconds"
ensure_packages $BASE_PACKAGES
ensure_check_packages
build_named fuzz
# New inputs go to a working corpus in the build tree; the seeds stay as they are.
work="$ROOT/build/fuzz/corpus"
mkdir -p "$work"
echo "== Fuzzing the transaction file reader for ${seconds}s"
cd "$ROOT/build/fuzz"
log="$ROOT/build/fuzz/fuzz.log"
if ! ./tests/fuzz/loader_fuzz -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    "$work" "$ROOT/tests/fuzz/corpus" "$ROOT/examples/bank" >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "Fuzzing found a failure; the failing input was saved in $ROOT/build/fuzz" >&2
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log"
