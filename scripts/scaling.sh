#!/usr/bin/env bash
# Scaling study of product_timer: runs it over thread counts 1..N on a few
# matrix sizes, several runs each, and writes
#   scaling.csv          every run: m, n, threads, run, seconds
#   scaling_summary.csv  per size and thread count: median seconds, speedup
#                        over one thread, parallel efficiency
#   scaling.png          speedup and efficiency against thread count
#
# usage: scripts/scaling.sh [-t MAX_THREADS] [-r RUNS] [-s "SIZE ..."] [-o DIR]
#   -t  largest thread count (default: the number of CPUs)
#   -r  runs per size and thread count (default 5); the median counts
#   -s  square matrix sizes (default "1000 4000 8000")
#   -o  output folder (default build/scaling)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

max_threads=$(nproc)
runs=5
sizes="1000 4000 8000"
out="$ROOT/build/scaling"
while getopts "t:r:s:o:" opt; do
  case $opt in
    t) max_threads=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) sizes=$OPTARG ;;
    o) out=$OPTARG ;;
    *) sed -n 's/^# \{0,1\}//;9,13p' "${BASH_SOURCE[0]}" >&2; exit 1 ;;
  esac
done
for value in "$max_threads" "$runs"; do
  [[ $value =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $value" >&2; exit 1; }
done
for size in $sizes; do
  [[ $size =~ ^[1-9][0-9]*$ ]] || { echo "not a positive size: $size" >&2; exit 1; }
done

ensure_packages $BASE_PACKAGES gnuplot-nox
build_preset release
program="$ROOT/build/release/product_timer/product_timer"
mkdir -p "$out"
csv="$out/scaling.csv"
summary="$out/scaling_summary.csv"
png="$out/scaling.png"

# Runs in the order run, size, threads, so that a passing disturbance on a
# shared machine spreads over all thread counts instead of hitting one.
echo "m,n,threads,run,seconds" >"$csv"
for ((run = 1; run <= runs; run++)); do
  for size in $sizes; do
    for ((t = 1; t <= max_threads; t++)); do
      line=$("$program" "$t" "$size" "$size")
      seconds=$(sed -n 's/^Elapsed time of multiplication part only = \(.*\) seconds$/\1/p' <<<"$line")
      [ -n "$seconds" ] || { echo "unexpected output: $line" >&2; exit 1; }
      echo "$size,$size,$t,$run,$seconds" >>"$csv"
    done
  done
  echo "== run $run of $runs done"
done

# Median per size and thread count, then speedup and efficiency against the
# median of one thread.
tail -n +2 "$csv" | sort -t, -k1,1n -k3,3n -k5,5g | awk -F, '
  function flush() {
    if (count == 0) return
    median = count % 2 ? times[(count + 1) / 2] : (times[count / 2] + times[count / 2 + 1]) / 2
    if (threads == 1) base = median
    printf "%d,%d,%d,%.6e,%.4f,%.4f\n", m, n, threads, median, base / median, base / median / threads
    count = 0
  }
  BEGIN { print "m,n,threads,median_seconds,speedup,efficiency" }
  $1 != m || $3 != threads { flush(); m = $1; n = $2; threads = $3 }
  { times[++count] = $5 }
  END { flush() }' >"$summary"

cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)
plots_speedup="" plots_efficiency=""
for size in $sizes; do
  select="(\$1 == $size ? \$3 : 1/0)"
  plots_speedup+="'$summary' using $select:5 with linespoints title '${size} x ${size}', "
  plots_efficiency+="'$summary' using $select:6 with linespoints title '${size} x ${size}', "
done
gnuplot <<EOF
set terminal pngcairo size 1200,520 font ",11" noenhanced
set output '$png'
set datafile separator ','
set key top left
set grid
set xrange [0.5:$max_threads + 0.5]
set xtics 1
set multiplot layout 1,2 title "product_timer scaling, median of $runs runs ($(nproc) CPUs: $cpu)"
set title 'Speedup over one thread'
set xlabel 'threads'
set ylabel 'speedup'
set yrange [0:*]
plot ${plots_speedup} x with lines dashtype 2 linecolor 'gray' title 'ideal'
set title 'Parallel efficiency (speedup / threads)'
set ylabel 'efficiency'
set yrange [0:1.2]
set key top right
plot ${plots_efficiency} 1 with lines dashtype 2 linecolor 'gray' title 'ideal'
unset multiplot
EOF

echo "== Wrote $csv"
echo "== Wrote $summary"
echo "== Wrote $png"
column -s, -t "$summary"
