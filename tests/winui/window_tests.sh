#!/usr/bin/env bash
# kvxlogplus.exe under Wine with Xvfb, against the simulated modem linked as COM5:
#   window_tests.sh WINDOWS_BUILD DEFAULT_BUILD [EXE]
# WINDOWS_BUILD holds winui/kvxlogplus.exe (EXE: another kvxlogplus.exe, such as
# the installed one); DEFAULT_BUILD the Linux kvxlog and kvxlog-modemsim. A fresh prefix is made
# under WINDOWS_BUILD/winui-test unless KVX_WINUI_PREFIX names one.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../check.sh"
source "$here/wine_env.sh"
win=$(cd "$1" && pwd)
lin=$(cd "$2" && pwd)
exe=${3:-$win/winui/kvxlogplus.exe}
src=$(cd "$here/../.." && pwd)
work=$win/winui-test
trap winui_cleanup EXIT
rm -rf "$work/logs" && mkdir -p "$work/logs"
winui_start_bench "$work"
key='HKLM\SOFTWARE\Orvanta Wireless Inc\KvxLogPlus'

# Settings: the catalogue of data/, the custom port 5, a filter file for the simulated modem.
check "a filter file for the simulated modem" winui_sample_filter "$lin" "$src" "$work/sample.sqf"
wine reg delete "$key" /f >/dev/null 2>&1
wine reg delete 'HKCU\SOFTWARE\Orvanta Wireless Inc\KvxLogPlus' /f >/dev/null 2>&1
winui_catalogue_key "$key" "$src/data"
wine reg add "$key" /v Device /t REG_DWORD /d 0 /f >/dev/null 2>&1
wine reg add "$key" /v Port /t REG_DWORD /d 5 /f >/dev/null 2>&1
wine reg add "$key" /v Filter /t REG_SZ /d "$(winpath "$work/sample.sqf")" /f >/dev/null 2>&1
wine reg delete "$key" /v LogPath /f >/dev/null 2>&1

window_width() {
    xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p'
}

# ---- the narrow window and the full one -------------------------------------------------------
wine "$exe" >/dev/null 2>&1 &
pid=$!
w=$(winui_window "KvxLog Plus")
check "the narrow window shows" test -n "$w"
narrow=$(window_width "$w")
xdotool windowfocus "$w" key Escape 2>/dev/null
check "Escape closes the narrow window" timeout 5 tail --pid=$pid -f /dev/null

wine "$exe" -KVX >/dev/null 2>&1 &
pid=$!
w=$(winui_window "KvxLog Plus")
full=$(window_width "$w")
check "-KVX shows the full window, wider than the narrow one ($narrow < $full)" \
    test "${narrow:-0}" -gt 300 -a "${full:-0}" -gt $((narrow + 200))

# ---- Return starts logging the simulated modem on COM5; Escape stops and closes ----------------
"$lin/tools/modemsim/kvxlog-modemsim" --rate 200 --link "$WINEPREFIX/dosdevices/com5" \
    >/dev/null 2>&1 &
winui_pids+=($!)
n=0
while [ ! -e "$WINEPREFIX/dosdevices/com5" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done

# Tab order from the port combo: custom port, filter file, "...", log file.
xdotool windowfocus "$w" key Tab Tab Tab Tab 2>/dev/null
xdotool type --delay 5 "$(winpath "$work/logs")\\run"
xdotool key Return
n=0
while [ -z "$(ls "$work"/logs/*.kvx 2>/dev/null)" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
log=$(ls "$work"/logs/*.kvx 2>/dev/null | head -1)
check "Return starts logging into the folder typed" test -n "$log"
geometry=$(xdotool getwindowgeometry "$w" | sed -n 's/.*Geometry: //p')
height=${geometry#*x}
width=${geometry%x*}
status_crop() {  # the status bar, the window's lowest 16 pixels
    import -display "$DISPLAY" -window "$w" -crop "${width}x16+0+$((height - 16))" "$1" 2>/dev/null
}
status_crop "$work/status1.png"
size1=$(stat -c %s "$log" 2>/dev/null || echo 0)
sleep 4.5
status_crop "$work/status2.png"
size2=$(stat -c %s "$log" 2>/dev/null || echo 0)
check "the log grows while logging ($size1 -> $size2 bytes)" test "$size2" -gt "$size1"
check "the status line advances" bash -c "! cmp -s '$work/status1.png' '$work/status2.png'"

start=$(date +%s%N)
xdotool windowfocus "$w" key Escape 2>/dev/null
while xdotool search --onlyvisible --name '^KvxLog Plus$' >/dev/null 2>&1 &&
      [ $((($(date +%s%N) - start) / 1000000)) -lt 5000 ]; do
    sleep 0.05
done
closed_ms=$((($(date +%s%N) - start) / 1000000))
timeout 5 tail --pid=$pid -f /dev/null
ended_ms=$((($(date +%s%N) - start) / 1000000))
check "Escape stops and closes the window within 2 s ($closed_ms ms; process ended after $ended_ms ms)" \
    test "$closed_ms" -lt 2000

dump=$("$lin/cli/kvxlog" dump "$log" 2>/dev/null)
records=$(grep -v '^--' <<<"$dump" | grep -v 'offset *len code')
check "the log opens with the version note" \
    grep -q 'note *"KvxLog Plus - Version 1\.' <<<"$(head -1 <<<"$records")"
check "the log holds packets ($(grep -c ' packet \| log \| event \| message ' <<<"$records"))" \
    test "$(grep -c ' packet \| log \| event \| message ' <<<"$records")" -gt 10
check "the log ends with \"Log manually stopped from UI\"" \
    grep -q 'note *"Log manually stopped from UI"' <<<"$(tail -1 <<<"$records")"
saved=$(wine reg query "$key" /v LogPath 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
check "\"LogPath\" saved as the log folder ($saved)" test "$saved" = "$(winpath "$work/logs")\\"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
