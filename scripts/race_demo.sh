#!/usr/bin/env bash
# A race you can see: runs bank and bank_unsynchronized (bank built without
# its critical section) side by side on transaction files in which every
# thread deposits 1.00 into account 0, many times over. The exact final
# balance of account 0 is threads x deposits; each deposit missing from a
# balance is an update lost to the race. Where no run lost one, it says so
# and shows the race checker's (ThreadSanitizer's) report on
# bank_unsynchronized instead, when clang with its ThreadSanitizer runtime
# and LLVM's OpenMP tool library are installed (else it says how to get
# them).
#
# usage: scripts/race_demo.sh [-h] [-t THREADS] [-d DEPOSITS] [-r RUNS] [-o DIR] [-T]
#   -h, --help  print this usage and exit
#   -t          threads, one transaction file each (default 4)
#   -d          deposits of 1.00 into account 0 per file (default 20000)
#   -r          runs of each program (default 5)
#   -o          working folder: transaction files, log files (default build/race_demo)
#   -T          show the race checker's report even when updates were lost
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

threads=4
deposits=20000
runs=5
out="$ROOT/build/race_demo"
always_tsan=false
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) print_usage; exit 0 ;;
    -t | -d | -r | -o)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case $1 in
        -t) threads=$2 ;; -d) deposits=$2 ;; -r) runs=$2 ;; -o) out=$2 ;;
      esac
      shift 2 ;;
    -T) always_tsan=true; shift ;;
    -*) usage_error "unknown option: $1" ;;
    *) usage_error "unexpected argument: $1" ;;
  esac
done
for value in "$threads" "$deposits" "$runs"; do
  [[ $value =~ ^[1-9][0-9]{0,6}$ ]] || usage_error "not a positive count: $value"
done
[ "$threads" -le 64 ] || usage_error "at most 64 threads: $threads"

# write_files DIR: one transaction file per thread, each DEPOSITS deposits
# of 1.00 into account 0. Whole numbers add up exactly in a double, so the
# exact balance is known.
write_files() {
  local dir=$1 i
  mkdir -p "$dir"
  for ((i = 0; i < threads; i++)); do
    awk -v n="$deposits" 'BEGIN { for (k = 0; k < n; k++) print "deposit 0 1" }' >"$dir/user$i.txt"
  done
}

# balance_of PROGRAM DIR: account 0's final balance after PROGRAM ran on the
# files in DIR (its console output and log files are left in DIR).
balance_of() {
  local program=$1 dir=$2 files=()
  for ((i = 0; i < threads; i++)); do files+=("user$i.txt"); done
  rm -f "$dir"/p*.log
  (cd "$dir" && NO_COLOR=1 "$program" "$threads" "${files[@]}" >console.txt 2>&1) || true
  sed -n 's/^Account  0 balance after completion of transaction batch: *//p' "$dir/console.txt"
}

# show_tsan_report: bank_unsynchronized built under ThreadSanitizer
# (build/tsan), run on two small files; the first lines of its report.
show_tsan_report() {
  if ! tsan_ready "$out"; then
    echo "The race checker (ThreadSanitizer) is not available here: it needs clang, its"
    echo "ThreadSanitizer runtime and LLVM's OpenMP runtime (Debian: clang libomp-dev,"
    echo "and libclang-rt-dev from Debian 12 on). Install them as root, then run again."
    return 0
  fi
  echo "== Building bank_unsynchronized under ThreadSanitizer (tsan)"
  configure_named tsan -DBANK_UNSYNCHRONIZED=ON
  (cd "$ROOT" && cmake --build build/tsan -j "$(nproc)" --target bank_unsynchronized >/dev/null)
  local dir="$out/tsan"
  mkdir -p "$dir"
  printf 'deposit 0 1\ndeposit 0 1\n' >"$dir/user0.txt"
  cp "$dir/user0.txt" "$dir/user1.txt"
  rm -f "$dir"/p*.log
  (cd "$dir" && NO_COLOR=1 OMP_TOOL_LIBRARIES="/usr/lib/llvm-$(clang_major)/lib/libarcher.so" \
     TSAN_OPTIONS=ignore_noninstrumented_modules=1 \
     "$ROOT/build/tsan/src/bank_unsynchronized" 2 user0.txt user1.txt >console.txt 2>report.txt) || true
  if grep -q 'WARNING: ThreadSanitizer: data race' "$dir/report.txt"; then
    echo "== The race checker's report (first 30 lines; all of it in $dir/report.txt):"
    head -n 30 "$dir/report.txt"
  else
    echo "== The race checker reported no race this time ($dir/report.txt)"
  fi
}

echo "== Building bank and bank_unsynchronized (release)"
configure_named release -DBANK_UNSYNCHRONIZED=ON
(cd "$ROOT" && cmake --build build/release -j "$(nproc)" --target bank bank_unsynchronized >/dev/null)
mkdir -p "$out"
write_files "$out/files"
exact=$((threads * deposits))
echo "== $threads threads, each depositing 1.00 into account 0 $deposits times: exact balance $exact.00"
printf '%-4s  %14s  %20s  %14s  %12s\n' run bank bank_unsynchronized exact "lost updates"
runs_losing=0 total_lost=0
for ((run = 1; run <= runs; run++)); do
  synchronized=$(balance_of "$ROOT/build/release/src/bank" "$out/files")
  unsynchronized=$(balance_of "$ROOT/build/release/src/bank_unsynchronized" "$out/files")
  [ -n "$synchronized" ] && [ -n "$unsynchronized" ] ||
    { echo "no final balance in $out/files/console.txt" >&2; exit 1; }
  lost=$((exact - ${unsynchronized%.*}))
  [ "$lost" -eq 0 ] || runs_losing=$((runs_losing + 1))
  total_lost=$((total_lost + lost))
  printf '%-4s  %14s  %20s  %14s  %12s\n' "$run" "$synchronized" "$unsynchronized" "$exact.00" "$lost"
done
echo "== bank_unsynchronized lost updates in $runs_losing of $runs runs ($total_lost in all)"
if [ "$runs_losing" -eq 0 ]; then
  echo "== No update was lost in these runs: the race is there all the same; the checker shows it"
  show_tsan_report
elif $always_tsan; then
  show_tsan_report
fi
