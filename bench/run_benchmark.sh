#!/usr/bin/env bash
# Whole-run benchmark of LAS_Quilvor against the I/O floor of the same data.
#
# Builds the release binaries, simulates the benchmark survey once into a cache
# folder (21.3 million returns in 6 files, 570 MB; with --large the survey
# twice as long, 42.6 million returns in 12 files), then in one invocation:
# measures the I/O floor (every input read twice and copied once with cat,
# after one warm-up), and runs the tool on one thread and on all threads.
# Prints returns and pairs per second, the ratio to the floor and the peak
# memory of each run; then the time of LAS_IntensityImage at 1 m cells against
# reading every input once.
# With --laz, the same survey written compressed (LAZ).
#   bench/run_benchmark.sh [--large] [--laz] [--runs N]
# QUILVOR_BENCH_CACHE sets the cache folder (default ~/.cache/quilvor-bench).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
length=3000
runs=1
laz=()
while [ $# -gt 0 ]; do
  case "$1" in
    --large) length=6000 ;;
    --laz) laz=(--laz) ;;
    --runs) runs=$2; shift ;;
    *) echo "usage: $0 [--large] [--laz] [--runs N]" >&2; exit 2 ;;
  esac
  shift
done
build="$top/build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target LAS_Quilvor LAS_SimSurvey LAS_IntensityImage >/dev/null

cache="${QUILVOR_BENCH_CACHE:-$HOME/.cache/quilvor-bench}/survey_$length${laz:+_laz}"
if [ ! -f "$cache/done" ]; then
  rm -rf "$cache"
  mkdir -p "$cache"
  echo "Simulating the survey into $cache (once) ..."
  "$build/LAS_SimSurvey/LAS_SimSurvey" --out "$cache" --lines 8 --length "$length" --density 4 --tile 1000 \
    --seed 5 "${laz[@]}" >"$cache.summary"
  touch "$cache/done"
fi
cd "$cache"
mapfile -t files <las_list.txt
returns=$(sed -n 's/^Returns: *//p' "$cache.summary")
args=(las_list.txt trajectory.txt 0.5 0.5 1 858)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quilvor-floor.XXXXXX")
trap 'rm -rf "$scratch"; rm -f "$cache"/*_NormI.la[sz]' EXIT

floor() {
  local t0 t1
  t0=$(date +%s.%N)
  for f in "${files[@]}"; do
    cat "$f" >/dev/null
    cat "$f" >/dev/null
    cat "$f" >"$scratch/$f"
  done
  t1=$(date +%s.%N)
  rm -f "$scratch"/*
  awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}

# One run; prints "wall cpu peakKB pairs".
run_tool() {
  local threads=$1 out
  rm -f ./*_NormI.la[sz]
  out=$(QUILVOR_THREADS=$threads /usr/bin/time -f "TIME %e %U %S %M" "$build/LAS_Quilvor" "${args[@]}" 2>&1)
  local pairs
  pairs=$(sed -n 's/^Total: *\([0-9]*\).*/\1/p' <<<"$out")
  read -r _ wall user sys peak < <(grep '^TIME ' <<<"$out")
  echo "$wall $user $sys $peak $pairs"
}

# Seconds to touch 700 MB of fresh memory, measured before and after the
# runs (not between them, where it would leave them memory already touched):
# on a virtual machine this varies with the host (memory it has taken back
# must be given again), and with it the system time of a run, which touches
# about that much.
fresh_memory() {
  local t0 t1
  t0=$(date +%s.%N)
  dd if=/dev/zero of=/dev/null bs=700M count=1 status=none
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }'
}

cores=$(nproc)
echo "Survey: $returns returns in ${#files[@]} files, $(du -sh . | cut -f1) ($cache)"
echo "Touching 700 MB of fresh memory: $(fresh_memory) s (before the runs; after them below)"
floor >/dev/null           # warm-up: inputs in the page cache
run_tool "$cores" >/dev/null  # warm-up of the tool
for ((r = 1; r <= runs; ++r)); do
  f=$(floor)
  printf '\nI/O floor (cat: inputs read twice, copied once): %.2f s wall\n' "$f"
  for threads in 1 "$cores"; do
    read -r wall user sys peak pairs < <(run_tool "$threads")
    awk -v t="$threads" -v w="$wall" -v u="$user" -v s="$sys" -v n="$returns" -v p="$pairs" -v f="$f" -v m="$peak" 'BEGIN {
      c = u + s
      printf "%2d thread(s): %6.2f s wall %6.2f s CPU (%.2f user, %.2f system)  %5.2f M returns/s wall  %5.2f M returns/s CPU  %5.2f M pairs/s wall  %5.1f x floor  peak %5.0f MB\n",
        t, w, c, u, s, n / w / 1e6, n / c / 1e6, p / w / 1e6, w / f, m / 1024 }'
  done
done

echo
echo "Touching 700 MB of fresh memory: $(fresh_memory) s"

# The intensity image at 1 m cells against one read of every input.
for ((r = 1; r <= runs; ++r)); do
  t0=$(date +%s.%N)
  for f in "${files[@]}"; do cat "$f" >/dev/null; done
  t1=$(date +%s.%N)
  "$build/LAS_IntensityImage/LAS_IntensityImage" las_list.txt 1 "$scratch/image.png" >/dev/null
  t2=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" -v c="$t2" 'BEGIN {
    printf "\nIntensity image at 1 m cells: %.2f s wall; reading every input once: %.2f s (%.1f x)\n", c - b, b - a, (c - b) / (b - a) }'
done
