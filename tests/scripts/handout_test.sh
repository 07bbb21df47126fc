#!/usr/bin/env bash
# scripts/handout.sh without building anything: the project's handout has a
# TODO for every exercise of grade.sh --list, no marker and no region's line;
# on a small made-up project, each misplaced marker or leaked solution line
# fails with its reason. Skips (77) in a handout, which has no regions.
# usage: handout_test.sh PROJECT_ROOT SCRATCH_DIR
set -u
root=$1 scratch=$2
status=0
fail() { echo "FAIL: $*"; status=1; }
grep -rqs '// BEGIN SOLUTION ' "$root/src" || { echo "no solution regions: a handout"; exit 77; }
rm -rf "$scratch"
mkdir -p "$scratch"

# The project's own handout, a fresh repository of one commit.
out=$scratch/handout
bash "$root/scripts/handout.sh" --git "$out" >"$scratch/log" 2>&1 || fail "project: $(cat "$scratch/log")"
for name in $(bash "$root/scripts/grade.sh" --list); do
  grep -rq "// TODO($name):" "$out" --include='*.cpp' || fail "project: no TODO($name)"
done
[ "$(git -C "$out" rev-list --count HEAD 2>/dev/null)" = 1 ] || fail "project: not one commit"
! grep -rqE 'MPI_Allreduce\(|MPI_Scatter\(|#pragma omp critical' "$out/src" "$out/mpi" ||
  fail "project: a solution call is left in the sources"

# A made-up project: the scripts and one source with a region per exercise.
fake=$scratch/fake
mkdir -p "$fake/src"
cp "$root/scripts/lib.sh" "$root/scripts/handout.sh" "$root/scripts/grade.sh" "$fake/src/" 2>/dev/null
mkdir -p "$fake/scripts" && mv "$fake/src/"*.sh "$fake/scripts/"
regions() {
  local name
  for name in $(bash "$root/scripts/grade.sh" --list); do
    printf '    // BEGIN SOLUTION %s\n    // HINT: think\n    // PLACEHOLDER: int wrong = 0;\n' "$name"
    printf '    int solution_%s = 1;\n    // END SOLUTION\n' "${name//-/_}"
  done
}
# case NAME EXPECTED-STATUS STDERR-PATTERN SED-SCRIPT [DOC-TEXT]: the
# made-up source edited by SED-SCRIPT, DOC-TEXT in a document.
case_() {
  local name=$1 want=$2 pattern=$3 script=$4 got=0
  rm -rf "$fake/.git" "$fake/out" "$fake/doc.md"
  regions | sed "$script" >"$fake/src/x.cpp"
  [ -z "${5:-}" ] || echo "$5" >"$fake/doc.md"
  (cd "$fake" && git init -q) || return
  bash "$fake/scripts/handout.sh" "$fake/out" >"$scratch/out" 2>"$scratch/err" || got=$?
  [ "$got" -eq "$want" ] || fail "$name: status $got, expected $want"
  grep -q -- "$pattern" "$scratch/err" "$scratch/out" || fail "$name: no '$pattern' in: $(cat "$scratch/err")"
}
case_ valid 0 "6 exercises, 6 regions replaced" ""
grep -q 'solution_' "$fake/out/src/x.cpp" && fail "valid: a solution line is left"
[ "$(grep -c '^    // TODO(.*):$' "$fake/out/src/x.cpp")" = 6 ] || fail "valid: not 6 TODO lines"
[ "$(grep -c '^    int wrong = 0;$' "$fake/out/src/x.cpp")" = 6 ] || fail "valid: not 6 placeholders"
case_ unclosed 1 "x.cpp:end: region product_timer-row-blocks is not closed" '$d'
case_ end_alone 1 "x.cpp:1: END SOLUTION without BEGIN" '1i\    // END SOLUTION'
case_ no_hint 1 "region bank-critical has no HINT line" '2d'
case_ bad_name 1 "region name must be PROGRAM-TOPIC: bank critical" '1s/bank-critical/bank critical/'
case_ nested 1 "region bank-critical is not closed before this one" '5d'
case_ stray_hint 1 "HINT or PLACEHOLDER outside a region" '1i\    // HINT: lost'
case_ not_graded 1 "not graded: bank-extra" '1s/bank-critical/bank-extra/'
case_ hint_quotes 1 "int solution_bank_critical = 1;" '2s/think/int solution_bank_critical = 1;/'
case_ doc_quotes 1 "doc.md:1: int solution_sum_of_ranks_allreduce = 1;" '' \
  '    int solution_sum_of_ranks_allreduce = 1;'
mkdir -p "$fake/taken" && touch "$fake/taken/file"
bash "$fake/scripts/handout.sh" "$fake/taken" 2>/dev/null && fail "a folder that is not empty was used"
[ "$status" -eq 0 ] && echo "PASS: handout"
exit "$status"
