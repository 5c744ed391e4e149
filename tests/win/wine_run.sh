#!/usr/bin/env bash
# Runs a Windows program of the build under Wine the way the tests do: the
# project's Wine prefix (unless WINEPREFIX is already set), no debug output, no
# Mono or Gecko, a Japanese locale (ANSI code page 932). Needs an X display.
# usage: wine_run.sh PROGRAM.exe [ARGUMENTS...]   (exit status: the program's)
# Without a display it fails (1); with DORIMEL_ALLOW_SKIP=1 it exits 77, the
# one skip code of every test (SKIP_RETURN_CODE 77; the programs run through it
# exit 0 or 1).
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
  if [ "${DORIMEL_ALLOW_SKIP:-}" = 1 ]; then
    echo "skipped (DORIMEL_ALLOW_SKIP=1): DISPLAY is not set (see scripts/xvfb.sh)"
    exit 77
  fi
  echo "wine_run.sh: DISPLAY is not set (start Xvfb first, see scripts/xvfb.sh)" >&2
  exit 1
fi
export WINEPREFIX="${WINEPREFIX:-$repo/build/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
exec wine "$@"
