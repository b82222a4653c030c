#!/usr/bin/env bash
# Whole-process `kvxlog convert` of one sample raw capture (kvxlog-samplegen), by the Linux
# build and by the Windows build under Wine (one warm wine server, as for the tests), rounds
# interleaved in alternating order so that both see the same load. Prints each round, the
# medians, and the speed under Wine as a fraction of the Linux build's (median Linux time /
# median Wine time), then the same for the speed each program reports of its conversion (Wine's
# process start left out); with --min-ratio R the exit status is 1 below R. Every log must hold
# the same bytes.
#   bench_wine_convert.sh [--linux-build DIR] [--windows-build DIR] [--size-mb N] [--rounds R]
#                         [--min-ratio R]      (defaults: build/default, build/windows, 150, 5)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux=$here/../build/default win=$here/../build/windows size=150 rounds=5 min=""
while [ $# -gt 0 ]; do
  case $1 in
    --linux-build) linux=$2; shift 2 ;;
    --windows-build) win=$2; shift 2 ;;
    --size-mb) size=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --min-ratio) min=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench_wine_convert: unknown argument $1 (try --help)" >&2; exit 64 ;;
  esac
done
run_wine=$here/../tests/win/wine-run.sh
prefix=$(realpath -m "$win/wine")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$linux/cli/kvxlog-samplegen" "$work/sample.raw" $((size * 1000000)) >/dev/null
"$run_wine" "$prefix" cmd /c exit  # the prefix and a warm server, outside the timing

# Runs a command with its output in $work/out; prints its wall-clock seconds.
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >"$work/out" 2>&1; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }
# The conversion's own speed, as the program reports it (its process start left out).
own_speed() { grep -o '[0-9.]* MB/s' "$work/out" | tail -n 1 | cut -d' ' -f1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/linux.times"
: >"$work/wine.times"
: >"$work/linux.speeds"
: >"$work/wine.speeds"
# One timed conversion by build $1 (linux or wine); its log is checked against the first one
# written and removed at once, so every run starts from the same state of the page cache.
run_one() {
  local t
  mkdir -p "$work/o"
  if [ "$1" = linux ]; then
    t=$(seconds "$linux/cli/kvxlog" convert "$work/sample.raw" -o "$work/o/")
  else
    t=$(seconds "$run_wine" "$prefix" "$win/cli/kvxlog.exe" convert "$work/sample.raw" -o "$work/o/")
  fi
  own_speed >>"$work/$1.speeds"
  echo "$t" >>"$work/$1.times"
  local sum
  sum=$(cat "$work"/o/*.kvx | md5sum)
  rm -rf "$work/o"
  [ -f "$work/first.sum" ] || echo "$sum" >"$work/first.sum"
  [ "$sum" = "$(cat "$work/first.sum")" ] ||
    { echo "bench_wine_convert: the $1 build wrote a different log" >&2; exit 1; }
  echo "$t"
}
for r in $(seq "$rounds"); do
  # The order alternates: what one run leaves behind (memory freed, the disk still busy
  # writing its log) slows the run after it, whichever build that is.
  if [ $((r % 2)) = 1 ]; then
    tl=$(run_one linux)
    tw=$(run_one wine)
  else
    tw=$(run_one wine)
    tl=$(run_one linux)
  fi
  printf 'round %d: Linux %.3f s, Wine %.3f s\n' "$r" "$tl" "$tw"
done
ml=$(median <"$work/linux.times")
mw=$(median <"$work/wine.times")
ratio=$(echo "$ml / $mw" | bc -l)
mb=$(stat -c %s "$work/sample.raw")
printf 'convert %.1f MB: median Linux %.3f s (%.0f MB/s), Wine %.3f s (%.0f MB/s); Wine at %.2fx the Linux speed\n' \
  "$(echo "$mb / 1000000" | bc -l)" "$ml" "$(echo "$mb / 1000000 / $ml" | bc -l)" "$mw" \
  "$(echo "$mb / 1000000 / $mw" | bc -l)" "$ratio"
sl=$(median <"$work/linux.speeds")
sw=$(median <"$work/wine.speeds")
if [ -n "$sl" ] && [ -n "$sw" ]; then
  printf 'the conversion itself, as each program reports it (process start left out): Linux %.1f MB/s, Wine %.1f MB/s; Wine at %.2fx\n' \
    "$sl" "$sw" "$(echo "$sw / $sl" | bc -l)"
fi
if [ -n "$min" ] && [ "$(echo "$ratio < $min" | bc -l)" = 1 ]; then
  echo "bench_wine_convert: below the required ${min}x"
  exit 1
fi
