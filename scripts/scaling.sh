#!/usr/bin/env bash
# Scaling study of product_timer: runs it over thread counts 1..N on a few
# matrix sizes, several runs each, and beside every run measures the warm
# product (product_warm: the same data and function with the thread team
# already running). Writes
#   scaling.csv          every run: m, n, threads, run, printed seconds,
#                        warm seconds
#   scaling_summary.csv  per size and thread count: medians of both, the
#                        team start (median over the runs of printed minus
#                        warm), speedup and efficiency of each over one
#                        thread
#   scaling.png          speedup of both, and team start, against threads
#
# usage: scripts/scaling.sh [-h] [-t MAX_THREADS] [-r RUNS] [-s "SIZE ..."] [-o DIR]
#   -h, --help  print this usage and exit
#   -t          largest thread count (default: the number of CPUs)
#   -r          runs per size and thread count (default 5); the median counts
#   -s          square matrix sizes (default "1000 4000 8000")
#   -o          output folder (default build/scaling)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

max_threads=$(nproc)
runs=5
sizes="1000 4000 8000"
out="$ROOT/build/scaling"
[ "${1:-}" != --help ] || { print_usage; exit 0; }
while getopts "ht:r:s:o:" opt; do
  case $opt in
    h) print_usage; exit 0 ;;
    t) max_threads=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) sizes=$OPTARG ;;
    o) out=$OPTARG ;;
    *) print_usage >&2; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 0 ] || { echo "unexpected argument: $1" >&2; print_usage >&2; exit 1; }
for value in "$max_threads" "$runs"; do
  [[ $value =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $value" >&2; exit 1; }
done
[ -n "${sizes// /}" ] || { echo "no size given" >&2; exit 1; }
for size in $sizes; do
  [[ $size =~ ^[1-9][0-9]*$ ]] || { echo "not a positive size: $size" >&2; exit 1; }
done

ensure_packages $BASE_PACKAGES gnuplot-nox
build_named release
program="$ROOT/build/release/product_timer/product_timer"
warm="$ROOT/build/release/bench/product_warm"
[ -x "$warm" ] || { echo "missing $warm (configured with -DBUILD_BENCHMARKS=OFF?)" >&2; exit 1; }
mkdir -p "$out"
csv="$out/scaling.csv"
summary="$out/scaling_summary.csv"
png="$out/scaling.png"

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

# Medians per size and thread count, then speedup and efficiency of each
# against its own median with one thread. Team start is the median of the
# differences printed minus warm of each run: the two are measured one right
# after the other, so a slow spell of a shared machine that affects both
# cancels out.
tail -n +2 "$csv" | sort -t, -k1,1n -k3,3n | awk -F, '
  function median(v, count,   i, j, t) {
    for (i = 2; i <= count; i++)
      for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return count % 2 ? v[(count + 1) / 2] : (v[count / 2] + v[count / 2 + 1]) / 2
  }
  function flush(   p, w, d) {
    if (count == 0) return
    p = median(printed, count); w = median(warm, count); d = median(diff, count)
    if (threads == 1) { base_p = p; base_w = w }
    printf "%d,%d,%d,%.6e,%.6e,%.6e,%.4f,%.4f,%.4f,%.4f\n", m, n, threads, p, w, d,
           base_p / p, base_w / w, base_p / p / threads, base_w / w / threads
    count = 0
  }
  BEGIN { print "m,n,threads,printed_median_seconds,warm_median_seconds,team_start_seconds," \
                "printed_speedup,warm_speedup,printed_efficiency,warm_efficiency" }
  $1 != m || $3 != threads { flush(); m = $1; n = $2; threads = $3 }
  { count++; printed[count] = $5 + 0; warm[count] = $6 + 0; diff[count] = $5 - $6 }
  END { flush() }' >"$summary"

# The processor's name: "model name" of /proc/cpuinfo on x86; on aarch64,
# whose /proc/cpuinfo has none, lscpu's "Model name" (lscpu knows the part
# numbers of ARM designs), else the implementer and part codes themselves.
processor_name() {
  local info=${CPUINFO:-/proc/cpuinfo} name
  name=$(sed -n 's/^model name\s*: //p' "$info" | head -n 1)
  [ -n "$name" ] || [ -n "${CPUINFO:-}" ] || name=$(lscpu 2>/dev/null | sed -n 's/^Model name:\s*//p' | head -n 1)
  [ -n "$name" ] || name=$(awk -F': *' '/^CPU implementer/ && !i { i = $2 } /^CPU part/ && !p { p = $2 }
                                  END { if (i != "") print "ARM implementer " i ", part " p }' "$info")
  echo "${name:-unknown processor}"
}
cpu=$(processor_name)
plots_speedup="" plots_start="" colour=1
for size in $sizes; do
  select="(\$1 == $size ? \$3 : 1/0)"
  plots_speedup+="'$summary' using $select:8 with linespoints linecolor $colour linewidth 2 pointtype 7 title '${size}: warm product', "
  plots_speedup+="'$summary' using $select:7 with linespoints linecolor $colour dashtype 2 pointtype 6 title '${size}: printed time', "
  plots_start+="'$summary' using $select:(\$6 * 1e3) with linespoints linecolor $colour linewidth 2 pointtype 7 title '${size} x ${size}', "
  colour=$((colour + 1))
done
gnuplot <<EOF
set terminal pngcairo size 1200,600 font ",11" noenhanced
set output '$png'
set datafile separator ','
set grid
set xrange [0.5:$max_threads + 0.5]
set xtics 1
set xlabel 'threads'
set multiplot layout 1,2 title "product_timer scaling, median of $runs runs ($(nproc) CPUs: $cpu)\nwarm product: the product with its thread team already running; printed time: what product_timer prints, team start included"
set title 'Speedup over one thread (solid: warm product, dashed: printed time)'
set ylabel 'speedup'
set yrange [0:*]
set key top left
plot ${plots_speedup} x with lines dashtype 3 linewidth 2 linecolor 'dark-gray' title 'ideal'
set title 'Team start: printed time minus warm product'
set ylabel 'milliseconds'
set yrange [0:*]
plot ${plots_start%, }
unset multiplot
EOF

echo "== Wrote $csv"
echo "== Wrote $summary"
echo "== Wrote $png"
column -s, -t "$summary"
