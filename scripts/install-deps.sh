#!/usr/bin/env bash
# Installs what this machine lacks to build, test and run the suite, from Debian's
# packages (Debian 12 or later): the one list of the suite's packages.
#
#   scripts/install-deps.sh            build and run-time packages
#   scripts/install-deps.sh --test     also the tools of the longer tests (fuzzing)
#   scripts/install-deps.sh --dry-run  say what would be installed, install nothing
#   scripts/install-deps.sh --print build|runtime|test   print one list, one name a line
#
# Nothing is done when every package is installed. Otherwise it runs `apt-get update`
# and `apt-get install` as root, or through sudo.
set -euo pipefail

# To build the suite and run its tests (ctest).
build_packages=(
  g++ cmake make pkg-config
  libpng-dev libcairo2-dev nlohmann-json3-dev
  libproj-dev proj-data libgeotiff-dev
  libgtest-dev fonts-dejavu-core
)
# What the installed programs need at run time: the Debian package made by
# `cpack -G DEB` depends on exactly these (a test compares the two lists).
runtime_packages=(
  libc6 libgcc-s1 libstdc++6
  libpng16-16 libcairo2 fonts-dejavu-core
  libproj25 proj-data libgeotiff5
)
# Only for the longer tests that CI runs beyond ctest: fuzz/run.sh.
test_packages=(
  afl++ nodejs
)

with_tests=0
dry_run=0
while [ $# -gt 0 ]; do
  case "$1" in
    --test) with_tests=1 ;;
    --dry-run) dry_run=1 ;;
    --print)
      case "${2:-}" in
        build) printf '%s\n' "${build_packages[@]}" ;;
        runtime) printf '%s\n' "${runtime_packages[@]}" ;;
        test) printf '%s\n' "${test_packages[@]}" ;;
        *) echo "usage: $0 --print build|runtime|test" >&2; exit 2 ;;
      esac
      exit 0 ;;
    -h|--help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "$0: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

wanted=("${build_packages[@]}" "${runtime_packages[@]}")
[ "$with_tests" = 1 ] && wanted+=("${test_packages[@]}")

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "$0: this is not a Debian system; install the equivalents of: ${wanted[*]}" >&2
  exit 1
fi

missing=()
for p in "${wanted[@]}"; do
  case " ${missing[*]} " in *" $p "*) continue ;; esac
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [ "${status:0:2}" = ii ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$dry_run" = 1 ]; then
  exec apt-get -s install --no-install-recommends "${missing[@]}"
fi
run_as_root=()
if [ "$(id -u)" != 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "$0: installing needs root; run it as root, or install: ${missing[*]}" >&2
    exit 1
  fi
  run_as_root=(sudo)
fi
"${run_as_root[@]}" apt-get update
"${run_as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "${missing[@]}"
