#!/usr/bin/env bash
# Installs the build into temporary folders (DESTDIR and --prefix) and uses what was installed:
# the file layout, kvxlog setup against the installed catalogue (and never over an existing
# settings file), filter export with those settings, the udev rule and the man page.
# Usage: install_check.sh BUILD_DIR CMAKE SOURCE_DIR
set -u
BUILD=$(realpath "$1")
CMAKE=$2
SRC=$(realpath "$3")

source "$(dirname "${BASH_SOURCE[0]}")/../check.sh"
contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- DESTDIR install: the layout a package gets -----------------------------------------------
dest=$work/dest
if ! DESTDIR=$dest "$CMAKE" --install "$BUILD" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install with DESTDIR"
    exit 1
fi
root=$dest/usr
expected=(bin/kvxlog share/kvxlogplus/kvxlogplus.ini lib/udev/rules.d/60-kvxlogplus.rules
          share/man/man1/kvxlog.1 "lib/systemd/system/kvxlog@.service"
          share/kvxlogplus/capture.conf)
[ -e "$BUILD/tools/modemsim/kvxlog-modemsim" ] && expected+=(bin/kvxlog-modemsim)
if [ -e "$BUILD/gui/kvxlogplus" ]; then
    expected+=(bin/kvxlogplus share/applications/kvxlogplus.desktop
               share/icons/hicolor/scalable/apps/kvxlogplus.svg)
fi
for f in "${expected[@]}"; do check "installed $f" test -s "$root/$f"; done
check "bin/kvxlog is executable" test -x "$root/bin/kvxlog"
# Every catalogue file the sample settings name is installed.
while IFS='=' read -r name value; do
    check "catalogue $name installed" test -f "$root/share/kvxlogplus/$value"
done < <(grep -E '^[A-Z]+=catalogue/' "$SRC/data/kvxlogplus.ini")
check "sixteen catalogue files" test "$(ls "$root/share/kvxlogplus/catalogue" | wc -l)" -eq 16
# Nothing outside the prefix (a DESTDIR install must stay inside it).
check "nothing installed outside /usr" test "$(ls "$dest")" = "usr"

# The unpacked tree finds its own catalogue: the program looks beside its bin folder.
check "setup from the DESTDIR tree" "$root/bin/kvxlog" setup --settings "$work/d.ini" >/dev/null
check "DESTDIR settings name the DESTDIR catalogue" \
    contains "$work/d.ini" "LOGS=$root/share/kvxlogplus/catalogue/logs.txt"

# --- --prefix install, then kvxlog setup and a filter export with its settings ----------------
prefix=$work/prefix
"$CMAKE" --install "$BUILD" --prefix "$prefix" >"$work/install2.log" 2>&1 ||
    { cat "$work/install2.log"; echo "FAIL: cmake --install --prefix"; exit 1; }
kvxlog=$prefix/bin/kvxlog
S=$work/conf/sub/kvxlogplus.ini
check "setup creates the settings file" "$kvxlog" setup --settings "$S" >"$work/setup1.out"
check "setup says it created it" contains "$work/setup1.out" "Created the settings file $S"
check "sixteen catalogue values, all installed" \
    test "$(grep -c "=$prefix/share/kvxlogplus/catalogue/" "$S")" -eq 16
check "the settings file has its section" contains "$S" "[KvxLogPlus]"

# A second setup leaves the file as it is, including the user's own changes.
echo "LogPath=/tmp/mine/" >>"$S"
cp "$S" "$work/before.ini"
check "second setup succeeds" "$kvxlog" setup --settings "$S" >"$work/setup2.out"
check "second setup says the file exists" contains "$work/setup2.out" "exists; left unchanged"
check "second setup leaves the file unchanged" cmp -s "$S" "$work/before.ini"

KVXLOGPLUS_SETTINGS=$S "$kvxlog" filter export "$work/export.txt" --log 0x5065 \
    2>"$work/export.err"
check "filter export with the installed catalogue" test $? -eq 0
check "export names the log item from the catalogue" \
    contains "$work/export.txt" "GSM L1 FCCH Acquisition"
check "every item found in the catalogue" lacks "$work/export.err" "Not in the catalogue"

# Default location: $XDG_CONFIG_HOME/kvxlogplus/kvxlogplus.ini.
(unset KVXLOGPLUS_SETTINGS; XDG_CONFIG_HOME=$work/xdg "$kvxlog" setup >/dev/null)
check "setup writes under XDG_CONFIG_HOME" test -s "$work/xdg/kvxlogplus/kvxlogplus.ini"

# No catalogue: an error, and no file left behind.
mkdir -p "$work/empty"
"$kvxlog" setup --settings "$work/none.ini" --data "$work/empty" 2>"$work/none.err" >/dev/null
check "setup without a catalogue fails" test $? -ne 0
check "setup without a catalogue names --data" contains "$work/none.err" "--data"
check "setup without a catalogue writes nothing" test ! -e "$work/none.ini"

# --- the udev rule and the man page as their tools read them -----------------------------------
rules=$root/lib/udev/rules.d/60-kvxlogplus.rules
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
    check "udevadm verify" udevadm verify --resolve-names=never "$rules"
else
    echo "SKIP: udevadm verify not available"
fi
if command -v groff >/dev/null; then
    groff -man -Tutf8 -ww -z "$root/share/man/man1/kvxlog.1" 2>"$work/man.err"
    check "man page renders without warnings" test ! -s "$work/man.err"
fi
# --- the capture service: systemd's own check, in a root holding the installed program -------
unit="$root/lib/systemd/system/kvxlog@.service"
check "the sample options set what the unit passes" \
    grep -q '^KVXLOG_CAPTURE_OPTIONS=--port ' "$root/share/kvxlogplus/capture.conf"
check "the unit runs kvxlog capture with those options" \
    contains "$unit" 'ExecStart=/usr/bin/kvxlog capture $KVXLOG_CAPTURE_OPTIONS'
if command -v systemd-analyze >/dev/null && [ -d /usr/lib/systemd/system ]; then
    vroot=$work/vroot
    mkdir -p "$vroot/usr/bin" "$vroot/usr/lib/systemd" "$vroot/etc/kvxlogplus"
    cp -a /usr/lib/systemd/system "$vroot/usr/lib/systemd/"
    cp "$root/bin/kvxlog" "$vroot/usr/bin/"
    cp "$unit" "$vroot/usr/lib/systemd/system/"
    cp "$root/share/kvxlogplus/capture.conf" "$vroot/etc/kvxlogplus/"
    systemd-analyze verify --man=no --root="$vroot" "kvxlog@capture.service" \
        >"$work/verify.out" 2>&1
    check "systemd-analyze verify accepts kvxlog@capture.service" test $? -eq 0
    # It only warns about a line it ignores: the unit must draw no word from it.
    check "systemd-analyze verify has nothing to say ($(head -c 300 "$work/verify.out"))" \
        test ! -s "$work/verify.out"
    # The check would notice a broken unit.
    sed 's/^Type=notify/Type=notfy/' "$unit" >"$vroot/usr/lib/systemd/system/kvxlog@.service"
    systemd-analyze verify --man=no --root="$vroot" "kvxlog@capture.service" >"$work/bad.out" 2>&1
    check "systemd-analyze verify flags a bad unit" contains "$work/bad.out" "notfy"
else
    echo "SKIP: systemd-analyze not available (Debian package systemd)"
fi

desktop=$root/share/applications/kvxlogplus.desktop
if [ -e "$desktop" ] && command -v desktop-file-validate >/dev/null; then
    check "desktop entry validates" desktop-file-validate "$desktop"
fi

echo "install check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
