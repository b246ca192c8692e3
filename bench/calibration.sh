#!/usr/bin/env bash
# Calibration of the intervals of the exponent: simulates surveys that differ
# only in their seed (LAS_SimSurvey --seed 1 .. SEEDS, default 10, otherwise
# its defaults plus any arguments given here), runs LAS_Quilvor -n --report on
# each, and compares, for the printed exponent and for the one fitted with a
# gain per strip, the spread (standard deviation) of the exponents with the
# median standard error the reports give (calibrated: a ratio between 0.5 and
# 2), counts the intervals that hold the true exponent and their own
# estimate (and the files' intervals that hold the files' own exponents), and
# the runs whose printed exponent lies outside the interval of the fit with
# gains, and how many of those warned.
#   [SEEDS=20] bench/calibration.sh [build folder] [LAS_SimSurvey options ...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
shift || true
work=$(mktemp -d "${TMPDIR:-/tmp}/quilvor-calibration.XXXXXX")
trap 'rm -rf "$work"' EXIT
for seed in $(seq 1 "${SEEDS:-10}"); do
  dir="$work/seed$seed"
  mkdir -p "$dir"
  summary=$("$build/LAS_SimSurvey/LAS_SimSurvey" --out "$dir" --seed "$seed" "$@")
  read -r -a args <<<"$(sed -n 's/^Tool arguments: //p' <<<"$summary")"
  truth=$(sed -n 's/^True exponent: *//p' <<<"$summary")
  (cd "$dir" && "$build/LAS_Quilvor" "${args[@]}" -n --report report.json >/dev/null 2>&1)
  python3 -c '
import json, sys
j = json.load(open(sys.argv[1]))
i, g = j["interval"], j["strip_gains"]
gi = g["interval"]
warned = any("--strip-gains" in w for w in j["warnings"])
files = [f for f in j["files"] if f["interval"]["low"] is not None]
own = sum(f["interval"]["low"] <= f["exponent"] <= f["interval"]["high"] for f in files)
print(sys.argv[2], sys.argv[3], j["exponent"], i["standard_error"], i["low"], i["high"],
      g["exponent"], gi["standard_error"], gi["low"], gi["high"], int(warned), j["pairs"], own, len(files))' \
    "$dir/report.json" "$seed" "$truth"
  rm -rf "$dir"
done | tee "$work/results.txt"
python3 - "$work/results.txt" <<'PY'
import statistics, sys
rows = [[float(x) for x in line.split()] for line in open(sys.argv[1])]
n = len(rows)
truth = rows[0][1]
for name, at in (("printed exponent", 2), ("exponent with strip gains", 6)):
    e = [r[at] for r in rows]
    se = [r[at + 1] for r in rows]
    spread = statistics.stdev(e)
    median = statistics.median(se)
    holdsTrue = sum(r[at + 2] <= truth <= r[at + 3] for r in rows)
    holdsOwn = sum(r[at + 2] <= r[at] <= r[at + 3] for r in rows)
    print(f"{name}: mean {statistics.mean(e):.5f} (true {truth:g}), standard deviation {spread:.5f}, "
          f"median standard error {median:.5f}, ratio {spread / median:.2f}",
          "(calibrated)" if 0.5 <= spread / median <= 2 else "(NOT calibrated)")
    print(f"  intervals holding the true exponent: {holdsTrue} of {n}; their own estimate: {holdsOwn} of {n}")
print(f"file intervals holding their own file's exponent: {int(sum(r[12] for r in rows))} of {int(sum(r[13] for r in rows))}")
outside = [r for r in rows if not (r[8] <= r[2] <= r[9])]
print(f"printed exponent outside the interval with strip gains: {len(outside)} of {n} runs, "
      f"{sum(int(r[10]) for r in outside)} of them warned")
PY
