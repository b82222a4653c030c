#!/usr/bin/env bash
# Whole-process start-up of the desktop window: wall time from starting kvxlogplus -KVX (the
# sample settings and catalogue loaded) to its window mapped on an X server, five runs.
# Needs Xvfb and xdotool. Usage: bench/gui/window_startup.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${1:-build/default}/gui/kvxlogplus
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install xvfb xdotool)"; exit 2; }
done
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 &
xvfb=$!
tmp=$(mktemp -d)
trap 'kill $xvfb 2>/dev/null; rm -rf "$tmp"' EXIT
sleep 1
export DISPLAY=$display
cp -r data/. "$tmp/"
export KVXLOGPLUS_SETTINGS=$tmp/kvxlogplus.ini
times=()
for run in 1 2 3 4 5; do
  t0=$(date +%s%N)
  "$bin" -KVX >/dev/null 2>&1 &
  pid=$!
  until xdotool search --onlyvisible --name "KvxLog Plus" >/dev/null 2>&1; do sleep 0.01; done
  t1=$(date +%s%N)
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  times+=($(( (t1 - t0) / 1000000 )))
  echo "run $run: ${times[-1]} ms to a shown window"
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 3p)
echo "median: $median ms (target: under 500 ms)"
