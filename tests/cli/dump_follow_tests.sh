#!/usr/bin/env bash
# kvxlog dump --follow against a live capture on the simulated modem: what it prints while the
# capture writes equals the dump of the finished file (same records, same order, none twice),
# it ends by itself at the closing note, follows a capture into its next files, ends on Ctrl-C
# and when the reader of its output goes away.
# Usage: dump_follow_tests.sh KVXLOG MODEMSIM
set -u
KVXLOG=$(realpath "$1")
MODEMSIM=$(realpath "$2")

source "$(dirname "${BASH_SOURCE[0]}")/../check.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${KVX_KEEP_WORK:-}" ] && { echo "kept: $work"; return; }
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
export KVXLOGPLUS_SETTINGS=$work/absent.ini

# Waits up to $2 seconds for process $1 to end; its status, or 124 when it did not end.
wait_for() {
    local pid=$1 limit=$(($2 * 10))
    for _ in $(seq "$limit"); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            return $?
        fi
        sleep 0.1
    done
    return 124
}

# The first line of file $1 once it has one (up to 10 s).
first_line() {
    for _ in $(seq 100); do
        [ -s "$1" ] && head -n 1 "$1" | grep -q . && { head -n 1 "$1"; return; }
        sleep 0.1
    done
}

"$MODEMSIM" --rate 3000 >modem.txt 2>modem.err &
pids+=($!)
port=$(first_line modem.txt)
check "the simulated modem gives its terminal" test -n "$port"

# ---- one file: follow it while the capture writes it ------------------------------------------
"$KVXLOG" capture --port "$port" --log 0xB0C0 --log 0xB193 --event 0x100 --message 5000/2 \
    --single-file --duration 4 -o "$work/one-" >cap.out 2>cap.err &
cap=$!
pids+=($cap)
log=$(first_line cap.out)
check "the capture names its log" test -n "$log"
"$KVXLOG" dump --follow --quiet "$log" >follow.txt 2>follow.err &
follow=$!
pids+=($follow)
sleep 1
check "the capture is still running while followed" kill -0 "$cap"
wait_for "$cap" 20
rc=$?
check "the capture ends normally (got $rc)" test "$rc" -eq 0
wait_for "$follow" 10
rc=$?
check "follow ends by itself at the closing note (got $rc)" test "$rc" -eq 0
"$KVXLOG" dump --quiet "$log" >full.txt 2>/dev/null
rc=$?
check "the finished log is complete (got $rc)" test "$rc" -eq 0
check "follow printed every record of the finished file, in order, once ($(wc -l <full.txt) lines)" \
    cmp -s follow.txt full.txt
check "modem logs were followed, with their names" grep -q ' modem log LTE RRC OTA Packet$' follow.txt
check "the log ends with the stop note" grep -q 'note *"Log manually stopped from UI"$' follow.txt
check "no offset twice" test "$(awk '{print $1}' follow.txt | sort | uniq -d | wc -l)" -eq 0
check "many records followed" test "$(wc -l <follow.txt)" -gt 100

# The same with header and footer lines: they frame the same record lines.
"$KVXLOG" dump --follow "$log" >framed.txt 2>/dev/null
check "follow of a finished log: header line" grep -q "^-- following $log (Ctrl-C ends)$" framed.txt
check "follow of a finished log: footer line" grep -q "^-- $(wc -l <full.txt) records shown, the capture ended$" framed.txt
check "follow of a finished log: the same records" cmp -s <(grep -v '^--' framed.txt | tail -n +2) full.txt

# ---- rotation: the capture moves to new files, follow goes with it -----------------------------
"$MODEMSIM" --rate 0 >fast.txt 2>fast.err &
pids+=($!)
fastport=$(first_line fast.txt)
"$KVXLOG" capture --port "$fastport" --log 0xB0C0 --log 0xB193 --log 0xB821 --size 1 --duration 8 \
    -o "$work/rot-" >rot.out 2>rot.err &
cap=$!
pids+=($cap)
first=$(first_line rot.out)
"$KVXLOG" dump --follow "$first" >rotfollow.txt 2>rotfollow.err &
follow=$!
pids+=($follow)
wait_for "$cap" 30
files=$(wc -l <rot.out)
sleep 1
kill -INT "$follow" 2>/dev/null
wait_for "$follow" 10
rc=$?
check "rotation: follow ends with status 0 (got $rc)" test "$rc" -eq 0
check "rotation: the capture wrote several files ($files)" test "$files" -ge 2
: >rotfull.txt
while read -r f; do "$KVXLOG" dump --quiet "$f" >>rotfull.txt 2>/dev/null; done <rot.out
check "rotation: follow printed the records of every file in order ($(wc -l <rotfull.txt) lines)" \
    cmp -s <(grep -v '^--' rotfollow.txt | grep -v '^ *offset ') rotfull.txt
check "rotation: says where it went on" test "$(grep -c '^-- following ' rotfollow.txt)" -eq "$files"

# ---- Ctrl-C and a reader that goes away, on a log without its closing note -----------------------
head -c 4096 "$log" >cut.kvx
"$KVXLOG" dump --follow --quiet cut.kvx >cut.txt 2>&1 &
follow=$!
pids+=($follow)
sleep 1
check "a cut log: follow waits for more" kill -0 "$follow"
kill -INT "$follow"
wait_for "$follow" 5
rc=$?
check "Ctrl-C ends follow with status 0 (got $rc)" test "$rc" -eq 0
"$KVXLOG" dump --quiet cut.kvx >cutfull.txt 2>/dev/null
check "a cut log: the whole records were printed" cmp -s cut.txt cutfull.txt

( "$KVXLOG" dump --follow cut.kvx | head -n 2 >/dev/null ) &
pipe=$!
pids+=($pipe)
wait_for "$pipe" 5
rc=$?
check "follow into a closed pipe ends (got $rc)" test "$rc" -eq 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
