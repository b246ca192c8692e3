#!/usr/bin/env bash
# Calibration of the interval of the exponent: simulates ten surveys that
# differ only in their seed (LAS_SimSurvey --seed 1 .. 10, otherwise its
# defaults plus any arguments given here), runs LAS_Quilvor -n --report on
# each, and compares the spread (standard deviation) of the ten exponents with
# the median standard error the reports give. Calibrated: a ratio between 0.5
# and 2.
#   bench/calibration.sh [build folder] [LAS_SimSurvey options ...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
shift || true
work=$(mktemp -d "${TMPDIR:-/tmp}/quilvor-calibration.XXXXXX")
trap 'rm -rf "$work"' EXIT
for seed in 1 2 3 4 5 6 7 8 9 10; do
  dir="$work/seed$seed"
  mkdir -p "$dir"
  summary=$("$build/LAS_SimSurvey/LAS_SimSurvey" --out "$dir" --seed "$seed" "$@")
  read -r -a args <<<"$(sed -n 's/^Tool arguments: //p' <<<"$summary")"
  (cd "$dir" && "$build/LAS_Quilvor" "${args[@]}" -n --report report.json >/dev/null)
  python3 -c '
import json, sys
j = json.load(open(sys.argv[1]))
print(sys.argv[2], repr(j["exponent"]), repr(j["interval"]["standard_error"]), j["pairs"])' "$dir/report.json" "$seed"
done | tee "$work/results.txt"
python3 - "$work/results.txt" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
e = [float(r[1]) for r in rows]
se = [float(r[2]) for r in rows]
spread = statistics.stdev(e)
median = statistics.median(se)
print(f"exponents: mean {statistics.mean(e):.5f}, standard deviation {spread:.5f}")
print(f"median reported standard error {median:.5f}; ratio spread / standard error {spread / median:.2f}",
      "(calibrated)" if 0.5 <= spread / median <= 2 else "(NOT calibrated)")
PY
