#!/usr/bin/env bash
# Grades the exercises in this copy of the project (the project itself, or a
# students' copy from scripts/handout.sh): builds what each exercise needs in
# build/release (build/tsan for the race check), runs the exercise's own
# checks, each run limited in time, then the project's tests of its program,
# and prints one line per exercise, "NAME: PASS" or "NAME: FAIL: " with the
# first check that failed, then "N passed, M failed". For
# product_timer-row-blocks a line "  speed: ..." gives the speed of the
# product beside a yardstick, measured in one run. Logs go to build/grade/.
# Exit status 0 only when every chosen exercise passed (1 otherwise, 2 on a
# usage error).
#
# With --report it grades other copies with this copy's checks and tests:
# each DIR's exercise files are put into a grading tree (build/grading/tree,
# this copy's files otherwise, one build reused) and graded there; one CSV
# row per copy, a column per exercise. Status 0 when the grading of every
# copy ran to its summary line, whatever the grades.
# Grading builds and runs the code it grades: see docs/exercises.md.
#
# usage: scripts/grade.sh [-h] [--list] [--min-speed R] [EXERCISE...]
#        scripts/grade.sh [--min-speed R] --report FILE.csv DIR...
#   EXERCISE         grade only these (default: all)
#   --list           print the exercise names, one a line, and exit
#   --min-speed R    fail product_timer-row-blocks when its product is slower
#                    than R times the yardstick (default: GRADE_MIN_SPEED;
#                    unset: the speed is only reported)
#   --report FILE.csv DIR...  grade each copy DIR into FILE.csv
#   -h, --help       print this usage and exit
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The exercises: name; the file a student edits; the build targets its
# checks run; the project's tests of the program (ctest arguments). The
# exercise's own checks are the function check_NAME (dashes as underscores).
EXERCISES=(
  "bank-critical;src/bank.cpp;bank bank_test;-R ^Bank"
  "bank-barrier;src/bank.cpp;bank bank_test;-R ^Bank"
  "vector_max-scatter-reduce;mpi/vector_max.cpp;vector_max mpi_programs_test;-R ^VectorMax\\."
  "greetings-rank-order;mpi/greetings.cpp;greetings mpi_programs_test;-R ^Greetings\\."
  "sum_of_ranks-allreduce;mpi/sum_of_ranks.cpp;sum_of_ranks mpi_programs_test;-R ^SumOfRanks\\."
  "product_timer-row-blocks;product_timer/product_timer.cpp;product_timer bits_check split_speed product_timer_product_test product_timer_program_test;-R ^(ProductTimerPartition|ProductTimerProduct|ProductTimerProgram)\\.|^bits_check\\."
)
field() { local IFS=';' f; read -ra f <<<"$(exercise "$1")"; printf '%s\n' "${f[$2]}"; }
exercise() { local e; for e in "${EXERCISES[@]}"; do [ "${e%%;*}" != "$1" ] || { echo "$e"; return 0; }; done; return 1; }
names() { local e; for e in "${EXERCISES[@]}"; do echo "${e%%;*}"; done; }

min_speed=${GRADE_MIN_SPEED:-}
report=""
chosen=()
while [ $# -gt 0 ]; do
  case $1 in
    --list) names; exit 0 ;;
    --min-speed)
      [ $# -ge 2 ] || usage_error "--min-speed needs a value"
      min_speed=$2
      shift ;;
    --report)
      [ $# -ge 3 ] || usage_error "--report needs a file and at least one folder"
      report=$2
      shift 2
      break ;;
    *)
      check_option "$1"
      exercise "$1" >/dev/null || usage_error "unknown exercise: $1 (--list names them)"
      chosen+=("$1") ;;
  esac
  shift
done
[ -z "$min_speed" ] || [[ $min_speed =~ ^[0-9]+([.][0-9]+)?$ ]] ||
  usage_error "not a speed ratio: $min_speed"
[ ${#chosen[@]} -gt 0 ] || mapfile -t chosen < <(names)

LOGS=$ROOT/build/grade
LIMIT=30  # seconds for one run of a program: a hang fails the check

# fail MESSAGE: the check fails with MESSAGE (what was expected, what came).
fail() { FAILURE=$1; return 1; }

# fresh NAME: an empty scratch folder build/grade/NAME, printed.
fresh() { rm -rf "${LOGS:?}/$1"; mkdir -p "$LOGS/$1"; echo "$LOGS/$1"; }

# run_in DIR CMD...: CMD in DIR, its output in DIR/out and DIR/err, limited to
# LIMIT seconds; returns its status (124: it ran too long).
run_in() {
  local dir=$1 status=0
  shift
  (cd "$dir" && exec timeout -k 5 "$LIMIT" "$@" >"$dir/out" 2>"$dir/err" </dev/null) || status=$?
  return "$status"
}

# ran_ok WHAT STATUS DIR: fails unless STATUS is 0, saying why in a student's
# words (a run that did not end, or the first line it wrote on stderr).
ran_ok() {
  case $2 in
    0) return 0 ;;
    124 | 137) fail "expected $1 to end within $LIMIT s, got a run that did not end (does a rank or thread wait for something that never comes?)" ;;
    *) fail "expected $1 to end with status 0, got status $2 ($(head -n 1 "$3/err"))" ;;
  esac
}

# same_text WHAT EXPECTED ACTUAL: fails at the first line where the file
# ACTUAL differs from the text EXPECTED.
same_text() {
  local diff
  diff=$(printf '%s' "$2" | awk -v actual="$3" '
    { want[NR] = $0 } END {
      n = 0
      while ((getline got < actual) > 0) {
        n++
        if (!(n in want)) { printf "got an extra line %d: \"%s\"", n, got; exit }
        if (got != want[n]) { printf "line %d: expected \"%s\", got \"%s\"", n, want[n], got; exit }
      }
      if (n < NR) printf "line %d: expected \"%s\", got no such line", n + 1, want[n + 1]
    }')
  [ -z "$diff" ] || fail "$1, $diff"
}

# mpi_run DIR NP PROGRAM ARGS...: PROGRAM on NP ranks in DIR (run_in).
mpi_run() {
  local dir=$1 np=$2
  shift 2
  run_in "$dir" "${MPIRUN[@]}" "${MPI_NUMPROC_FLAG:--np}" "$np" "$@"
}

BIN=$ROOT/build/release

check_bank_critical() {
  local dir i status balance frame
  dir=$(fresh bank-critical)
  for i in 0 1 2 3; do awk 'BEGIN { for (k = 0; k < 5000; k++) print "deposit 0 1" }' >"$dir/user$i.txt"; done
  status=0
  NO_COLOR=1 run_in "$dir" "$BIN/src/bank" 4 user0.txt user1.txt user2.txt user3.txt || status=$?
  ran_ok "bank with 4 threads" "$status" "$dir" || return 1
  balance=$(sed -n 's/^Account  0 balance after completion of transaction batch: *//p' "$dir/out")
  [ "$balance" = 20000.00 ] ||
    fail "expected account 0 to end at 20000.00 after 4 threads each deposited 1.00 5000 times, got ${balance:-no final report}: updates were lost" || return 1

  # The race check: two threads on shared accounts under ThreadSanitizer.
  tsan_ready "$dir" ||
    fail "could not run the race check: it needs clang with its ThreadSanitizer runtime and LLVM's OpenMP runtime (Debian: apt-get install clang libomp-dev, and libclang-rt-dev from Debian 12 on)" ||
    return 1
  { configure_named tsan && cmake --build "$ROOT/build/tsan" -j "$(nproc)" --target bank; } \
    >"$LOGS/tsan-build.log" 2>&1 ||
    fail "could not build bank under ThreadSanitizer (build/tsan): see build/grade/tsan-build.log" || return 1
  for i in 0 1; do
    awk -v a=$i -v b=$((1 - i)) 'BEGIN { print "deposit " a " 100"
      for (k = 0; k < 50; k++) print "withdrawal " a " 1\ntransfer " a " " b " 1\nbalance " b "\ndeposit " b " 2" }' \
      >"$dir/mixed$i.txt"
  done
  status=0
  NO_COLOR=1 OMP_TOOL_LIBRARIES="/usr/lib/llvm-$(clang_major)/lib/libarcher.so" \
    TSAN_OPTIONS=ignore_noninstrumented_modules=1 \
    run_in "$dir" "$ROOT/build/tsan/src/bank" 2 mixed0.txt mixed1.txt || status=$?
  if grep -q 'WARNING: ThreadSanitizer: data race' "$dir/err"; then
    frame=$(sed -n '/WARNING: ThreadSanitizer: data race/,$ s/^ *#0 \(.*\) \([^ ]*:[0-9][0-9:]*\) (.*/\1 at \2/p' "$dir/err" | head -n 1)
    fail "expected no data race, got two threads using the balances at the same time, one in ${frame//$ROOT\//} (ThreadSanitizer's report: build/grade/bank-critical/err)"
    return 1
  fi
  ran_ok "bank under ThreadSanitizer" "$status" "$dir"
}

check_bank_barrier() {
  local dir run status lines
  dir=$(fresh bank-barrier)
  # User 0 loads a long file, users 1 to 3 one record each: without the
  # barrier their transactions are applied while user 0 is still loading.
  awk 'BEGIN { for (k = 0; k < 20000; k++) print "deposit 1 1" }' >"$dir/user0.txt"
  for run in 1 2 3; do echo "balance 0" >"$dir/user$run.txt"; done
  for run in 1 2 3; do
    status=0
    rm -f "$dir"/p*.log
    NO_COLOR=1 run_in "$dir" "$BIN/src/bank" 4 user0.txt user1.txt user2.txt user3.txt || status=$?
    ran_ok "bank with 4 threads" "$status" "$dir" || return 1
    lines=$(awk '/^Loaded /{ loaded = NR } /^User / && !applied { applied = NR }
                 END { if (applied && applied < loaded) print applied, loaded }' "$dir/out")
    [ -z "$lines" ] ||
      fail "expected every thread to load its whole file before any transaction is applied, got a transaction applied at line ${lines% *} of the output while a file was still loading (its last record was loaded at line ${lines#* })" ||
      return 1
  done
}

check_vector_max_scatter_reduce() {
  local dir np file values max status
  for np in 3 4; do
    for file in mixed:"3 -7 12 5 99 1 8 2 40 6":99 negative:"-5 -9 -3 -12 -8 -4 -11":-3; do
      IFS=: read -r file values max <<<"$file"
      dir=$(fresh "vector_max-scatter-reduce/$file$np")
      echo "$values" >"$dir/$file.txt"
      status=0
      mpi_run "$dir" "$np" "$BIN/mpi/vector_max" "$file.txt" || status=$?
      ran_ok "vector_max on $np ranks" "$status" "$dir" || return 1
      same_text "on $np ranks with the values $values" "The max value in $file.txt is $max " \
        "$dir/out" || return 1
      same_text "vector_max_p0.log on $np ranks" "The final result is $max" \
        "$dir/vector_max_p0.log" || return 1
    done
  done
}

check_greetings_rank_order() {
  local dir np r status expected
  for np in 2 3 4; do
    dir=$(fresh "greetings-rank-order/$np")
    status=0
    mpi_run "$dir" "$np" "$BIN/mpi/greetings" || status=$?
    ran_ok "greetings on $np ranks" "$status" "$dir" || return 1
    expected=$(for ((r = 0; r < np; r++)); do echo "Greetings from process $r of $np!"; done)
    same_text "on $np ranks" "$expected" "$dir/out" || return 1
    for ((r = 0; r < np; r++)); do
      same_text "greetings_p$r.log on $np ranks" "Proc $r: Greetings from process $r of $np!" \
        "$dir/greetings_p$r.log" || return 1
    done
  done
}

check_sum_of_ranks_allreduce() {
  local dir np status sum
  for np in 1 3 4; do
    dir=$(fresh "sum_of_ranks-allreduce/$np")
    status=0
    mpi_run "$dir" "$np" "$BIN/mpi/sum_of_ranks" || status=$?
    ran_ok "sum_of_ranks on $np ranks" "$status" "$dir" || return 1
    sum=$((np * (np - 1) / 2))
    same_text "on $np ranks" "$(printf 'Process 0: the rank sum is: %d \n ' "$sum")" "$dir/out" ||
      return 1
    same_text "sum_of_ranks0.log on $np ranks" "The final result is $sum" \
      "$dir/sum_of_ranks0.log" || return 1
  done
}

# The product's speed is measured after the project's tests (grade_one).
check_product_timer_row_blocks() {
  local dir status threads
  dir=$(fresh product_timer-row-blocks)
  status=0
  run_in "$dir" "$BIN/bench/bits_check" 8 1001 203 || status=$?
  case $status in
    0) ;;
    1)
      threads=$(sed -n 's/^product_timer, \([0-9]*\) threads\{0,1\} .*DIFFERS.*/\1/p' "$dir/out" | head -n 1)
      fail "expected the same y, bit for bit, for 1 to 8 threads (1001 rows), got a different y with $threads threads: are rows left out or computed twice?"
      return 1 ;;
    *) ran_ok "bits_check" "$status" "$dir" || return 1 ;;
  esac
}

# product_speed: the product beside the even-split yardstick; the ratio in
# NOTE, and a failure below min_speed.
product_speed() {
  local dir status threads ratio
  dir=$(fresh product_timer-speed)
  threads=$(nproc)
  [ "$threads" -ge 2 ] || threads=2
  [ "$threads" -le 4 ] || threads=4
  status=0
  run_in "$dir" "$BIN/bench/split_speed" "$threads" 4000 1000 15 || status=$?
  ran_ok "the speed measurement (split_speed)" "$status" "$dir" || return 1
  ratio=$(sed -n 's/.* ratio \([0-9.]*\)$/\1/p' "$dir/out")
  NOTE="speed: $ratio of the even-split yardstick's (above 1: faster; $threads threads, 4000 x 1000, median of 15 alternating rounds)"
  [ -z "$min_speed" ] || awk -v r="$ratio" -v m="$min_speed" 'BEGIN { exit !(r >= m) }' ||
    fail "expected a product at least $min_speed times as fast as the even-split yardstick, got $ratio"
}

# project_tests NAME CTEST-ARGS: the project's tests of the exercise's
# program; a selection that already ran in this grading is not run again.
declare -A TESTS_RESULT=()
project_tests() {
  local key=$2 log="$LOGS/$1.ctest.log" failed
  if [ -z "${TESTS_RESULT[$key]+set}" ]; then
    # shellcheck disable=SC2086 # the ctest arguments are several words
    if run_tests build/release -LE cluster $2 >"$log" 2>&1; then
      TESTS_RESULT[$key]=""
    else
      failed=$(sed -n '/The following tests FAILED:/{n;s/^[[:space:]]*[0-9]* - //p;q}' "$log")
      TESTS_RESULT[$key]="expected the project's tests of the program to pass, got ${failed:-a failure} (its output: build/grade/${log##*/})"
    fi
  fi
  [ -z "${TESTS_RESULT[$key]}" ] || fail "${TESTS_RESULT[$key]}"
}

CONFIGURED=""
# grade_one NAME: builds the exercise's targets, runs its checks and the
# project's tests; FAILURE says why it failed, NOTE holds a remark.
grade_one() {
  local name=$1 targets first file stamp sum
  FAILURE="" NOTE=""
  if [ -z "$CONFIGURED" ]; then
    CONFIGURED=no
    configure_named release -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=ON >"$LOGS/configure.log" 2>&1 &&
      mpi_launcher "$BIN" >>"$LOGS/configure.log" 2>&1 && CONFIGURED=yes
  fi
  [ "$CONFIGURED" = yes ] || fail "could not configure build/release: see build/grade/configure.log" ||
    return 1
  read -ra targets <<<"$(field "$name" 2)"
  # A file put back with an older time than the one built (cp -a, an
  # unpacked archive) would leave the build as it was: a file whose content
  # changed since the last build of this grader is touched first.
  file=$(field "$name" 1)
  stamp="$LOGS/${file//\//_}.sum"
  sum=$(sha256sum <"$ROOT/$file")
  [ "$(cat "$stamp" 2>/dev/null)" = "$sum" ] || touch "$ROOT/$file"
  if ! (cd "$ROOT" && cmake --build build/release -j "$(nproc)" --target "${targets[@]}") \
    >"$LOGS/$name.build.log" 2>&1; then
    first=$(grep -m 1 -E 'error|Error' "$LOGS/$name.build.log" || true)
    fail "expected the code to build, got: ${first:-an error} (all of it: build/grade/$name.build.log)"
    return 1
  fi
  echo "$sum" >"$stamp"
  "check_${name//-/_}" || return 1
  project_tests "$name" "$(field "$name" 3)" || return 1
  [ "$name" != product_timer-row-blocks ] || product_speed
}

# grade NAME...: a line per exercise, then the summary; status 0 when all
# passed.
grade() {
  local name passed=0 failed=0
  mkdir -p "$LOGS"
  echo "== Grading in $ROOT (logs in build/grade)"
  for name in "$@"; do
    if grade_one "$name"; then
      echo "$name: PASS"
      passed=$((passed + 1))
    else
      echo "$name: FAIL: $FAILURE"
      failed=$((failed + 1))
    fi
    [ -z "$NOTE" ] || echo "  $NOTE"
  done
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# csv_cell TEXT: TEXT as one CSV field.
csv_cell() { printf '"%s"' "${1//\"/\"\"}"; }

# report FILE DIR...: each copy graded in the grading tree, a row each.
report() {
  local file=$1 tree="$ROOT/build/grading/tree" dir f name line status files missing row
  shift
  echo "== Grading runs the students' code with your rights: run it as a user of its own, in a" >&2
  echo "   container or a virtual machine that holds nothing else of yours (docs/exercises.md)." >&2
  mkdir -p "$tree"
  # This copy's files, changed ones only, so that the build is reused.
  while IFS= read -r f; do
    mkdir -p "$tree/$(dirname "$f")"
    cmp -s "$ROOT/$f" "$tree/$f" || cp -p "$ROOT/$f" "$tree/$f"
  done < <(project_files)
  mapfile -t files < <(for name in $(names); do field "$name" 1; done | sort -u)
  mapfile -t chosen_names < <(names)
  { printf 'copy'; for name in "${chosen_names[@]}"; do printf ',%s' "$name"; done; printf ',speed\n'; } >"$file"
  status=0
  for dir in "$@"; do
    missing=""
    for f in "${files[@]}"; do [ -f "$dir/$f" ] || missing="$missing $f"; done
    row=$(csv_cell "$dir")
    if [ -n "$missing" ]; then
      for name in "${chosen_names[@]}"; do row="$row,$(csv_cell "FAIL: no$missing in the copy")"; done
      echo "$row," >>"$file"
      echo "== $dir: not graded, no$missing" >&2
      continue
    fi
    for f in "${files[@]}"; do cmp -s "$dir/$f" "$tree/$f" || cp "$dir/$f" "$tree/$f"; done
    echo "== $dir" >&2
    local out
    out=$(bash "$tree/scripts/grade.sh" ${min_speed:+--min-speed "$min_speed"} 2>&1) || true
    printf '%s\n' "$out" | sed 's/^/   /' >&2
    if ! printf '%s\n' "$out" | grep -Eq '^[0-9]+ passed, [0-9]+ failed$'; then
      status=1
      echo "== $dir: the grading did not finish" >&2
    fi
    for name in "${chosen_names[@]}"; do
      line=$(printf '%s\n' "$out" | grep -m 1 "^$name: " || echo "$name: FAIL: not graded")
      row="$row,$(csv_cell "${line#"$name: "}")"
    done
    line=$(printf '%s\n' "$out" | sed -n 's/^  speed: \([0-9.]*\) .*/\1/p' | head -n 1)
    echo "$row,$line" >>"$file"
  done
  echo "== Report: $file ($# copies)" >&2
  return "$status"
}

if [ -n "$report" ]; then
  report "$report" "$@"
else
  grade "${chosen[@]}"
fi
