#!/usr/bin/env bash
# Scaling study of product_timer: runs it over thread counts 1..N on a few
# matrix sizes, several runs each, and beside every run measures the warm
# product (product_warm: the same data and function with the thread team
# already running). Writes
#   scaling.csv          every run, one line each:
#                          m, n                  matrix size (rows, columns)
#                          threads               thread count
#                          run                   run number, 1..RUNS
#                          printed_seconds       the time product_timer printed
#                          warm_seconds          product_warm's median of 11 calls
#   scaling_summary.csv  one line per size and thread count, over the runs:
#                          m, n, threads
#                          oversubscribed        1 where threads exceed the CPUs, else 0
#                          printed_median_seconds, printed_min_seconds,
#                          printed_max_seconds   the printed time
#                          warm_median_seconds, warm_min_seconds,
#                          warm_max_seconds      the warm product
#                          team_start_seconds    median of printed minus warm, each
#                                                pair measured one right after the
#                                                other; below 0 where the warm product
#                                                was slower than the cold run (noise)
#                          team_start_min_seconds, team_start_max_seconds
#                          printed_speedup, warm_speedup
#                                                one thread's median over this one's
#                          printed_efficiency, warm_efficiency
#                                                speedup divided by threads
#                          printed_read_gb_per_second, warm_read_gb_per_second
#                                                bytes of A and x read (8 (m n + n))
#                                                per median time, in 1e9 bytes/s
#   scaling.png          speedup, team start, time (median, min-max bars) and
#                        bytes read per second against threads; the kernel and
#                        processor in the title, oversubscription shaded. Drawn
#                        by gnuplot, which is installed when run as root; without
#                        it the script measures and summarises, says the plot was
#                        left out and how to get it (apt-get install -y
#                        gnuplot-nox, then -c), and exits 0 (1 with -c)
#
# usage: scripts/scaling.sh [-h] [-t MAX_THREADS] [-r RUNS] [-s "SIZE ..."] [-o DIR] [-c CSV]
#   -h, --help  print this usage and exit
#   -t          largest thread count (default: the number of CPUs, at least 4;
#               beyond the CPUs the threads are oversubscribed)
#   -r          runs per size and thread count (default 5); the median counts
#   -s          square matrix sizes (default "1000 4000 8000")
#   -o          output folder (default build/scaling)
#   -c          summarise and plot an existing scaling.csv instead of running
#               (its sizes and thread counts; this machine's CPUs and kernel);
#               status 1 when there is no gnuplot to plot it
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

cpus=$(nproc)
max_threads=$((cpus > 4 ? cpus : 4))
runs=5
from_csv=""
sizes="1000 4000 8000"
out="$ROOT/build/scaling"
[ "${1:-}" != --help ] || { print_usage; exit 0; }
while getopts "ht:r:s:o:c:" opt; do
  case $opt in
    h) print_usage; exit 0 ;;
    t) max_threads=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) sizes=$OPTARG ;;
    o) out=$OPTARG ;;
    c) from_csv=$OPTARG ;;
    *) print_usage >&2; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
# refuse MESSAGE: MESSAGE and the usage on stderr, status 1.
refuse() { echo "$SCRIPT_NAME: $1" >&2; print_usage >&2; exit 1; }
[ $# -eq 0 ] || refuse "unexpected argument: $1"
for value in "$max_threads" "$runs"; do
  [[ $value =~ ^[1-9][0-9]*$ ]] || refuse "not a positive count: $value"
done
[ -n "${sizes// /}" ] || refuse "no size given"
for size in $sizes; do
  [[ $size =~ ^[1-9][0-9]*$ ]] || refuse "not a positive size: $size"
done

program="$ROOT/build/release/product_timer/product_timer"
# PRODUCT_WARM names another build's product_warm (the tests' own, for -c).
warm=${PRODUCT_WARM:-$ROOT/build/release/bench/product_warm}
bits_check="$(dirname "$warm")/bits_check"
if [ -n "$from_csv" ]; then
  [ -r "$from_csv" ] || { echo "cannot read $from_csv" >&2; exit 1; }
  [ -x "$warm" ] || { echo "missing $warm, which gives the medians: run without -c first, or set PRODUCT_WARM" >&2; exit 1; }
  head -n 1 "$from_csv" | grep -qx 'm,n,threads,run,printed_seconds,warm_seconds' ||
    { echo "$from_csv: not a scaling.csv (first line: m,n,threads,run,printed_seconds,warm_seconds)" >&2; exit 1; }
else
  ensure_packages $BASE_PACKAGES
  build_named release
  [ -x "$warm" ] || { echo "missing $warm (configured with -DBUILD_BENCHMARKS=OFF?)" >&2; exit 1; }
fi
# Any gnuplot will do (gnuplot-nox, -qt, -x11); only none at all asks for one.
# As root it is installed; otherwise, or when that fails, the study runs
# without the plot and says so at the end.
command -v gnuplot >/dev/null || [ "$(id -u)" -ne 0 ] || ensure_packages gnuplot-nox || true
mkdir -p "$out"
csv="$out/scaling.csv"
summary="$out/scaling_summary.csv"
png="$out/scaling.png"

if [ -n "$from_csv" ]; then
  [ "$(realpath "$from_csv")" = "$(realpath -m "$csv")" ] || cp "$from_csv" "$csv"
  sizes=$(tail -n +2 "$csv" | cut -d, -f1 | sort -nu | tr '\n' ' ')
  max_threads=$(tail -n +2 "$csv" | cut -d, -f3 | sort -n | tail -n 1)
  runs=$(tail -n +2 "$csv" | cut -d, -f4 | sort -n | tail -n 1)
  [ -n "$max_threads" ] || { echo "$from_csv holds no run" >&2; exit 1; }
else
  # Runs in the order run, size, threads, so that a passing disturbance on a
  # shared machine spreads over all thread counts instead of hitting one.
  echo "m,n,threads,run,printed_seconds,warm_seconds" >"$csv"
  for ((run = 1; run <= runs; run++)); do
    for size in $sizes; do
      for ((t = 1; t <= max_threads; t++)); do
        line=$("$program" "$t" "$size" "$size")
        seconds=$(sed -n 's/^Elapsed time of multiplication part only = \(.*\) seconds$/\1/p' <<<"$line")
        [ -n "$seconds" ] || { echo "unexpected output: $line" >&2; exit 1; }
        warm_seconds=$("$warm" "$t" "$size" "$size" 11)
        [[ $warm_seconds =~ ^[0-9.e+-]+$ ]] || { echo "unexpected output: $warm_seconds" >&2; exit 1; }
        echo "$size,$size,$t,$run,$seconds,$warm_seconds" >>"$csv"
      done
    done
    echo "== run $run of $runs done"
  done
fi

# median: the median of the numbers on standard input, one a line (the mean
# of the middle two for an even count), by the benchmark's own rule
# (product_warm --median).
median() {
  printf '%.6e\n' "$("$warm" --median)"
}

# stats: median, min and max of the numbers on standard input, comma-separated.
stats() {
  local values
  values=$(sort -g)
  printf '%s,%.6e,%.6e\n' "$(median <<<"$values")" "$(head -n 1 <<<"$values")" \
    "$(tail -n 1 <<<"$values")"
}

# Per size and thread count: median, min and max of both times and of the
# team start (printed minus warm of each run: the two are measured one right
# after the other, so a slow spell of a shared machine that affects both
# cancels out), then speedup and efficiency of each median against its own
# median with one thread, and the bytes of A and x read per second.
header="m,n,threads,oversubscribed,printed_median_seconds,printed_min_seconds,printed_max_seconds"
header+=",warm_median_seconds,warm_min_seconds,warm_max_seconds"
header+=",team_start_seconds,team_start_min_seconds,team_start_max_seconds"
header+=",printed_speedup,warm_speedup,printed_efficiency,warm_efficiency"
header+=",printed_read_gb_per_second,warm_read_gb_per_second"
echo "$header" >"$summary"
for size in $sizes; do
  base=""
  for ((t = 1; t <= max_threads; t++)); do
    rows=$(awk -F, -v m="$size" -v t="$t" 'NR > 1 && $1 == m && $3 == t' "$csv")
    [ -n "$rows" ] || continue
    n=$(head -n 1 <<<"$rows" | cut -d, -f2)
    printed=$(cut -d, -f5 <<<"$rows" | stats)
    warm_stats=$(cut -d, -f6 <<<"$rows" | stats)
    start=$(awk -F, '{ printf "%.6e\n", $5 - $6 }' <<<"$rows" | stats)
    [ -n "$base" ] || base="${printed%%,*},${warm_stats%%,*}"
    awk -v m="$size" -v n="$n" -v t="$t" -v cpus="$cpus" -v base="$base" \
        -v times="$printed,$warm_stats,$start" 'BEGIN {
      split(base, b, ","); split(times, v, ",")
      bytes = 8 * (m * n + n)
      printf "%d,%d,%d,%d,%s,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f\n", m, n, t, (t > cpus ? 1 : 0), times,
             b[1] / v[1], b[2] / v[4], b[1] / v[1] / t, b[2] / v[4] / t,
             bytes / v[1] / 1e9, bytes / v[4] / 1e9 }' >>"$summary"
  done
done

# The processor's name, by the benchmark's own rule (product_warm
# --processor): "model name" of /proc/cpuinfo on x86, lscpu's "Model name" on
# aarch64, else the implementer and part codes.
processor_name() {
  "$warm" --processor
}
cpu=$(processor_name)
# The kernel product_timer picks on this processor (kernel_name, through
# bits_check, built beside product_warm).
kernel="kernel unknown"
[ ! -x "$bits_check" ] || kernel="$("$bits_check" --kernel) kernel"
negative=$(awk -F, 'NR > 1 && $11 < 0' "$summary" | wc -l)

# The plots read the summary's columns by number (gnuplot counts from 1).
plots_speedup="" plots_start="" plots_time="" plots_rate="" colour=1
for size in $sizes; do
  select="(\$1 == $size ? \$3 : 1/0)"
  left="(\$1 == $size ? \$3 - 0.08 : 1/0)" right="(\$1 == $size ? \$3 + 0.08 : 1/0)"
  plots_speedup+="'$summary' using $select:15 with linespoints linecolor $colour linewidth 2 pointtype 7 title '${size}: warm', "
  plots_speedup+="'$summary' using $select:14 with linespoints linecolor $colour dashtype 2 pointtype 6 title '${size}: printed', "
  plots_start+="'$summary' using $select:(\$11 * 1e3):(\$12 * 1e3):(\$13 * 1e3) with yerrorlines linecolor $colour linewidth 2 pointtype 7 title '${size} x ${size}', "
  plots_time+="'$summary' using $left:(\$8 * 1e3):(\$9 * 1e3):(\$10 * 1e3) with yerrorlines linecolor $colour linewidth 2 pointtype 7 title '${size}: warm', "
  plots_time+="'$summary' using $right:(\$5 * 1e3):(\$6 * 1e3):(\$7 * 1e3) with yerrorlines linecolor $colour dashtype 2 pointtype 6 title '${size}: printed', "
  plots_rate+="'$summary' using $select:19 with linespoints linecolor $colour linewidth 2 pointtype 7 title '${size}: warm', "
  plots_rate+="'$summary' using $select:18 with linespoints linecolor $colour dashtype 2 pointtype 6 title '${size}: printed', "
  colour=$((colour + 1))
done
# Thread counts beyond the CPUs are shaded: there threads share CPUs, and the
# ideal speedup stays at the CPU count.
shade=""
if [ "$max_threads" -gt "$cpus" ]; then
  shade="set object 1 rect from $cpus + 0.5, graph 0 to $max_threads + 0.5, graph 1 behind fillcolor rgb '#e4e4e4' fillstyle solid noborder"
fi
# An older plot in the folder would not show these numbers.
rm -f "$png"
plotted=""
! command -v gnuplot >/dev/null || plotted=yes
[ -z "$plotted" ] || gnuplot <<EOF
set terminal pngcairo size 1600,1000 font ",11" noenhanced
set output '$png'
set datafile separator ','
set grid
set xrange [0.5:$max_threads + 0.5]
set xtics 1
set xlabel 'threads'
# Keys beside the panels, where they hide no point; room above the highest
# point, so that the flat ideal line is not drawn on the border.
set key outside right top
set offsets 0, 0, graph 0.08, 0
$shade
set multiplot layout 2,2 title "product_timer scaling, $kernel, median of $runs runs (bars: min to max)\n$cpus CPUs: $cpu. Grey: more threads than CPUs (oversubscribed)\nwarm (solid): the product with its thread team already running; printed (dashed): what product_timer prints, team start included"
# Panels of the same width whatever their keys' widths.
set lmargin at screen 0.05
set rmargin at screen 0.37
set title 'Speedup over one thread'
set ylabel 'speedup'
set yrange [0:*]
plot ${plots_speedup} (x < $cpus ? x : $cpus) with lines dashtype 3 linewidth 2 linecolor 'dark-gray' title 'ideal, flat from the CPUs'
set lmargin at screen 0.55
set rmargin at screen 0.87
set title "Team start: printed minus warm ($negative medians below 0)\nbelow 0: the warm product was slower than the cold run (noise)"
set ylabel 'milliseconds'
set yrange [*:*]
plot ${plots_start} 0 with lines linecolor 'black' notitle
set lmargin at screen 0.05
set rmargin at screen 0.37
set title 'Time of one product (warm: left of each thread count, printed: right)'
set ylabel 'milliseconds (log scale)'
set logscale y
plot ${plots_time%, }
unset logscale y
set lmargin at screen 0.55
set rmargin at screen 0.87
set title 'Bytes of A and x read per second, from the median time'
set ylabel 'GB/s (1e9 bytes)'
set yrange [0:*]
plot ${plots_rate%, }
unset multiplot
EOF

echo "== Wrote $csv"
echo "== Wrote $summary"
[ -z "$plotted" ] || echo "== Wrote $png"
column -s, -t "$summary"
if [ "$negative" -gt 0 ]; then
  echo "== $negative team start median(s) below 0: there the warm product (its team already"
  echo "   running) was slower than the cold run. Starting a team costs time and never saves"
  echo "   any, so a negative estimate is noise: a shared machine, a CPU clocking up or down."
  echo "   Read it as \"too small to see at this size\"; more runs (-r) steady it."
fi
if [ -z "$plotted" ]; then
  {
    echo "$SCRIPT_NAME: no gnuplot, so the plot ($png) was left out. To draw it, install"
    echo "  gnuplot (as root: apt-get install -y gnuplot-nox), then run:"
    echo "  bash $ROOT/scripts/scaling.sh -c $csv -o $out"
  } >&2
  # With -c the plot was what was asked for.
  [ -z "$from_csv" ] || exit 1
fi
