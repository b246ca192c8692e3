#!/usr/bin/env bash
# How good LAS_Trajectory says its rebuilt path is, against how good it is:
# simulated surveys of three lines 2 km long (vegetation 0.3, three-return
# pulses) in six conditions, each with a few seeds. For every flight line it
# prints the error the program estimates (RMS over the line, horizontal and
# vertical) beside the true one (RMS at the returns of the line, measured
# with bench/trajectory_accuracy), and whether the default --max-error lets
# the survey through.
#   bench/trajectory_error.sh [--seeds "1 2 3"]
# QUILVOR_BENCH_CACHE sets the cache folder (default ~/.cache/quilvor-bench).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seeds="1 2 3"
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds=$2; shift ;;
    *) echo "usage: $0 [--seeds \"1 2 3\"]" >&2; exit 2 ;;
  esac
  shift
done
build="$top/build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target LAS_SimSurvey LAS_Trajectory trajectory_accuracy >/dev/null

common="--lines 3 --length 2000 --tile 1000 --vegetation 0.3 --returns 3"
cases=(
  "ordinary-300|--altitude 300 --roll 2"
  "ordinary-1000|--altitude 1000 --roll 2"
  "scattered-300|--altitude 300 --roll 2 --position-noise 0.03"
  "open-level|--altitude 1000 --open-ground 1140"
  "open-rolling|--altitude 1000 --open-ground 1140 --roll 2"
  "thin-rolling|--altitude 1000 --roll 2 --vegetation 0.0005"
)
printf '%-14s %4s %4s  %-22s %-22s %s\n' case seed line "estimated (h, v)" "true (h, v)" "default --max-error"
for c in "${cases[@]}"; do
  name=${c%%|*}
  read -r -a extra <<<"${c#*|}"
  for seed in $seeds; do
    dir="${QUILVOR_BENCH_CACHE:-$HOME/.cache/quilvor-bench}/error_${name}_$seed"
    if [ ! -f "$dir/done" ]; then
      rm -rf "$dir"
      mkdir -p "$dir"
      # shellcheck disable=SC2086
      "$build/LAS_SimSurvey/LAS_SimSurvey" --out "$dir" --seed "$seed" $common "${extra[@]}" >/dev/null
      touch "$dir/done"
    fi
    cd "$dir"
    if "$build/LAS_Trajectory/LAS_Trajectory" las_list.txt rebuilt.txt >/dev/null 2>&1; then verdict=passes
    else verdict=refused; fi
    "$build/LAS_Trajectory/LAS_Trajectory" las_list.txt rebuilt.txt --accept-inaccurate >trajectory.out
    "$build/bench/trajectory_accuracy" las_list.txt trajectory.txt rebuilt.txt >accuracy.out
    paste <(sed -n 's/^  Path error: *\([0-9.]*\) horizontal, \([0-9.]*\) vertical.*/\1 \2/p' trajectory.out) \
          <(sed -n 's/^source \([0-9]*\):.*horizontal RMS \([0-9.]*\) *vertical RMS \([0-9.]*\)/\1 \2 \3/p' accuracy.out) |
      while read -r eh ev line th tv; do
        printf '%-14s %4s %4s  %-22s %-22s %s\n' "$name" "$seed" "$line" "$eh, $ev" "$th, $tv" "$verdict"
      done
    rm -f rebuilt.txt
  done
done
