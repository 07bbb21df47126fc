#!/usr/bin/env bash
# scaling.sh -c: the summary of a made-up scaling.csv, whose numbers are
# chosen so that each column can be worked out by hand: medians of odd and
# even counts, min and max, a negative team start (and the explanation the
# script prints for it), oversubscription beyond the CPUs, speedup and bytes
# read per second; the plot where gnuplot is installed, status 1 without it.
# Then a study without gnuplot, as root and otherwise: it measures (a
# stand-in product_timer), writes both CSV files, says how to get the plot
# and exits 0, and installs nothing. Skipped (77) without product_warm
# (PRODUCT_WARM), which gives the medians.
# usage: scaling_summary_test.sh SCALING_SCRIPT SCRATCH_DIR
set -u
script=$1 scratch=$2
status=0
fail() { echo "FAIL: $*"; status=1; }
[ -x "${PRODUCT_WARM:-}" ] || { echo "skipped: no product_warm (built with the bench tools)"; exit 77; }
# -c plots, and fails where it cannot.
plot_status=1
! command -v gnuplot >/dev/null || plot_status=0

rm -rf "$scratch"
mkdir -p "$scratch"
# A copy of the scripts for the study without gnuplot (below); its stand-ins
# fail for apt-get, so that no run of this test installs anything as root.
source "$(dirname "${BASH_SOURCE[0]}")/stand_ins.sh"
copy=$scratch/nognuplot
set_up_copy "$(dirname "$script")" "$copy" apt-get
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
(cd "$scratch" && PATH="$copy/bin:$PATH" bash "$script" -c in.csv -o "$scratch/out" >"$scratch/stdout" 2>"$scratch/stderr")
rc=$?
[ "$rc" -eq "$plot_status" ] || fail "scaling.sh -c: status $rc: $(tail -n 3 "$scratch/stderr")"
summary="$scratch/out/scaling_summary.csv"
[ -s "$summary" ] || { fail "no summary"; exit 1; }
[ -s "$scratch/out/scaling.png" ] || [ "$plot_status" -ne 0 ] || fail "no scaling.png"
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
(cd "$scratch" && PATH="$copy/bin:$PATH" bash "$script" -c negative.csv -o "$scratch/out2" >"$scratch/stdout2" 2>&1)
[ $? -eq "$plot_status" ] || fail "scaling.sh -c on negative.csv: status not $plot_status"
grep -q '^== 1 team start median(s) below 0' "$scratch/stdout2" ||
  fail "the negative team start is not explained: $(tail -n 5 "$scratch/stdout2")"
(cd "$scratch" && bash "$script" -c /nonexistent.csv -o "$scratch/out3" >/dev/null 2>&1) &&
  fail "a missing CSV was accepted"
printf 'a,b\n1,2\n' >"$scratch/wrong.csv"
(cd "$scratch" && bash "$script" -c wrong.csv -o "$scratch/out3" >/dev/null 2>&1) &&
  fail "a CSV of other columns was accepted"

# Without gnuplot or apt-get on PATH: a study of the copy (stand-ins for its
# build, product_timer and dpkg-query) measures, writes both CSV files, drops
# an older plot, says how to get one and exits 0; -c then fails for want of it.
rm -f "$copy/calls"
stub() { mkdir -p "$(dirname "$1")" && printf '#!/bin/sh\n%s\n' "$2" >"$1" && chmod 755 "$1"; }
stub "$copy/bin/cmake" 'exit 0'
stub "$copy/bin/dpkg-query" '[ "$3" = gnuplot-nox ] || echo "install ok installed"'
stub "$copy/repo/build/release/product_timer/product_timer" 'echo "Elapsed time of multiplication part only = 1e-03 seconds"'
mkdir -p "$copy/work/out" && touch "$copy/work/out/scaling.png"
no_gnuplot=$(path_without "$copy/path" gnuplot apt-get dpkg-query cmake)
for run in "0 -t 2 -r 1 -s 20" "1 -c out/scaling.csv"; do
  # shellcheck disable=SC2086 # the options are words
  (cd "$copy/work" && PATH="$copy/bin:$no_gnuplot" bash ../repo/scripts/scaling.sh ${run#* } -o out >../out 2>../err)
  rc=$? lines=$(cat "$copy"/work/out/scaling{,_summary}.csv 2>/dev/null | wc -l)
  [ "$rc,$lines" = "${run%% *},6" ] && [ ! -e "$copy/work/out/scaling.png" ] && ! grep -q png "$copy/out" &&
    grep -q 'apt-get install -y gnuplot-nox' "$copy/err" && grep -q 'scaling.sh -c .*scaling.csv' "$copy/err" ||
    fail "without gnuplot, scaling.sh ${run#* }: status $rc, $lines CSV lines: $(cat "$copy/err")"
done
# As root the script tries to install it (the stand-in refuses); otherwise not.
[ "$(id -u)" -eq 0 ] && ! grep -q '^apt-get ' "$copy/calls" 2>/dev/null && fail "as root, no install tried"
[ "$(id -u)" -ne 0 ] && [ -e "$copy/calls" ] && fail "without root, commands ran: $(cat "$copy/calls")"
[ $status -ne 0 ] || echo "summary columns as worked out by hand; negative team start explained; no gnuplot: measured, plot left out"
exit $status
