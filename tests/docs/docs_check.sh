#!/usr/bin/env bash
# Compares what the documents state with the build.
# Usage: docs_check.sh version SOURCE_DIR VERSION
#        docs_check.sh counts SOURCE_DIR CTEST BUILD_DIR NOT_DEFAULT_BUILD
#        docs_check.sh machines SOURCE_DIR
#        docs_check.sh skips SOURCE_DIR COUNT   (COUNT: tests the aarch64 cross
#                                                build skipped under qemu)
# NOT_DEFAULT_BUILD: how this build differs from the documented default one
# (empty when it does not); the counts are then not checked (exit 77).
set -euo pipefail
mode=$1 source=$2
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

# The document as one line, so that a statement may be wrapped anywhere.
flat() { tr '\n' ' ' <"$source/$1"; }

# The number in the statement of document NAME that matches the extended
# regular expression PATTERN, whose group 1 is the number in digits or in
# words; nothing when no statement matches.
stated() {
  local text number
  text=$(flat "$1" | grep -oE -e "$2" | head -n 1) || true
  [ -n "$text" ] || return 0
  number=$(sed -E "s/$2/\\1/" <<<"$text")
  number=${number,,}
  case $number in
    one) number=1 ;; two) number=2 ;; three) number=3 ;; four) number=4 ;; five) number=5 ;;
    six) number=6 ;; seven) number=7 ;; eight) number=8 ;; nine) number=9 ;; ten) number=10 ;;
  esac
  echo "$number"
}

# Every measurement names the machine that gave it: a reference to "the
# machine below" or "above" went wrong once a page was rearranged.
if [ "$mode" = machines ]; then
  found=$(cd "$source" && grep -nE -i 'machine (below|above)' README.md docs/*.md || true)
  [ -z "$found" ] || fail "name the processor instead of pointing at another place: $found"
  [ $status -ne 0 ] || echo "no document points at \"the machine below\" or \"above\""
  exit $status
fi

# The number of tests platforms.md says the aarch64 cross build skips.
if [ "$mode" = skips ]; then
  said=$(stated docs/platforms.md "([0-9]+|[A-Za-z]+) tests skip there")
  if [ -z "$said" ]; then
    fail "docs/platforms.md no longer states how many tests skip under qemu"
  elif [ "$said" != "$3" ]; then
    fail "docs/platforms.md says $said tests skip under qemu; $3 skipped"
  fi
  [ $status -ne 0 ] || echo "docs/platforms.md: $said tests skip under qemu, as they did"
  exit $status
fi

if [ "$mode" = version ]; then
  version=$3
  named=$(cd "$source" && grep -oHE 'parallel-labs(-openmpi|-mpich)?[_/][0-9]+\.[0-9]+\.[0-9]+|^Version: [0-9.]+' README.md docs/*.md)
  [ -n "$named" ] || fail "the documents name no version"
  while IFS= read -r line; do
    [ "${line##*[ _/]}" = "$version" ] || fail "$line: the project's version is $version"
  done <<<"$named"
  newest=$(grep -m 1 '^## ' "$source/CHANGELOG.md" || true)
  [[ "$newest" =~ ^"## $version ("[0-9]{4}-[0-9]{2}-[0-9]{2}")"$ ]] ||
    fail "CHANGELOG.md: the newest entry is '$newest', not '## $version (YYYY-MM-DD)'"
  [ $status -ne 0 ] || echo "every version named is $version"
  exit $status
fi

ctest=$3 build=$4 not_default=$5
if [ -n "$not_default" ]; then
  echo "skipped: the documents state the test counts of the default build; this one differs: $not_default"
  exit 77
fi
count() { (cd "$build" && "$ctest" -N "$@") | sed -n 's/^Total Tests: //p'; }
# scripts/test.sh, the README's test command, leaves the fault suite to CI.
total=$(count -LE '^faults$')
install=$(count -L '^install$')
words='([0-9]+|one|two|three|four|five|six|seven|eight|nine|ten)'
readme=$(stated README.md "the build, then $words tests")
install_md=$(stated docs/install.md "-L install\)? *\`\`\` *runs $words tests")
check() {  # check NAME STATED ACTUAL WHAT
  if [ -z "$2" ]; then
    fail "$1 no longer states $4 in the words this check looks for (see tests/docs/docs_check.sh)"
  elif [ "$2" != "$3" ]; then
    fail "$1 states $2 for $4; ctest -N lists $3"
  fi
}
check README.md "$readme" "$total" "the number of tests"
check docs/install.md "$install_md" "$install" "the number of tests labelled install"
[ $status -ne 0 ] || echo "README.md: $total tests, docs/install.md: $install install tests, as ctest -N lists"
exit $status
