#!/usr/bin/env bash
# End to end under Wine against the Linux simulated modem, whose pseudo-terminal is linked as
# COM5 (COM6 for the download mode) in the Wine prefix:
#   e2e_wine.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR [WINE_PREFIX]
# - the COM port's live tests (tests_serial.exe or the given test program) over a loopback
#   terminal: every byte value, the time-outs, Stop ending a waiting read;
# - kvxlog.exe capture --port COM5: every counter packet of the modem in order across rotated
#   files, rotation by size, a watchdog restart when the modem falls silent, Ctrl-C with the
#   closing note, exit status 0, and a missing port with the exit status of the Linux build;
# - kvxlog.exe memdump --port COM6 against kvxlog-modemsim --download: the same region files
#   as the Linux build's memdump.
# The wine server takes a pseudo-terminal it opened as its controlling terminal: each
# simulator is stopped only after the server has ended (wineserver -w).
set -uo pipefail
win=$(cd "$1" && pwd) lin=$(cd "$2" && pwd)
prefix=$(realpath -m "${3:-$win/wine-e2e}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check.sh"
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}

kvxlog_exe=$win/cli/kvxlog.exe
kvxlog=$lin/cli/kvxlog
sim=$lin/tools/modemsim/kvxlog-modemsim
serial_tests=${KVX_SERIAL_TESTS:-$win/tests/tests_serial.exe}
for f in "$kvxlog_exe" "$kvxlog" "$sim"; do
  [ -x "$f" ] || { echo "e2e_wine: $f is missing"; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  "$here/wine-run.sh" "$prefix" --stop
  wineserver -w 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
# Runs a Windows program; a background one is started with wine-run.sh itself, whose process
# becomes the Windows process (so that Ctrl-C, SIGINT, reaches it).
run() { "$here/wine-run.sh" "$prefix" "$@"; }

# Makes the prefix (first use) before any COM link goes into it.
run cmd /c exit >/dev/null 2>&1

# Starts a terminal server (command...) that prints its terminal's path first; links it as COMn.
serve() {  # serve COMn OUTFILE command...
  local com=$1 out=$2
  shift 2
  "$@" >"$out" 2>"$out.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
  local tty
  tty=$(head -n 1 "$out")
  ln -sfn "$tty" "$prefix/dosdevices/${com,,}"
  echo "$com -> $tty"
}

# ---- the COM port itself over a loopback ------------------------------------------------------
if [ -x "$serial_tests" ]; then
  serve COM7 "$work/loop.txt" python3 -c '
import os, pty, select, tty
m, s = pty.openpty()
tty.setraw(m)
print(os.ttyname(s), flush=True)
while True:
    select.select([m], [], [])
    try:
        d = os.read(m, 4096)
    except OSError:
        break
    os.write(m, d)
'
  KVXLOG_TEST_COM=COM7 run "$serial_tests" --gtest_filter='LivePort*:WinPort*' >"$work/live.txt" 2>&1
  rc=$?
  check "COM port live tests under Wine pass (status $rc)" test "$rc" -eq 0
  check "COM port live tests ran (none skipped but the real-Windows one)" \
    test "$(grep -c '^\[       OK \] LivePort' "$work/live.txt")" -eq 6
  grep -E '^(empty|read returned)' "$work/live.txt"
  [ "$rc" -eq 0 ] || cat "$work/live.txt"
else
  echo "e2e_wine: no $serial_tests: the live COM port tests are skipped"
fi

# ---- capture through COM5 ---------------------------------------------------------------------
counter=0x1234  # the simulator's counter log item: a 32-bit sequence number first in its body
cd "$work"
mkdir -p cap silent
# Waits for the background capture $1 after Ctrl-C, at most $2 seconds; its status, or 124.
stop_capture() {
  kill -INT "$1"
  local stopped_at
  stopped_at=$(date +%s)
  for _ in $(seq $(($2 * 10))); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$1" 2>/dev/null && { kill -KILL "$1"; wait "$1"; return 124; }
  echo "  ended $(($(date +%s) - stopped_at)) s after Ctrl-C" >&2
  wait "$1"
}

# A live modem: rotation by size, every packet in order, Ctrl-C with the closing note.
serve COM5 "$work/modem.txt" "$sim" --rate 600
"$here/wine-run.sh" "$prefix" "$kvxlog_exe" capture --port COM5 --log "$counter" --log 0xB0C0 --size 1 \
  --error-log "$work/cap/kvxlogplus.errorlog" -o "$work/cap/run-" >"$work/cap.out" 2>"$work/cap.err" &
cap=$!
sleep 14
stop_capture "$cap" 10
rc=$?
check "capture ends on Ctrl-C with status 0 (got $rc)" test "$rc" -eq 0
shopt -s nullglob
logs=("$work"/cap/run-*.kvx)
check "capture rotated by size into several files (${#logs[@]})" test "${#logs[@]}" -ge 2
: >"$work/seq.txt"
for f in "${logs[@]}"; do
  "$kvxlog" dump --json "$f" 2>/dev/null |
    python3 -c '
import json, sys
for line in sys.stdin:
    r = json.loads(line)
    if r.get("code") != 0x1234 or "body" not in r:
        continue
    b = bytes.fromhex(r["body"].replace(" ", ""))
    print(int.from_bytes(b[0:4], "little"))
' >>"$work/seq.txt"
done
n=$(wc -l <"$work/seq.txt")
check "counter packets were captured ($n)" test "$n" -gt 1000
check "every counter packet in order, none lost, none twice" \
  python3 -c 'import sys; s=[int(x) for x in open(sys.argv[1])]; sys.exit(0 if s and s == list(range(s[0], s[0]+len(s))) else 1)' "$work/seq.txt"
last=${logs[${#logs[@]}-1]:-/nonexistent}
check "the last log ends with the closing note" \
  sh -c "'$kvxlog' dump '$last' | grep -q 'Log manually stopped from UI'"
for f in "${logs[@]}"; do
  check "$(basename "$f") is complete" "$kvxlog" dump --summary "$f" >/dev/null
done
check "rotation is in the error log" grep -q 'cause = Size' "$work/cap/kvxlogplus.errorlog"
check "the summary says the user stopped it" grep -q 'stopped by the user; exit status 0' "$work/cap.err"

# A modem that falls silent: the watchdog restarts logging, and the modem never answers again.
serve COM5 "$work/silent.txt" "$sim" --rate 400 --silent-after 3
"$here/wine-run.sh" "$prefix" "$kvxlog_exe" capture --port COM5 --log "$counter" --watchdog 2 \
  --error-log "$work/silent/kvxlogplus.errorlog" -o "$work/silent/run-" >/dev/null \
  2>"$work/silent.err" &
cap=$!
sleep 9
stop_capture "$cap" 40
rc=$?
check "silent modem: restarted by the watchdog" \
  grep -q 'Restarting Logging, cause = Watchdog' "$work/silent/kvxlogplus.errorlog"
check "silent modem: status 2, the modem never answered again (got $rc)" test "$rc" -eq 2
check "silent modem: the summary says so" grep -q 'restart(s): watchdog' "$work/silent.err"

# A port that is not there: the exit status of the Linux build, and the system's words.
run "$kvxlog_exe" capture --port COM9 --log "$counter" --duration 1 -o "$work/none-" \
  >/dev/null 2>"$work/none.err"
wrc=$?
"$kvxlog" capture --port /nonexistent/ttyUSB9 --log "$counter" --duration 1 -o "$work/none-" \
  >/dev/null 2>/dev/null
lrc=$?
check "missing port: same exit status as Linux (Windows $wrc, Linux $lrc)" test "$wrc" -eq "$lrc"

# ---- memdump through COM6 ---------------------------------------------------------------------
serve COM6 "$work/dl.txt" "$sim" --download
mkdir -p "$work/dump-win" "$work/dump-lin"
run "$kvxlog_exe" memdump --port COM6 -o "$work/dump-win" >"$work/dump-win.out" 2>&1
wrc=$?
"$sim" --download >"$work/dl2.txt" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/dl2.txt" ] && break; sleep 0.05; done
"$kvxlog" memdump --port "$(head -n 1 "$work/dl2.txt")" -o "$work/dump-lin" >"$work/dump-lin.out" 2>&1
lrc=$?
check "memdump under Wine: status 0 (got $wrc)" test "$wrc" -eq 0
check "memdump on Linux: status 0 (got $lrc)" test "$lrc" -eq 0
win_files=$(cd "$work/dump-win" && ls | sort | tr '\n' ' ')
lin_files=$(cd "$work/dump-lin" && ls | sort | tr '\n' ' ')
check "memdump: the same region files ($win_files)" test -n "$win_files" -a "$win_files" = "$lin_files"
for f in "$work"/dump-lin/*; do
  check "memdump: $(basename "$f") has the same bytes" cmp -s "$f" "$work/dump-win/$(basename "$f")"
done

echo "e2e_wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
