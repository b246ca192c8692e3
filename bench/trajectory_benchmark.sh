#!/usr/bin/env bash
# Accuracy and speed of LAS_Trajectory on simulated surveys with a known
# trajectory: four lines 2 km long over vegetation (--vegetation 0.3), the
# aircraft rolling gently (--roll 2), half the canopy pulses with three
# returns, flown at 300 m and at 1000 m above ground. For each: rebuilds the
# trajectory, measures it against the simulator's own at the GPS time of every
# return (RMS and largest error, horizontal and vertical), runs LAS_Quilvor -n
# with the true and with the rebuilt trajectory and prints both exponents, and
# times the rebuilding against LAS_Quilvor -n (2 threads each).
#   bench/trajectory_benchmark.sh [--runs N]
# QUILVOR_BENCH_CACHE sets the cache folder (default ~/.cache/quilvor-bench).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift ;;
    *) echo "usage: $0 [--runs N]" >&2; exit 2 ;;
  esac
  shift
done
build="$top/build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target LAS_Quilvor LAS_SimSurvey LAS_Trajectory trajectory_accuracy >/dev/null
export QUILVOR_THREADS=2

# Seconds of wall time of a command, its output thrown away.
seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

for altitude in 300 1000; do
  cache="${QUILVOR_BENCH_CACHE:-$HOME/.cache/quilvor-bench}/trajectory_$altitude"
  if [ ! -f "$cache/done" ]; then
    rm -rf "$cache"
    mkdir -p "$cache"
    echo "Simulating the survey at $altitude m into $cache (once) ..."
    "$build/LAS_SimSurvey/LAS_SimSurvey" --out "$cache" --altitude "$altitude" --lines 4 --length 2000 --tile 1000 \
      --vegetation 0.3 --roll 2 --returns 3 --seed 7 >"$cache.summary"
    touch "$cache/done"
  fi
  cd "$cache"
  read -r -a args <<<"$(sed -n 's/^Tool arguments: //p' "$cache.summary")"
  rebuilt_args=("${args[@]}")
  rebuilt_args[1]=rebuilt.txt
  returns=$(sed -n 's/^Returns: *//p' "$cache.summary")
  echo
  echo "== $altitude m above ground: $returns returns in $(wc -w <las_list.txt) files, $(du -sh . | cut -f1) =="
  "$build/LAS_Trajectory/LAS_Trajectory" las_list.txt rebuilt.txt | sed -n 's/^Multi-return pulses: */Multi-return pulses: /p; s/^  Path error: */Path error, estimated: /p'
  "$build/bench/trajectory_accuracy" las_list.txt trajectory.txt rebuilt.txt | sed 's/^/Error at the returns: /'
  truth=$("$build/LAS_Quilvor" "${args[@]}" -n | sed -n 's/^Optimal Range Normalization Exponent: *//p')
  rebuilt=$("$build/LAS_Quilvor" "${rebuilt_args[@]}" -n | sed -n 's/^Optimal Range Normalization Exponent: *//p')
  echo "Exponent: $truth with the true trajectory, $rebuilt with the rebuilt one"
  for ((r = 1; r <= runs; ++r)); do
    t_rebuild=$(seconds "$build/LAS_Trajectory/LAS_Trajectory" las_list.txt rebuilt.txt)
    t_tool=$(seconds "$build/LAS_Quilvor" "${args[@]}" -n)
    echo "Time (2 threads): rebuilding $t_rebuild s, LAS_Quilvor -n $t_tool s"
  done
  rm -f rebuilt.txt
done
