#!/usr/bin/env bash
# Writes the students' copy of the project: every solution region of the C++
# sources, from "// BEGIN SOLUTION NAME" to "// END SOLUTION", is replaced by
# a line "// TODO(NAME):", its hint (the region's "// HINT: TEXT" lines) and
# its placeholder code (its "// PLACEHOLDER: CODE" lines), which compiles and
# runs but does not solve the exercise. Every other file (tests, grader, documents) is
# copied as it is: the files git knows and the new ones it does not ignore,
# or, outside a git checkout, everything but build/. The copy is a fresh
# tree; with --git it is a fresh repository of one commit, with no history.
# Then it checks that no marker and no line of a solution is left in it, and
# that the regions name exactly the exercises of scripts/grade.sh --list.
#
# usage: scripts/handout.sh [-h] [--git] DIR
#   DIR         where to write the copy: a new or empty folder
#   --git       make DIR a git repository with the copy as its one commit
#   -h, --help  print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

make_repo=false
dir=""
while [ $# -gt 0 ]; do
  case $1 in
    --git) make_repo=true ;;
    *)
      check_option "$1"
      [ -z "$dir" ] || usage_error "unexpected argument: $1"
      dir=$1 ;;
  esac
  shift
done
[ -n "$dir" ] || usage_error "no folder given"
if [ -e "$dir" ] && { [ ! -d "$dir" ] || [ -n "$(ls -A "$dir")" ]; }; then
  echo "$SCRIPT_NAME: $dir exists and is not an empty folder" >&2
  exit 1
fi

# replace_regions FILE OUT SOLUTION PLACEHOLDER NAMES: FILE with its regions
# replaced, into OUT; the lines of the solutions, of the placeholders and
# the region names are appended (trimmed) to the last three files. A marker
# out of place is reported as FILE:LINE and fails.
replace_regions() {
  awk -v solution="$3" -v placeholder="$4" -v names="$5" '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
    function bad(why) { printf "%s:%d: %s\n", FILENAME, FNR, why > "/dev/stderr"; failed = 1; exit 1 }
    match($0, /^[ \t]*\/\/ BEGIN SOLUTION /) {
      if (name != "") bad("region " name " is not closed before this one")
      indent = $0; sub(/\/\/.*/, "", indent)
      name = trim(substr($0, RLENGTH + 1))
      if (name !~ /^[a-z_]+-[a-z-]+$/) bad("region name must be PROGRAM-TOPIC: " name)
      print name >> names
      hints = 0; code = 0
      next
    }
    /^[ \t]*\/\/ END SOLUTION[ \t]*$/ {
      if (name == "") bad("END SOLUTION without BEGIN SOLUTION")
      if (hints == 0) bad("region " name " has no HINT line")
      print indent "// TODO(" name "):"
      for (i = 1; i <= hints; i++) print indent "// " hint[i]
      for (i = 1; i <= code; i++) print indent line[i]
      name = ""
      next
    }
    /^[ \t]*\/\/ (HINT|PLACEHOLDER):/ {
      if (name == "") bad("HINT or PLACEHOLDER outside a region")
      text = $0; sub(/^[ \t]*\/\/ [A-Z]+: ?/, "", text)
      if ($0 ~ /\/\/ HINT:/) hint[++hints] = text
      else { line[++code] = text; print trim(text) >> placeholder }
      next
    }
    /^[ \t]*\/\/ (BEGIN|END) SOLUTION/ { bad("malformed marker") }
    name != "" { if (trim($0) != "") print trim($0) >> solution; next }
    { print }
    END {
      if (!failed && name != "") {
        printf "%s:end: region %s is not closed\n", FILENAME, name > "/dev/stderr"
        exit 1
      }
    }
  ' "$1" >"$2"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/handout.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
: >"$work/solution"
: >"$work/placeholder"
: >"$work/names"
project_files >"$work/files"  # before the copy, which may lie inside ROOT
marked=0
while IFS= read -r f; do
  mkdir -p "$dir/$(dirname "$f")"
  case $f in
    *.cpp | *.h)
      if grep -q '^[[:space:]]*// BEGIN SOLUTION ' "$ROOT/$f"; then
        replace_regions "$ROOT/$f" "$dir/$f" "$work/solution" "$work/placeholder" "$work/names"
        marked=$((marked + 1))
        continue
      fi ;;
  esac
  cp -p "$ROOT/$f" "$dir/$f"
done <"$work/files"
if [ "$marked" -eq 0 ]; then
  echo "$SCRIPT_NAME: no solution regions in $ROOT: is it a handout already?" >&2
  exit 1
fi

# The regions and the grader name the same exercises.
sort -u "$work/names" >"$work/regions"
bash "$ROOT/scripts/grade.sh" --list | sort >"$work/exercises"
if ! cmp -s "$work/regions" "$work/exercises"; then
  echo "$SCRIPT_NAME: the regions and scripts/grade.sh --list name different exercises:" >&2
  diff "$work/exercises" "$work/regions" | sed -n 's/^</   no region for/p; s/^>/   not graded:/p' >&2
  exit 1
fi

# Nothing of a solution is left: no marker in a source, and no line of a
# region unless the same line is in the project outside every region (a
# closing brace, an #endif) or in a placeholder. Lines are compared whole,
# without indentation and comment marks, so that a solution line quoted in a
# hint or a document is found too.
if grep -rlE '^[[:space:]]*// (BEGIN SOLUTION|END SOLUTION|HINT:|PLACEHOLDER:)' "$dir" \
     --include='*.cpp' --include='*.h' >"$work/left"; then
  echo "$SCRIPT_NAME: markers left in: $(tr '\n' ' ' <"$work/left")" >&2
  exit 1
fi
: >"$work/outside"
while IFS= read -r f; do
  case $f in *.cpp | *.h) ;; *) continue ;; esac
  awk '/^[ \t]*\/\/ BEGIN SOLUTION /{skip = 1} !skip {print}
       /^[ \t]*\/\/ END SOLUTION/{skip = 0}' "$ROOT/$f" >>"$work/outside"
done <"$work/files"
find "$dir" -type f ! -name '*.png' ! -path "$dir/.git/*" -print0 |
  xargs -0 awk -v solution="$work/solution" -v placeholder="$work/placeholder" -v outside="$work/outside" '
    function bare(s) { sub(/^[ \t]*(\/\/[ \t]*)?/, "", s); sub(/[ \t]+$/, "", s); return s }
    BEGIN {
      while ((getline l < outside) > 0) allowed[bare(l)] = 1
      while ((getline l < placeholder) > 0) allowed[bare(l)] = 1
      while ((getline l < solution) > 0) if (!(bare(l) in allowed)) secret[bare(l)] = 1
    }
    { l = bare($0); if (l in secret) { printf "%s:%d: %s\n", FILENAME, FNR, l; found = 1 } }
    END { exit found }' >"$work/leaks" || {
  echo "$SCRIPT_NAME: solution lines left in the copy:" >&2
  sed 's/^/   /' "$work/leaks" >&2
  exit 1
}

if $make_repo; then
  (cd "$dir" && git init -q && git add -A &&
     git -c user.name=handout -c user.email=handout@localhost commit -q -m "Exercises")
fi
echo "== Handout in $dir: $(wc -l <"$work/regions") exercises, $(wc -l <"$work/names") regions replaced"
