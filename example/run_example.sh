#!/usr/bin/env bash
# Simulates the small default survey into example/work and runs LAS_Quilvor on it there.
#   example/run_example.sh [build folder]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work="$here/work"
rm -rf "$work"
mkdir -p "$work"

echo "== Simulating the example survey (LAS_SimSurvey) =="
summary=$("$build/simulator/LAS_SimSurvey" --out "$work")
echo "$summary"
# The simulator says which arguments suit its survey.
read -r -a args <<<"$(sed -n 's/^Tool arguments: //p' <<<"$summary")"

echo
echo "== Running: LAS_Quilvor ${args[*]} (in $work) =="
cd "$work"
"$build/LAS_Quilvor" "${args[@]}"
echo
echo "Normalized copies: $(ls "$work"/*_NormI.las | xargs -n1 basename | tr '\n' ' ')"
