#!/usr/bin/env bash
# Coverage-guided fuzzing of LAS_Quilvor, LAS_Trajectory and
# LAS_IntensityImage with afl++: builds instrumented binaries
# (AddressSanitizer and UndefinedBehaviorSanitizer on) into build-fuzz, makes
# the seed corpora, then fuzzes these inputs in turn, SECONDS each:
#   las         the LAS file  (list and trajectory fixed)
#   trajectory  the trajectory text
#   list        the list file (naming files of its folder)
#   rebuild     the LAS file of LAS_Trajectory (list fixed)
#   sbet        the SBET file of LAS_Trajectory --sbet (list and LAS file fixed)
#   crs         the LAS file of LAS_Trajectory --sbet: its coordinate system
#               records, GeoTIFF keys and OGC WKT (list and SBET fixed)
#   image-las   the LAS file of LAS_IntensityImage (list fixed)
#   image-list  the list file of LAS_IntensityImage (naming files of its folder)
#   laz         the LAZ file of LAS_IntensityImage (list fixed): its compression
#               record, chunk table and chunks (seeds: simulated LAS 1.2 and 1.4
#               tiles, and the public samples simple.laz and 1_4_w_evlr.laz where
#               QUILVOR_LASDATA names their folder)
# Findings go to build-fuzz/findings/<target>. Exits 1 if any target found a
# crash or a hang.
#   fuzz/run.sh SECONDS [target ...]
set -euo pipefail
seconds=${1:?usage: fuzz/run.sh SECONDS [las|trajectory|list|rebuild|sbet|crs|image-las|image-list|laz ...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(las trajectory list rebuild sbet crs image-las image-list laz)
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"

export AFL_USE_ASAN=1 AFL_USE_UBSAN=1 AFL_QUIET=1
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=afl-clang-fast++ >/dev/null
cmake --build "$build" -j2 --target LAS_Quilvor LAS_SimSurvey LAS_Trajectory LAS_IntensityImage fuzz_seeds >/dev/null
unset AFL_USE_ASAN AFL_USE_UBSAN

corpus="$build/corpus"
rm -rf "$corpus"
"$build/LAS_SimSurvey/LAS_SimSurvey" --out "$corpus/simulated" --lines 2 --length 40 --tile 40 --density 0.2 \
  --altitude 100 --turn 5 >/dev/null
# A tile with enough multi-return pulses for LAS_Trajectory to fit its lines.
"$build/LAS_SimSurvey/LAS_SimSurvey" --out "$corpus/vegetated" --lines 2 --length 120 --tile 120 --density 0.3 \
  --altitude 100 --turn 5 --vegetation 1 --returns 3 >/dev/null
"$build/fuzz/fuzz_seeds" "$corpus/simulated" "$corpus" "$corpus/vegetated"
# A survey with its navigation solution, and its files naming their coordinate system.
"$build/LAS_SimSurvey/LAS_SimSurvey" --out "$corpus/navigated" --lines 2 --length 40 --tile 40 --density 0.2 \
  --altitude 100 --turn 5 --sbet nav.sbet >/dev/null
mkdir -p "$corpus/seeds/sbet" "$corpus/work/sbet"
cp "$corpus/navigated/nav.sbet" "$corpus/seeds/sbet/simulated.sbet"
head -c 1360 "$corpus/navigated/nav.sbet" >"$corpus/seeds/sbet/short.sbet"
cp "$(ls "$corpus/navigated"/*.las | head -n 1)" "$corpus/work/sbet/a.las"
echo a.las >"$corpus/work/sbet/list.txt"
# The crs target: the navigated survey's files (GeoTIFF keys in LAS 1.2, OGC
# WKT in LAS 1.4) and the crafted ones of fuzz_seeds, with that SBET.
"$build/LAS_SimSurvey/LAS_SimSurvey" --out "$corpus/navigated14" --lines 2 --length 40 --tile 40 --density 0.2 \
  --altitude 100 --turn 5 --sbet nav.sbet --las-version 1.4 >/dev/null
cp "$(ls "$corpus/navigated"/*.las | head -n 1)" "$corpus/seeds/crs/geotiff.las"
cp "$(ls "$corpus/navigated14"/*.las | head -n 1)" "$corpus/seeds/crs/wkt.las"
cp "$corpus/navigated/nav.sbet" "$corpus/work/crs/nav.sbet"
# Compressed tiles: LAS 1.2 format 1 (pointwise items) and LAS 1.4 format 6 (layered items).
mkdir -p "$corpus/seeds/laz" "$corpus/work/laz"
for v in "1.2 1" "1.4 6"; do
  set -- $v
  "$build/LAS_SimSurvey/LAS_SimSurvey" --out "$corpus/laz-$1" --lines 2 --length 40 --tile 40 --density 0.2 \
    --altitude 100 --turn 5 --las-version "$1" --format "$2" --laz >/dev/null
  cp "$(ls "$corpus/laz-$1"/*.laz | head -n 1)" "$corpus/seeds/laz/simulated-$1.laz"
done
lasdata="${QUILVOR_LASDATA:-$top/../shared/lasdata}"
for f in simple.laz 1_4_w_evlr.laz; do
  [ -f "$lasdata/$f" ] && cp "$lasdata/$f" "$corpus/seeds/laz/$f"
done
echo input.laz >"$corpus/work/laz/list.txt"

export AFL_NO_UI=1 AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_AFFINITY=1
export ASAN_OPTIONS="abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1"
# Leaks are not looked for here; a caller's leak options (as CI's) would stop afl-fuzz.
unset LSAN_OPTIONS
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1"
status=0
for target in "${targets[@]}"; do
  tool="$build/LAS_Quilvor"
  timeout=2000
  seeds="$target"
  case "$target" in
    las)        input=input.las; args=(list.txt traj.txt 150 150 5 100) ;;
    trajectory) input=traj.txt;  args=(list.txt traj.txt 150 150 5 100) ;;
    list)       input=list.txt;  args=(list.txt traj.txt 150 150 5 100 -tr) ;;
    rebuild)    input=input.las; args=(list.txt out.txt); tool="$build/LAS_Trajectory/LAS_Trajectory" ;;
    # PROJ opens its database and builds the conversion in every run: more time.
    sbet)       input=input.sbet; args=(list.txt out.txt --sbet input.sbet); timeout=6000
                tool="$build/LAS_Trajectory/LAS_Trajectory" ;;
    crs)        input=input.las; args=(list.txt out.txt --sbet nav.sbet); timeout=6000
                tool="$build/LAS_Trajectory/LAS_Trajectory" ;;
    # A header may declare an extent of up to 100 million cells: an image that
    # takes seconds to draw, longer under the sanitizers.
    image-las)  input=input.las; args=(list.txt 1 out.png); seeds=las; timeout=8000
                tool="$build/LAS_IntensityImage/LAS_IntensityImage" ;;
    image-list) input=list.txt;  args=(list.txt 2 out.png); seeds=list; tool="$build/LAS_IntensityImage/LAS_IntensityImage" ;;
    laz)        input=input.laz; args=(list.txt 5 out.png); timeout=8000
                tool="$build/LAS_IntensityImage/LAS_IntensityImage" ;;
    *) echo "unknown target $target" >&2; exit 2 ;;
  esac
  findings="$build/findings/$target"
  rm -rf "$findings"
  mkdir -p "$build/findings"
  echo "== fuzzing $target for $seconds s =="
  (cd "$corpus/work/$target" &&
    afl-fuzz -i "$corpus/seeds/$seeds" -o "$findings" -f "$input" -t "$timeout" -m none -V "$seconds" \
      -- "$tool" "${args[@]}" >"$build/afl-$target.log" 2>&1) || {
    echo "afl-fuzz failed for $target:"; tail -n 20 "$build/afl-$target.log"; exit 1; }
  stats="$findings/default/fuzzer_stats"
  grep -E '^(execs_done|execs_per_sec|corpus_count|bitmap_cvg|saved_crashes|saved_hangs) ' "$stats" |
    sed 's/^/  /'
  crashes=$(find "$findings/default/crashes" "$findings/default/hangs" -type f ! -name README.txt | wc -l)
  if [ "$crashes" -gt 0 ]; then
    echo "  $target: $crashes crash or hang input(s) in $findings/default"
    status=1
  fi
done
exit $status
