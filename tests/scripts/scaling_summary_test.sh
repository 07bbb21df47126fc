#!/usr/bin/env bash
# scaling.sh -c: the summary of a made-up scaling.csv, whose numbers are
# chosen so that each column can be worked out by hand: medians of odd and
# even counts, min and max, a negative team start (and the explanation the
# script prints for it), oversubscription beyond the CPUs, speedup and bytes
# read per second. Skipped (77) without gnuplot or product_warm (PRODUCT_WARM),
# which the script needs.
# usage: scaling_summary_test.sh SCALING_SCRIPT SCRATCH_DIR
set -u
script=$1 scratch=$2
status=0
fail() { echo "FAIL: $*"; status=1; }
command -v gnuplot >/dev/null || { echo "skipped: no gnuplot"; exit 77; }
[ -x "${PRODUCT_WARM:-}" ] || { echo "skipped: no product_warm (built with the bench tools)"; exit 77; }

rm -rf "$scratch"
mkdir -p "$scratch"
# Size 100 (8 * (100 * 100 + 100) = 80800 bytes read), threads 1 and 2,
# three runs each; size 200 with one run at one thread (median of one).
cat >"$scratch/in.csv" <<'CSV'
m,n,threads,run,printed_seconds,warm_seconds
100,100,1,1,4e-3,1e-3
100,100,1,2,2e-3,2e-3
100,100,1,3,3e-3,4e-3
100,100,2,1,1e-3,5e-4
100,100,2,2,3e-3,1e-3
100,100,2,3,2e-3,2e-3
200,200,1,1,1e-3,1e-3
CSV
cpus=$(nproc)
(cd "$scratch" && bash "$script" -c in.csv -o "$scratch/out" >"$scratch/stdout" 2>"$scratch/stderr") ||
  { fail "scaling.sh -c failed: $(tail -n 3 "$scratch/stderr")"; exit 1; }
summary="$scratch/out/scaling_summary.csv"
[ -s "$scratch/out/scaling.png" ] || fail "no scaling.png"
[ "$(wc -l <"$summary")" -eq 4 ] || fail "not a header and 3 lines: $(cat "$summary")"

# row SIZE THREADS: that line of the summary.
row() { awk -F, -v m="$1" -v t="$2" '$1 == m && $3 == t' "$summary"; }
# column NAME LINE: the value of column NAME in LINE.
column_of() {
  awk -F, -v name="$1" -v line="$2" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i }
    END { split(line, v, ","); print v[c] }' "$summary"
}
# expect NAME LINE VALUE: the column holds VALUE (compared as numbers).
expect() {
  local got
  got=$(column_of "$1" "$2")
  awk -v a="$got" -v b="$3" 'BEGIN { exit !(a - b < 1e-9 * (b < 0 ? -b : b) + 1e-12 && b - a < 1e-9 * (b < 0 ? -b : b) + 1e-12) }' ||
    fail "$1 of '$2': $got, expected $3"
}
one=$(row 100 1) two=$(row 100 2) big=$(row 200 1)
expect printed_median_seconds "$one" 3e-3
expect printed_min_seconds "$one" 2e-3
expect printed_max_seconds "$one" 4e-3
expect warm_median_seconds "$one" 2e-3
# Team start per run: 3e-3, 0, -1e-3: median 0, min -1e-3.
expect team_start_seconds "$one" 0
expect team_start_min_seconds "$one" -1e-3
# Two threads: per run 5e-4, 2e-3, 0: median 5e-4; speedups 3/2 and 2/1.
expect team_start_seconds "$two" 5e-4
expect printed_speedup "$two" 1.5
expect warm_speedup "$two" 2
expect warm_efficiency "$two" 1
expect warm_read_gb_per_second "$one" 0.0404
expect printed_read_gb_per_second "$big" 0.3216
expect oversubscribed "$one" 0
expect oversubscribed "$two" $((2 > cpus ? 1 : 0))
# Size 200: one run, team start 0, none negative; so no explanation printed
# unless a median is below 0. Make one: a second file with a slower warm run.
grep -q 'below 0' "$scratch/stdout" && fail "an explanation of negative team starts with none below 0"
sed 's/^100,100,2,2,3e-3,1e-3$/100,100,2,2,3e-3,9e-3/; s/^100,100,2,3,2e-3,2e-3$/100,100,2,3,2e-3,9e-3/' \
  "$scratch/in.csv" >"$scratch/negative.csv"
(cd "$scratch" && bash "$script" -c negative.csv -o "$scratch/out2" >"$scratch/stdout2" 2>&1) ||
  fail "scaling.sh -c on negative.csv failed"
grep -q '^== 1 team start median(s) below 0' "$scratch/stdout2" ||
  fail "the negative team start is not explained: $(tail -n 5 "$scratch/stdout2")"
(cd "$scratch" && bash "$script" -c /nonexistent.csv -o "$scratch/out3" >/dev/null 2>&1) &&
  fail "a missing CSV was accepted"
printf 'a,b\n1,2\n' >"$scratch/wrong.csv"
(cd "$scratch" && bash "$script" -c wrong.csv -o "$scratch/out3" >/dev/null 2>&1) &&
  fail "a CSV of other columns was accepted"
[ $status -ne 0 ] || echo "summary columns as worked out by hand; negative team start explained"
exit $status
