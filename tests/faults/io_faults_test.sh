#!/usr/bin/env bash
# Fails each system call that a program makes on its input file, its log
# files and its standard output (a file), one call at a time, with strace's
# fault injection: EIO for every call, ENOSPC too for a write. The calls are
# those of a run without a fault (strace -P on the file); then the Nth call of
# each kind fails, for N from 1 to the number of such calls. Every run must
# end as the run without a fault did (the same output and logs, status 0), or
# with a message on stderr, a status from 1 to 128 and logs of whole records
# only (each line one of the run without a fault, the last one ended). A
# signal or a run past its time limit fails the test. Skipped (77) without
# strace.
# usage: io_faults_test.sh BUILD_DIR SCRATCH_DIR [CASE...]
#   BUILD_DIR    the build whose programs run (its mpi_launcher.env for MPI)
#   SCRATCH_DIR  emptied, then a folder per run in it
#   CASE         bank, product_timer, vector_max_1, vector_max_2,
#                greetings_2, sum_of_ranks_2 (default: all that are built)
set -u
case "${1:-}" in
  -h | --help) sed -n '/^# usage:/,/^[^#]/{/^#/!q;s/^# \{0,1\}//p}' "$0"; exit 0 ;;
esac
[ $# -ge 2 ] || { echo "usage: io_faults_test.sh BUILD_DIR SCRATCH_DIR [CASE...]" >&2; exit 2; }
build=$(cd "$1" && pwd) scratch=$2
shift 2
command -v strace >/dev/null || { echo "skipped: no strace"; exit 77; }
rm -rf "$scratch" && mkdir -p "$scratch" && scratch=$(cd "$scratch" && pwd)
status=0 runs=0 bad=0
fail() { echo "FAIL: $*"; status=1 bad=1; }

if [ -f "$build/mpi_launcher.env" ]; then source "$build/mpi_launcher.env"; fi
# launcher RANKS: COMMAND is the build's launcher with its flags for RANKS.
launcher() {
  local flags
  read -ra flags <<<"$MPI_PREFLAGS"
  COMMAND=("$MPI_LAUNCHER" "${flags[@]}" "$MPI_NUMPROC_FLAG" "$1")
}

# 60 numbers, the largest last, over more than one read of the file.
VECTOR=$(for i in $(seq 59); do printf '%d%100s' $((i * 7 % 50)) ''; done; echo 999)

# set_case NAME: COMMAND (words), PROGRAM, FILES (the files whose calls fail:
# input, logs, standard output as "out" where the program itself writes it),
# LOGS, and INPUT, which run_in writes into the file the command names last.
set_case() {
  CASE=$1 LOGS=() INPUT=
  case "$1" in
    bank)
      COMMAND=("$build/src/bank" 1 t.txt) INPUT="deposit 1 10
withdrawal 1 3
balance 1
" LOGS=(p0.log) FILES=(t.txt p0.log out) ;;
    product_timer)
      COMMAND=("$build/product_timer/product_timer" 1 100 100) FILES=(out) ;;
    vector_max_1)  # a singleton: no launcher, standard output its own
      COMMAND=("$build/mpi/vector_max" v.txt) INPUT=$VECTOR \
        LOGS=(vector_max_p0.log) FILES=(v.txt vector_max_p0.log out) ;;
    vector_max_2)
      launcher 2
      COMMAND+=("$build/mpi/vector_max" v.txt) INPUT=$VECTOR \
        LOGS=(vector_max_p0.log vector_max_p1.log) FILES=(v.txt vector_max_p0.log vector_max_p1.log) ;;
    greetings_2 | sum_of_ranks_2)
      local program=${1%_2} pattern=greetings_p
      [ "$program" = greetings ] || pattern=sum_of_ranks
      launcher 2
      COMMAND+=("$build/mpi/$program") LOGS=("${pattern}0.log" "${pattern}1.log") FILES=("${LOGS[@]}") ;;
    *) echo "io_faults_test.sh: unknown case $1" >&2; exit 2 ;;
  esac
  PROGRAM=$build/src/bank
  [ "$1" = bank ] || PROGRAM=$build/product_timer/product_timer
  [ "$1" = bank ] || [ "$1" = product_timer ] || PROGRAM=$build/mpi/${1%_[12]}
}

# run_in DIR STRACE_ARGS...: a fresh DIR with the input and empty logs and
# output (strace -P follows a file's descriptors only when the file is there
# when it starts), then the command under strace; its status in DIR/status.
run_in() {
  local dir=$1 log
  shift
  rm -rf "$dir" && mkdir -p "$dir"
  [ -z "$INPUT" ] || printf '%s' "$INPUT" >"$dir/${COMMAND[-1]}"
  for log in "${LOGS[@]}" out; do : >"$dir/$log"; done
  (cd "$dir" && exec timeout -k 5 60 strace -f -qqq "$@" -- "${COMMAND[@]}" </dev/null >out 2>err)
  echo $? >"$dir/status"
}

# The time that product_timer prints is the one thing that differs between runs.
same_output() {
  if [ "$CASE" = product_timer ]; then
    sed -E 's/= [0-9.e+-]+ seconds/= T seconds/' "$1"
  else
    cat "$1"
  fi
}

# check DIR BASE WHAT: the invariant for the run in DIR against the run without
# a fault in BASE.
check() {
  local dir=$1 base=$2 what=$3 rc log
  rc=$(cat "$dir/status")
  runs=$((runs + 1))
  if [ "$rc" -eq 0 ]; then
    [ "$(same_output "$dir/out")" = "$(same_output "$base/out")" ] ||
      fail "$what: status 0, but standard output differs: $(diff "$base/out" "$dir/out" | head -n 4 | tr '\n' ' ')"
    for log in "${LOGS[@]}"; do
      cmp -s "$dir/$log" "$base/$log" || fail "$what: status 0, but $log differs"
    done
    return
  fi
  [ "$rc" -le 128 ] || fail "$what: ended by signal $((rc - 128)) (status $rc)"
  [ "$rc" -ne 124 ] || fail "$what: did not end within 60 s"
  [ -s "$dir/err" ] || fail "$what: status $rc with nothing on stderr"
  for log in "${LOGS[@]}"; do
    [ ! -s "$dir/$log" ] || [ "$(tail -c 1 "$dir/$log")" = "" ] ||
      fail "$what: $log ends in a cut record: $(tail -n 1 "$dir/$log")"
    ! grep -qvxFf "$base/$log" "$dir/$log" ||
      fail "$what: $log holds a line of no record: $(grep -vxFf "$base/$log" "$dir/$log" | head -n 1)"
  done
}

run_case() {
  local file base name count n errno
  set_case "$1"
  [ -x "$PROGRAM" ] || { echo "$1: not built, left out"; return 1; }
  for file in "${FILES[@]}"; do
    base=$scratch/$CASE.$file.base
    # The path as the program names it (open) and as its descriptors show it.
    local paths=(-P "$file" -P "$base/$file")
    run_in "$base" -o "$base.trace" "${paths[@]}"
    [ "$(cat "$base/status")" -eq 0 ] || { fail "$CASE: no fault, status $(cat "$base/status"): $(head -n 3 "$base/err")"; continue; }
    # Each kind of call and its count, from lines "PID name(...".
    sed -nE 's/^[0-9]+ +([a-z_0-9]+)\(.*/\1/p' "$base.trace" | sort | uniq -c >"$base.calls"
    while read -r count name; do
      for errno in EIO ENOSPC; do
        [ "$errno" = EIO ] || [[ "$name" =~ ^(write|writev|pwrite64|pwritev2?)$ ]] || continue
        for ((n = 1; n <= count; n++)); do
          local dir=$scratch/$CASE.$file.$name.$n.$errno
          paths=(-P "$file" -P "$dir/$file")
          run_in "$dir" -o /dev/null --seccomp-bpf -e trace="$name" \
            -e inject="$name:error=$errno:when=$n" "${paths[@]}"
          bad=0
          check "$dir" "$base" "$CASE: $file: $name #$n of $count fails with $errno"
          [ "$bad" -ne 0 ] || rm -rf "$dir"
        done
      done
    done <"$base.calls"
  done
}

cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(bank product_timer vector_max_1 vector_max_2 greetings_2 sum_of_ranks_2)
for c in "${cases[@]}"; do
  case "$c" in vector_max_2 | greetings_2 | sum_of_ranks_2) [ -n "${MPI_LAUNCHER:-}" ] || continue ;; esac
  start=$SECONDS
  before=$runs
  run_case "$c" || continue
  echo "$c: $((runs - before)) runs with a fault, $((SECONDS - start)) s"
done
[ "$runs" -gt 0 ] || { echo "skipped: none of the programs is built"; exit 77; }
[ "$status" -eq 0 ] && echo "all $runs runs kept the invariant"
exit "$status"
