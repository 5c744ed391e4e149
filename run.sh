#!/usr/bin/env bash
# ./run.sh [dorimel options] URL      the native console front end
# ./run.sh --gui [dorimel options] URL the Windows dorimel.exe under Wine on $DISPLAY
# Installs what is missing and builds what changed first.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
scripts/setup.sh >&2 || exit 1
. scripts/build.sh
if [ "${1:-}" = "--gui" ]; then
  shift
  build_windows x86_64 >&2 || exit 1
  export WINEPREFIX="$here/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
  cd "$OLDPWD" && exec wine "$here/build/win-x86_64/app/dorimel.exe" "$@"
fi
build_native >&2 || exit 1
cd "$OLDPWD" && exec "$here/build/native/app/dorimel" "$@"
