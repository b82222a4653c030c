# The window's test bench under Wine, sourced by the scripts of this folder: a Wine prefix with
# the fonts the dialogs use, a virtual screen (Xvfb), one wine server per run, and the helpers
# that find, key and photograph the window. Everything started here is ended by winui_cleanup.
#   winui_start_bench WORKDIR     prefix WORKDIR/prefix (made once; KVX_WINUI_PREFIX reuses one)
#   winui_window NAME             waits (10 s) for a shown top-level window of that exact title
#   winui_shot WINDOW FILE        PNG of one window (frame included when a desktop gives one)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
winui_pids=()

winui_cleanup() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
    for p in "${winui_pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    return 0
}

winui_start_bench() {
    local work=$1
    mkdir -p "$work"
    export WINEPREFIX=${KVX_WINUI_PREFIX:-$work/prefix}
    if [ ! -f "$WINEPREFIX/.kvx-ready" ]; then
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w
        # Wine does not load Debian's fonts-wine by itself: without them captions show stray
        # letters.
        cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
        touch "$WINEPREFIX/.kvx-ready"
    fi
    # A display of our own: Xvfb tells the number it took.
    local fifo=$work/display.$$
    rm -f "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    winui_pids+=($!)
    local n=0
    while [ ! -s "$fifo" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
    export DISPLAY=:$(head -1 "$fifo")
    rm -f "$fifo"
    wineserver -p >/dev/null 2>&1
    # The first program starts the server's helpers with its output away from our pipes.
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

winui_window() {
    local name=$1 id="" n=0
    while [ -z "$id" ] && [ $n -lt 100 ]; do
        id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -1)
        [ -z "$id" ] && sleep 0.1
        n=$((n + 1))
    done
    [ -n "$id" ] && echo "$id"
}

winui_shot() {
    local g x y
    g=$(xdotool getwindowgeometry "$1")
    read -r x y < <(sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\1 \2/p' <<<"$g")
    # Grabbed from the screen: a grab of the window itself can wait for ever on a Wine window.
    timeout 20 import -display "$DISPLAY" -window root \
        -crop "$(sed -n 's/.*Geometry: //p' <<<"$g")+$x+$y" +repage "$2" 2>/dev/null
}

# Windows' name of a path of this machine (Z: is the root of the file system).
winpath() {
    printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
}

# The settings key with the sixteen catalogue paths of a data folder (as its sample settings
# name them), as the installer or `kvxlog setup` writes it.
winui_catalogue_key() {  # winui_catalogue_key KEY DATA_DIR
    local key=$1 data=$2 name file
    while IFS='=' read -r name file; do
        wine reg add "$key" /v "$name" /t REG_SZ /d "$(winpath "$data/$file")" /f >/dev/null 2>&1
    done < <(grep -E '^[A-Z]+=catalogue/' "$data/kvxlogplus.ini" | tr -d '\r')
}

# A filter file for the simulated modem (the Info Box's log items among others), saved by the
# Linux command against a simulated modem of its own.
winui_sample_filter() {  # winui_sample_filter LINUX_BUILD SOURCE_DIR OUT.sqf
    local lin=$1 src=$2 out=$3 tty sim
    tty=$(dirname "$out")/filter-sim.tty
    "$lin/tools/modemsim/kvxlog-modemsim" --link "$tty" >/dev/null 2>&1 &
    sim=$!
    local n=0
    while [ ! -e "$tty" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
    KVXLOGPLUS_SETTINGS=$src/data/kvxlogplus.ini "$lin/cli/kvxlog" filter save --port "$tty" \
        --log 0x5072 0x5138 0x5139 0xB0C0 0xB193 --event 256 --message 5/2 "$out" >/dev/null
    local rc=$?
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    return $rc
}

# Whether Wine's X11 driver lets a window manager manage its windows (Y, Wine's default) or not
# (N). No manager runs on the virtual screen: managed windows wait about 2 s at each hide for
# an answer that never comes; unmanaged ones do not, but then common dialogs and a second
# top-level window do not take xdotool's focus. Takes effect for programs started afterwards.
winui_managed() {
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$1" /f >/dev/null 2>&1
}
