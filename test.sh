#!/usr/bin/env bash
# Installs what is missing, builds every tree (native, sanitizers with the fuzz
# targets, Windows x86_64 and i686) and runs every test through ctest.
set -uo pipefail
cd "$(dirname "$0")"
scripts/setup.sh || exit 1
. scripts/build.sh
build_all || exit 1

# A private X display for the Windows programs under Wine.
. scripts/xvfb.sh
start_xvfb || exit 1
trap stop_xvfb EXIT

export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0
echo "== native tree (unit, engine and Wine tests)"
ctest --test-dir build/native --output-on-failure -j2 --timeout 600 || status=1
python3 scripts/skip_reasons.py build/native  # ctest names a skipped test, not why
echo "== sanitizer tree (AddressSanitizer, UndefinedBehaviorSanitizer, fuzz targets)"
ctest --test-dir build/sanitize --output-on-failure -j2 --timeout 600 || status=1
python3 scripts/skip_reasons.py build/sanitize
exit $status
