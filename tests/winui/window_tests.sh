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

# The close is timed: no 2 s wait for a window manager at the hide.
winui_managed N

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
    winui_shot "$w" "$work/window.png"
    convert "$work/window.png" -crop "${width}x16+0+$((height - 16))" +repage "$1"
}
status_crop "$work/status1.png"
size1=$(stat -c %s "$log" 2>/dev/null || echo 0)
sleep 4.5
status_crop "$work/status2.png"
size2=$(stat -c %s "$log" 2>/dev/null || echo 0)
check "the log grows while logging ($size1 -> $size2 bytes)" test "$size2" -gt "$size1"
check "the status line advances" bash -c "! cmp -s '$work/status1.png' '$work/status2.png'"

pressed=$(date +%s%N)
xdotool windowfocus "$w" key Escape 2>/dev/null
# From the key's delivery: xdotool's own round trips on a busy machine are not the window's.
start=$(date +%s%N)
while xdotool search --onlyvisible --name '^KvxLog Plus$' >/dev/null 2>&1 &&
      [ $((($(date +%s%N) - start) / 1000000)) -lt 5000 ]; do
    sleep 0.05
done
closed_ms=$((($(date +%s%N) - start) / 1000000))
timeout 5 tail --pid=$pid -f /dev/null
ended_ms=$((($(date +%s%N) - start) / 1000000))
check "Escape stops and closes the window within 2 s ($closed_ms ms after the key; xdotool took $(((start - pressed) / 1000000)) ms; process ended after $ended_ms ms)" \
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

# ---- a tree click, Load Filters of a .dmc file, Export, a memory dump ---------------------------
winui_managed Y   # the common dialogs and the memory-dump tool take the keys and clicks
# The window without a window manager has no frame: dialog units from its corner, 1.5 pixels
# across and 1.625 down (MS Sans Serif 8).
printf '<QXDM><LoggingView><LogCodes>0xB0C0,</LogCodes><EventIDs>256,</EventIDs></LoggingView></QXDM>' \
    >"$work/two.dmc"
rm -f "$work"/export*.txt "$work"/run/* 2>/dev/null
mkdir -p "$work/run" && cp "$src/data/KvxMemDebug.txt" "$work/run/"
"$lin/tools/modemsim/kvxlog-modemsim" --download --link "$WINEPREFIX/dosdevices/com6" \
    >/dev/null 2>&1 &
winui_pids+=($!)
(cd "$work/run" && exec wine "$exe" -KVX >/dev/null 2>&1) &
pid=$!
w=$(winui_window "KvxLog Plus")
click() {  # click DLU_X DLU_Y [WINDOW]
    xdotool mousemove --window "${3:-$w}" $(($1 * 3 / 2)) $(($2 * 13 / 8)) click 1
    sleep 0.7
}
export_to() {  # "Export..." into FILE through the save dialog
    click 494 96
    local d
    d=$(winui_window "Save As")
    [ -n "$d" ] || return 1
    xdotool windowfocus "$d" type --delay 5 "$(winpath "$1")"
    xdotool key Return
    local n=0
    while [ ! -s "$1" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
}
click 222 48                               # "Send Filters from GUI": the trees take clicks
winui_shot "$w" "$work/before.png"
xdotool mousemove --window "$w" 344 174 click 1   # the first category's check image
sleep 0.7
xdotool mousemove --window "$w" 600 20     # the pointer away from the image compared
sleep 0.3
winui_shot "$w" "$work/after.png"
# The click draws the new check image at once: the 20x20 pixels around it change.
box=20x20+334+164
convert "$work/before.png" -crop $box +repage "$work/before-box.png"
convert "$work/after.png" -crop $box +repage "$work/after-box.png"
changed=$(compare -metric AE "$work/before-box.png" "$work/after-box.png" null: 2>&1 | cut -d' ' -f1)
check "the clicked check image is drawn anew ($changed pixels changed)" test "${changed:-0}" -gt 10
export_to "$work/export1.txt"
check "a click on a category's check image checks its items (export: $(grep -c . "$work/export1.txt" 2>/dev/null) lines)" \
    test "$(grep -c . "$work/export1.txt" 2>/dev/null || echo 0)" -ge 1
click 315 67                               # "Load Filters..."
d=$(winui_window "Open")
if [ -n "$d" ]; then
    xdotool windowfocus "$d" type --delay 5 "$(winpath "$work/two.dmc")"
    xdotool key Return
    sleep 1
fi
export_to "$work/export2.txt"
check "Load Filters of a .dmc ticks exactly its two items ($(tr '\n' ' ' <"$work/export2.txt" 2>/dev/null))" \
    test "$(sort -u "$work/export2.txt" 2>/dev/null | grep -c .)" -eq 2

click 413 67                               # "Run KvxMemDebug..."
m=$(winui_window "KvxMemDebug Tool")
check "the memory-dump tool shows" test -n "$m"
click 20 91 "$m"                           # "Specify Port Number"
click 140 90 "$m"
xdotool type 6
click 215 233 "$m"                         # Start
n=0
while [ "$(ls "$work/run" | grep -vc KvxMemDebug.txt)" -lt 3 ] && [ $n -lt 150 ]; do
    sleep 0.1
    n=$((n + 1))
done
sleep 1
check "a memory dump of the simulated download-mode modem writes its three regions ($(ls "$work/run" | tr '\n' ' '))" \
    test "$(ls "$work/run" | grep -vc KvxMemDebug.txt)" -ge 3
xdotool windowfocus "$w" key Escape
timeout 10 tail --pid=$pid -f /dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
