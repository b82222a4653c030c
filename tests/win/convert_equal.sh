#!/usr/bin/env bash
# `kvxlog convert` of every real capture, by the Linux build and by the Windows build under
# Wine: the logs must hold the same bytes. Their names carry the local time of the run, so
# the logs are paired by input, not by name.
#   convert_equal.sh LINUX_KVXLOG WINDOWS_KVXLOG_EXE WINE_PREFIX REALDATA_DIR
set -uo pipefail
linux=$1 windows=$2 prefix=$3 realdata=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check.sh"

shopt -s nullglob
inputs=("$realdata"/*.qmdl "$realdata"/*.mi2log)
if [ ${#inputs[@]} -eq 0 ]; then
  echo "convert_equal: no captures in $realdata"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for raw in "${inputs[@]}"; do
  name=$(basename "$raw")
  mkdir -p "$work/linux/$name" "$work/windows/$name"
  "$linux" convert "$raw" -o "$work/linux/$name/" >/dev/null 2>"$work/linux/$name.err"
  lstatus=$?
  "$here/wine-run.sh" "$prefix" "$windows" convert "$raw" -o "$work/windows/$name/" \
    >/dev/null 2>"$work/windows/$name.err"
  wstatus=$?
  check "$name: same exit status (Linux $lstatus, Windows $wstatus)" [ "$lstatus" = "$wstatus" ]
  l=("$work/linux/$name"/*.kvx) w=("$work/windows/$name"/*.kvx)
  check "$name: one log each (Linux ${#l[@]}, Windows ${#w[@]})" [ "${#l[@]}${#w[@]}" = 11 ]
  if [ ${#l[@]} = 1 ] && [ ${#w[@]} = 1 ]; then
    check "$name: $(stat -c %s "${l[0]}") bytes, byte-identical" cmp -s "${l[0]}" "${w[0]}"
    # Same name apart from the time stamp of the run (and a _N of a name taken).
    stem() { basename "$1" | sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}(_[0-9]+)?\.kvx$//'; }
    check "$name: same name stem" [ "$(stem "${l[0]}")" = "$(stem "${w[0]}")" ]
  fi
done
echo "convert_equal: ${#inputs[@]} captures; $passed passed, $failed failed"
[ "$failed" -eq 0 ]
