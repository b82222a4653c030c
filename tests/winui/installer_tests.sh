#!/usr/bin/env bash
# The NSIS installer under Wine in a fresh prefix: /S installs the programs, the catalogue, the
# registry key with the sixteen catalogue paths and the Start-menu shortcuts; the installed
# kvxlogplus.exe then logs the simulated modem on COM5 (window_tests.sh); the uninstaller /S
# removes what was installed and leaves the user's logs.
#   installer_tests.sh WINDOWS_BUILD DEFAULT_BUILD
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../check.sh"
source "$here/wine_env.sh"
win=$(cd "$1" && pwd)
lin=$(cd "$2" && pwd)
src=$(cd "$here/../.." && pwd)
work=$win/winui-install-test
setup=$(ls "$win"/kvxlogplus-*-setup.exe 2>/dev/null | head -1)
check "the installer was built (an .exe named *setup*)" test -n "$setup"
[ -n "$setup" ] || { echo "$passed passed, $failed failed"; exit 1; }
trap winui_cleanup EXIT
rm -rf "$work" && mkdir -p "$work"
unset KVX_WINUI_PREFIX
winui_start_bench "$work"
key='HKLM\SOFTWARE\Orvanta Wireless Inc\KvxLogPlus'
dir="$WINEPREFIX/drive_c/Program Files/KvxLog Plus"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/KvxLog Plus"

wine "$setup" /S
check "/S installs kvxlogplus.exe and kvxlog.exe" test -f "$dir/kvxlogplus.exe" -a -f "$dir/kvxlog.exe"
check "the catalogue is installed (16 files)" test "$(ls "$dir/catalogue" | wc -l)" -eq 16
values=$(wine reg query "$key" 2>/dev/null | tr -d '\r')
check "the key holds the sixteen catalogue paths into the installed folder" \
    test "$(grep -c 'REG_SZ *C:\\Program Files\\KvxLog Plus\\catalogue\\' <<<"$values")" -eq 16
missing=0
while read -r name _ path; do
    [ -f "$(winepath -u "$path" 2>/dev/null)" ] || missing=$((missing + 1))
done < <(grep 'catalogue' <<<"$values")
check "every catalogue path names an installed file ($missing missing)" test "$missing" -eq 0
check "the Start-menu shortcut" test -f "$menu/KvxLog Plus.lnk"

# The installed window, with its settings pointing at COM5.
KVX_WINUI_PREFIX=$WINEPREFIX bash "$here/window_tests.sh" "$win" "$lin" "$dir/kvxlogplus.exe" \
    >"$work/window.out" 2>&1
window_rc=$?
grep -E 'FAIL|passed' "$work/window.out"
check "the installed kvxlogplus.exe logs COM5 and closes on Escape" test "$window_rc" -eq 0
mkdir -p "$dir/logs" && echo kept >"$dir/logs/user.kvx"

wine "$dir/uninstall.exe" /S
n=0   # the uninstaller copies itself away and returns at once
while [ -f "$dir/kvxlogplus.exe" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
sleep 1
check "/S uninstalls the programs" test ! -e "$dir/kvxlogplus.exe" -a ! -e "$dir/kvxlog.exe"
check "and the catalogue" test ! -e "$dir/catalogue"
check "and the shortcut" test ! -e "$menu/KvxLog Plus.lnk"
check "the user's logs stay" test -f "$dir/logs/user.kvx"
check "the catalogue paths are gone from the key" \
    bash -c "! wine reg query '$key' /v LOGS >/dev/null 2>&1"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
