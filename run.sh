#!/usr/bin/env bash
# ./run.sh [dorimel options] URL      the native console front end
# ./run.sh --gui [dorimel options] URL the Windows dorimel.exe under Wine on $DISPLAY
# Installs what is missing and builds what changed first; their output shows
# only when they fail or had something to do.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
quietly() {
  local log rc
  log=$(mktemp)
  "$@" >"$log" 2>&1
  rc=$?
  if [ $rc -ne 0 ] || grep -qvE '^(== building .*|ninja: no work to do\.)$' "$log"; then cat "$log" >&2; fi
  rm -f "$log"
  return $rc
}
quietly scripts/setup.sh || exit 1
. scripts/build.sh
if [ "${1:-}" = "--gui" ]; then
  shift
  quietly build_windows x86_64 || exit 1
  export WINEPREFIX="$here/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
  cd "$OLDPWD" && exec wine "$here/build/win-x86_64/app/dorimel.exe" "$@"
fi
quietly build_native || exit 1
cd "$OLDPWD" && exec "$here/build/native/app/dorimel" "$@"
