#!/usr/bin/env bash
# Formats the C++ sources with .clang-format, or checks that they are.
#
# usage: scripts/format.sh [-h] [--check]
#   Without --check, rewrites every tracked .cpp and .h file in place.
#   --check     changes nothing; lists the files that differ from the format
#               and fails (status 1) when there is one
#   -h, --help  print this usage and exit
#   The format follows the clang-format of the Debian 12 CI machine (14);
#   other versions may place a few lines differently.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check=false
if [ $# -gt 0 ]; then
  [ "$1" = --check ] && check=true || check_option "$1"
  [ "$1" = --check ] || usage_error "unexpected argument: $1"
fi
[ $# -le 1 ] || usage_error "unexpected argument: $2"
ensure_packages clang-format
cd "$ROOT"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if ! $check; then
  clang-format -i "${files[@]}"
  exit 0
fi
differing=()
for file in "${files[@]}"; do
  clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || differing+=("$file")
done
if [ ${#differing[@]} -gt 0 ]; then
  echo "== Not formatted ($(clang-format --version | grep -o '[0-9][0-9.]*' | head -n 1)); run scripts/format.sh:" >&2
  printf '   %s\n' "${differing[@]}" >&2
  exit 1
fi
echo "== Format: ${#files[@]} files follow .clang-format"
