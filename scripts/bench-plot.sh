#!/usr/bin/env bash
# Plots the figures of scripts/bench-drain.sh: rows/s of the drain variants
# against N (sync on and off) and the time of one pass against the backlog.
#
#   scripts/bench-plot.sh [RESULTS-DIR] [PNG]   defaults: docs/perf, docs/perf/drain.png
#   scripts/bench-plot.sh --passes [RESULTS-DIR] [PNG]   rows/s against PASS_ROWS
#                                               (passes.dat), default docs/perf/passes.png
set -euo pipefail
cd "$(dirname "$0")/.."
PASSES=
if [ "${1:-}" = --passes ]; then PASSES=1; shift; fi
RES=${1:-docs/perf}
command -v gnuplot >/dev/null || { echo "plot: gnuplot missing (run scripts/deps.sh)" >&2; exit 1; }
if [ -n "$PASSES" ]; then
  PNG=${2:-$RES/passes.png}
  [ -s "$RES/passes.dat" ] || { echo "plot: $RES/passes.dat missing, plot skipped" >&2; exit 0; }
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,560 font ",10" noenhanced
set output "$PNG"
set logscale x
set grid
set key top left
set title "Drain of 20,000 rows with a commit per pass, sync on (higher is better)"
set xlabel "PASS_ROWS"
set ylabel "rows per second"
set xtics ("1" 1, "9" 9, "50" 50, "100" 100, "500" 500, "1,000" 1000)
set yrange [0:*]
plot "$RES/passes.dat" using 1:2 with linespoints lw 2 pt 7 title "daemon (AUTO_COMMIT = 0)", \
     "$RES/passes.dat" using 1:3 with linespoints lw 2 pt 5 title "C floor of the same design"
GNUPLOT
  echo "plot: $PNG"
  exit 0
fi
PNG=${2:-$RES/drain.png}
for f in drain.dat growth.dat; do
  [ -s "$RES/$f" ] || { echo "plot: $RES/$f missing, plot skipped" >&2; exit 0; }
done
gnuplot <<GNUPLOT
set terminal pngcairo size 1400,640 font ",10"
set output "$PNG"
set multiplot layout 1,2
set logscale x
set grid
set key outside bottom center horizontal maxrows 4
set title "Drain throughput (higher is better)"
set xlabel "rows drained (N)"
set ylabel "rows per second"
set xtics ("1,000" 1000, "10,000" 10000, "100,000" 100000)
set yrange [0:*]
on = "< awk '\$2==1' $RES/drain.dat"
off = "< awk '\$2==0' $RES/drain.dat"
plot \
  on using 1:3 with linespoints lw 2 lc 1 pt 7 title "a daemon, sync", \
  on using 1:4 with linespoints lw 2 lc 2 pt 7 title "b per-row floor, sync", \
  on using 1:5 with linespoints lw 2 lc 3 pt 7 title "c pyodbc, sync", \
  on using 1:6 with linespoints lw 2 lc 4 pt 7 title "d batch, sync", \
  on using 1:7 with linespoints lw 2 lc 6 pt 9 title "e daemon, commit per pass, sync", \
  on using 1:8 with linespoints lw 2 lc 7 pt 9 title "f commit-per-pass floor, sync", \
  on using 1:9 with linespoints lw 1 lc 1 pt 4 title "g a without journal, sync", \
  on using 1:10 with linespoints lw 1 lc 6 pt 4 title "h e without journal, sync", \
  off using 1:3 with linespoints lw 1 dt 2 lc 1 pt 6 title "a, no sync", \
  off using 1:4 with linespoints lw 1 dt 2 lc 2 pt 6 title "b, no sync", \
  off using 1:5 with linespoints lw 1 dt 2 lc 3 pt 6 title "c, no sync", \
  off using 1:6 with linespoints lw 1 dt 2 lc 4 pt 6 title "d, no sync", \
  off using 1:7 with linespoints lw 1 dt 2 lc 6 pt 8 title "e, no sync", \
  off using 1:8 with linespoints lw 1 dt 2 lc 7 pt 8 title "f, no sync"
set title "One pass (select + 9 writes and deletes) against the backlog"
set xlabel "pending rows"
set ylabel "microseconds per pass"
set xtics ("1k" 1000, "10k" 10000, "100k" 100000, "1M" 1000000)
g = "$RES/growth.dat"
plot g using 1:2 with linespoints lw 2 pt 7 title "median", \
     g using 1:3 with linespoints lw 1 dt 2 pt 6 title "90th percentile", \
     g using 1:4 with linespoints lw 1 pt 5 title "select alone (median)"
unset multiplot
GNUPLOT
echo "plot: $PNG"
