#!/usr/bin/env bash
# Runs a Windows program of the build under Wine the way the tests do: the
# project's Wine prefix (unless WINEPREFIX is already set), no debug output, no
# Mono or Gecko, a Japanese locale (ANSI code page 932). Needs an X display.
# usage: wine_run.sh PROGRAM.exe [ARGUMENTS...]   (exit status: the program's)
# Without a display it fails (1); with DORIMEL_ALLOW_SKIP=1 it exits 125, which
# the tests that run a program through it read as skipped.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
  echo "wine_run.sh: DISPLAY is not set (start Xvfb first, see scripts/xvfb.sh)" >&2
  [ "${DORIMEL_ALLOW_SKIP:-}" = 1 ] && exit 125
  exit 1
fi
export WINEPREFIX="${WINEPREFIX:-$repo/build/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
exec wine "$@"
