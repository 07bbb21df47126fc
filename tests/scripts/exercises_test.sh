#!/usr/bin/env bash
# The exercises from end to end, slow (it builds a handout; CI runs it from
# .ci/run, ctest does not): the handout of this project fails every
# exercise; with src/ put back from the project exactly the bank-* ones pass;
# with every folder put back all pass; each exercise's checks catch a
# plausible wrong answer; --report grades copies into one CSV. The copy and
# its builds stay in SCRATCH and are reused by the next run.
# usage: exercises_test.sh [SCRATCH]   (default: build/exercises_test)
set -u
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
scratch=${1:-$root/build/exercises_test}
copy=$scratch/copy
status=0
fail() { echo "FAIL: $*"; status=1; }

# A fresh handout in $copy, its build folder kept.
mkdir -p "$copy"
find "$copy" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
rm -rf "$scratch/new"
bash "$root/scripts/handout.sh" "$scratch/new" >/dev/null || { echo "FAIL: handout.sh"; exit 1; }
cp -a "$scratch/new/." "$copy/"
rm -rf "$scratch/new"

# grade EXPECTED_STATUS EXPECTED_LINES [EXERCISE...]: grade.sh in the copy;
# EXPECTED_LINES (grep -E patterns, one a line) must all be in its output.
grade() {
  local want=$1 lines=$2 got=0 pattern
  shift 2
  bash "$copy/scripts/grade.sh" "$@" >"$scratch/grade.out" 2>&1 || got=$?
  [ "$got" -eq "$want" ] || fail "grade.sh $*: status $got, expected $want"
  while IFS= read -r pattern; do
    grep -Eq -- "$pattern" "$scratch/grade.out" || fail "grade.sh $*: no line '$pattern'"
  done <<<"$lines"
  [ "$status" -eq 0 ] || sed 's/^/   /' "$scratch/grade.out"
}

all=(bank-critical bank-barrier vector_max-scatter-reduce greetings-rank-order
  sum_of_ranks-allreduce product_timer-row-blocks)
fails() { local n; for n in "$@"; do echo "^$n: FAIL: "; done; }
passes() { local n; for n in "$@"; do echo "^$n: PASS$"; done; }

grade 1 "$(fails "${all[@]}"; echo '^0 passed, 6 failed$')"
cp -a "$root/src/." "$copy/src/"
grade 1 "$(passes "${all[@]:0:2}"; fails "${all[@]:2}"; echo '^2 passed, 4 failed$')"
cp -a "$root/mpi/." "$copy/mpi/"
cp -a "$root/product_timer/." "$copy/product_timer/"
grade 0 "$(passes "${all[@]}"; echo '^6 passed, 0 failed$'; echo '^  speed: [0-9.]+ ')"

# Plausible wrong answers, one at a time: exercise, file, sed script, and
# the failure the grader must give.
while IFS='|' read -r name file script expected; do
  cp "$copy/$file" "$scratch/original"
  sed -i "$script" "$copy/$file"
  if cmp -s "$copy/$file" "$scratch/original"; then
    fail "$name: the sed script changed nothing in $file"
  else
    grade 1 "^$name: FAIL: $expected" "$name"
  fi
  cp "$scratch/original" "$copy/$file"
done <<'EOF'
bank-critical|src/bank.cpp|/^#pragma omp critical$/d; s/^\( *\)account_balances\[acc_num\] += amount;/\1#pragma omp atomic\n&/|expected no data race
bank-barrier|src/bank.cpp|0,/^#pragma omp barrier$/{/^#pragma omp barrier$/d}; s/^ *transaction\* start_of_transaction_list =$/#pragma omp barrier\n&/|expected every thread to load its whole file
vector_max-scatter-reduce|mpi/vector_max.cpp|s/MPI_MAX/MPI_SUM/|on 3 ranks with the values 3 -7 12 5 99 1 8 2 40 6, line 1: expected "The max value in mixed.txt is 99 "
greetings-rank-order|mpi/greetings.cpp|s/source < size;/source < size - 1;/|on 2 ranks, line 2: expected "Greetings from process 1 of 2!", got no such line
sum_of_ranks-allreduce|mpi/sum_of_ranks.cpp|s/MPI_SUM/MPI_MAX/|on 3 ranks, line 1: expected "Process 0: the rank sum is: 3 "
product_timer-row-blocks|product_timer/product_timer.cpp|s/return {thread \* (share + 1), share + 1};/return {thread * (share + 1), share};/|expected the same y, bit for bit
EOF

# --report: a copy of the handout's files, one of the project's, one empty.
mkdir -p "$scratch/copies"
rm -rf "$scratch/copies"/*
for who in student solved empty; do mkdir -p "$scratch/copies/$who"; done
bash "$root/scripts/handout.sh" "$scratch/copies/student" >/dev/null
(cd "$root" && cp --parents src/bank.cpp mpi/vector_max.cpp mpi/greetings.cpp mpi/sum_of_ranks.cpp \
   product_timer/product_timer.cpp "$scratch/copies/solved/")
bash "$copy/scripts/grade.sh" --report "$scratch/grades.csv" "$scratch/copies"/{student,solved,empty} \
  >"$scratch/report.out" 2>&1 || fail "--report: status $?"
awk -F'","' -v scratch="$scratch" '
  NR == 1 && $0 !~ /^copy,bank-critical,.*,product_timer-row-blocks,speed$/ { print "FAIL: header " $0 }
  /\/student"/ && (/"PASS"/ || gsub(/"FAIL: /, "") != 6) { print "FAIL: student row " $0 }
  /\/solved"/ && (gsub(/"PASS"/, "") != 6 || $0 !~ /,[0-9.]+$/) { print "FAIL: solved row " $0 }
  /\/empty"/ && gsub(/FAIL: no [^"]*src\/bank.cpp/, "") != 6 { print "FAIL: empty row " $0 }
  END { if (NR != 4) print "FAIL: " NR " lines" }' "$scratch/grades.csv" | grep . && status=1
[ "$status" -eq 0 ] && echo "PASS: exercises" || sed 's/^/   /' "$scratch/report.out"
exit "$status"
