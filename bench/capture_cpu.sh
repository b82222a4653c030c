#!/usr/bin/env bash
# Processor time of a live capture, this build against an earlier commit in the same run:
# builds kvxlog of BASE (default: the commit before the port began reading ahead) in a scratch
# folder, then runs bench_capture_cpu with it as the baseline. Options after BASE go to the
# benchmark (e.g. --rates 12000,50000,100000 --seconds 10 --repeat 5).
#
#   bench/capture_cpu.sh [BASE] [benchmark options]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
base=
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  base=$1
  shift
fi
if [ -z "$base" ]; then
  # sed reads to the end: a head that left early would fail the pipe under pipefail.
  change=$(git log --format=%H --reverse -S'kReadAhead' -- src/serial/posix_port.cpp | sed -n 1p)
  [ -n "$change" ] || { echo "no commit with the read-ahead found; give BASE" >&2; exit 2; }
  base=$(git rev-parse "$change^")
fi
base=$(git rev-parse --verify "$base^{commit}")
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kvx-baseline-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
echo "baseline: $(git log -1 --format='%h %s' "$base")"
git archive "$base" | tar -x -C "$scratch"
cmake -S "$scratch" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVX_BUILD_GUI=OFF -DKVX_BUILD_TESTS=OFF -DKVX_BUILD_BENCH=OFF -DKVX_BUILD_FUZZ=OFF \
  >"$scratch/configure.log"
cmake --build "$scratch/build" -j2 --target kvxlog >"$scratch/build.log"

cmake --preset default >/dev/null
cmake --build --preset default -j2 --target bench_capture_cpu >/dev/null
build/default/bench/bench_capture_cpu --baseline "$scratch/build/cli/kvxlog" "$@"
