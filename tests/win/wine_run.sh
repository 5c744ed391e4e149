#!/usr/bin/env bash
# Runs a Windows program of the build under Wine the way the tests do: the
# project's Wine prefix (unless WINEPREFIX is already set), no debug output, no
# Mono or Gecko, a Japanese locale (ANSI code page 932). Needs an X display.
# usage: wine_run.sh PROGRAM.exe [ARGUMENTS...]   (exit status: the program's)
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
  echo "wine_run.sh: DISPLAY is not set (start Xvfb first, see scripts/xvfb.sh)" >&2
  exit 125
fi
export WINEPREFIX="${WINEPREFIX:-$repo/build/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
exec wine "$@"
