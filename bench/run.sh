#!/usr/bin/env bash
# Runs the side-by-side benchmark suite and draws its latency plot.
#
#   bash bench/run.sh [--quick] [--only WORKLOAD]...
#
# Uses the binaries of $QUELLIN_BENCH_BUILD (default build/default, which `bash tools/run.sh
# bench` builds first) and writes table.txt, latency.png and the samples behind the plot to
# $QUELLIN_BENCH_OUT (default <build>/bench-results). A near end whose library is missing keeps
# its column, marked as not built.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${QUELLIN_BENCH_BUILD:-build/default}"
out="${QUELLIN_BENCH_OUT:-$build/bench-results}"
bin="$build/bench"
mkdir -p "$out"
rm -f "$out"/latency-*.dat

if [ ! -x "$bin/bench-far" ] || [ ! -x "$bin/bench-near-raw" ]; then
  echo "bench: $bin has no benchmark binaries; build first (bash tools/run.sh bench)" >&2
  exit 1
fi

impls=(--impl "raw=$bin/bench-near-raw")
near() {  # near NAME BINARY REASON-IF-MISSING
  if [ -x "$2" ]; then impls+=(--impl "$1=$2"); else impls+=(--absent "$1=$3"); fi
}
near quellin "$bin/bench-near-quellin" "not built yet"
near libserialport "$bin/bench-near-libserialport" "not built"
near asio "$bin/bench-near-asio" "not built"
python=""
for py in /usr/bin/python3 python3; do
  if command -v "$py" >/dev/null && "$py" -c 'import serial' 2>/dev/null; then python="$py"; break; fi
done
if [ -n "$python" ]; then
  impls+=(--impl "pyserial=$python bench/near_pyserial.py")
else
  impls+=(--absent "pyserial=no python3-serial")
fi

started=$(date +%s)
"$bin/bench-far" --out "$out" "${impls[@]}" "$@"

if [ -x "$bin/platform_bench" ] && [[ " $* " != *" --only "* ]]; then
  {
    echo
    echo "platform services (overlapped Win32-shaped calls) against raw syscalls:"
    "$bin/platform_bench"
  } | tee -a "$out/table.txt"
fi

if command -v gnuplot >/dev/null && compgen -G "$out/latency-*.dat" >/dev/null; then
  plots1=() plots2=()
  for f in "$out"/latency-*.dat; do
    name=$(basename "$f" .dat)
    name=${name#latency-}
    style="lw 2"
    [ "$name" = raw ] && style="lw 2 dt 2 lc rgb 'black'"  # the limit, drawn apart
    plots1+=("'$f' using 2:1 with lines $style title '$name'")
    plots2+=("'$f' using 3:1 with lines $style title '$name'")
  done
  join() { local IFS=,; echo "$*"; }
  gnuplot <<GNUPLOT
set terminal pngcairo size 1200,500 noenhanced
set output '$out/latency.png'
set multiplot layout 1,2 title 'Latency distribution on a pseudo-terminal (cumulative)'
set logscale x
set grid
set key bottom right
set ylabel 'fraction of trials'
set xlabel 'byte written at far end -> handler runs (us)'
plot $(join "${plots1[@]}")
set xlabel 'byte written at far end -> echo back at far end (us)'
plot $(join "${plots2[@]}")
unset multiplot
GNUPLOT
  echo "plot: $out/latency.png"
fi
echo "table: $out/table.txt ($(( $(date +%s) - started )) s)"
