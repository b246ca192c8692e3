#!/usr/bin/env bash
# Simulates the small default survey into example/work, runs LAS_Quilvor on it
# there, and draws intensity images of the survey before and after the
# normalization on one grey scale (before.png, after.png). The run also writes
# the JSON report (report.json) and the two plots (plots/variance_curve.png,
# plots/intensity_by_range.png). Then, as if the survey had come without its
# trajectory, rebuilds the trajectory from the LAS files (LAS_Trajectory), runs
# the tool with it and prints the exponents; last, converts the survey's
# navigation solution (an SBET file) with LAS_Trajectory --sbet and runs the
# tool with that.
#   example/run_example.sh [build folder or install prefix] [--docs|--laz]
# --laz runs it all on the survey written compressed (LAZ), with compressed copies.
# --docs also writes the small copies of the two images shown in the README
# (docs/before.png, docs/after.png) and of the two plots (docs/variance_curve.png,
# docs/intensity_by_range.png).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
docs=${2:-}
laz=()
[ "$docs" = --laz ] && docs="" && laz=(--laz)
work="$here/work"
rm -rf "$work"
mkdir -p "$work"

# A build folder holds the programs in their source folders, an install prefix in bin/.
program() {
  if [ -x "$build/bin/$1" ]; then echo "$build/bin/$1"; else echo "$build/$2$1"; fi
}
simsurvey=$(program LAS_SimSurvey LAS_SimSurvey/)
quilvor=$(program LAS_Quilvor "")
image=$(program LAS_IntensityImage LAS_IntensityImage/)
rebuild=$(program LAS_Trajectory LAS_Trajectory/)

echo "== Simulating the example survey (LAS_SimSurvey) =="
summary=$("$simsurvey" --out "$work" --sbet navigation.sbet "${laz[@]}")
echo "$summary"
# The simulator says which arguments suit its survey.
read -r -a args <<<"$(sed -n 's/^Tool arguments: //p' <<<"$summary")"

echo
echo "== Running: LAS_Quilvor ${args[*]} --report report.json --plots plots (in $work) =="
cd "$work"
"$quilvor" "${args[@]}" --report report.json --plots plots | tee tool_output.txt
echo
echo "Normalized copies: $(ls "$work"/*_NormI.la[sz] | xargs -n1 basename | tr '\n' ' ')"

echo
echo "== Intensity images at 1 m cells, before and after, on the grey scale of the first (LAS_IntensityImage) =="
before=$("$image" las_list.txt 1 before.png)
sed -n '/^Grid:/,$p' <<<"$before"
read -r lo hi < <(sed -n 's/^Grey scale: *\([0-9.]*\) to \([0-9.]*\).*/\1 \2/p' <<<"$before")
ls ./*_NormI.la[sz] >normalized_list.txt
"$image" normalized_list.txt 1 after.png --range "$lo" "$hi" | sed -n '/^Grid:/,$p'
echo
echo "Images: $work/before.png $work/after.png"
echo "Report: $work/report.json; plots: $work/plots/variance_curve.png $work/plots/intensity_by_range.png"
if [ "$docs" = "--docs" ]; then
  "$image" las_list.txt 2 "$here/../docs/before.png" --range "$lo" "$hi" >/dev/null
  "$image" normalized_list.txt 2 "$here/../docs/after.png" --range "$lo" "$hi" >/dev/null
  rm -f "$here/../docs/before.pgw" "$here/../docs/after.pgw"
  cp plots/variance_curve.png plots/intensity_by_range.png "$here/../docs/"
  echo "README copies: docs/before.png docs/after.png docs/variance_curve.png docs/intensity_by_range.png"
fi

echo
echo "== The same survey without its trajectory: rebuilding it from the LAS files (LAS_Trajectory) =="
"$rebuild" las_list.txt rebuilt_trajectory.txt | sed -n '/^Listed files/,$p'
rebuilt_args=("${args[@]}")
rebuilt_args[1]=rebuilt_trajectory.txt
echo
echo "== Running: LAS_Quilvor ${rebuilt_args[*]} -n =="
"$quilvor" "${rebuilt_args[@]}" -n >rebuilt_output.txt

echo
echo "== The same survey with its navigation solution: converting navigation.sbet (LAS_Trajectory --sbet) =="
"$rebuild" las_list.txt sbet_trajectory.txt --sbet navigation.sbet | sed -n '/^SBET:/,$p'
sbet_args=("${args[@]}")
sbet_args[1]=sbet_trajectory.txt
"$quilvor" "${sbet_args[@]}" -n >sbet_output.txt

exponent() { sed -n 's/^Optimal Range Normalization Exponent: *//p' "$1"; }
echo
echo "Exponent with the true trajectory:       $(exponent tool_output.txt)"
echo "Exponent with the rebuilt trajectory:    $(exponent rebuilt_output.txt)"
echo "Exponent with the converted SBET:        $(exponent sbet_output.txt)"
