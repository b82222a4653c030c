#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# PREFIX is the Wine prefix of this build folder, made on first use (wineboot -i, once, under a
# lock, so that tests started together wait for it). One wine server stays up for the whole
# test run (wineserver -p, ended by `wine-run.sh PREFIX --stop` or 60 s after its last
# program); it is started with its output away from the caller, or the background Windows
# processes would keep the first caller's pipe open. Console programs need no display.
set -euo pipefail
# Wine takes only an absolute prefix.
prefix=$(realpath -m "$1")
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts: console programs need neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

if [ "${1:-}" = "--stop" ]; then
  [ -d "$prefix" ] && wineserver -k >/dev/null 2>&1 || true
  exit 0
fi

# Windows made by tests (the companion lookup) need a display driver: Wine's null driver,
# also given to a prefix made before this setting was (its own marker).
if [ ! -f "$prefix/.kvx-ready" ] || [ ! -f "$prefix/.kvx-null-display" ] ||
  ! wineserver -k0 >/dev/null 2>&1; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.kvx-ready" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.kvx-ready"
  fi
  if [ ! -f "$prefix/.kvx-null-display" ]; then
    # A server of this run keeps the setting and saves it when it ends; else it is saved now.
    running=0
    if wineserver -k0 >/dev/null 2>&1; then running=1; fi
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    [ "$running" = 1 ] || wineserver -w
    touch "$prefix/.kvx-null-display"
  fi
  # -k0 sends no signal: it only asks whether a server of this prefix runs.
  if ! wineserver -k0 >/dev/null 2>&1; then
    wineserver -p60 </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  fi
  exec 9>&-
fi
exec wine "$@"
