#!/usr/bin/env bash
# Builds the Windows release in dist/: dist/x86_64 and dist/i686, each with
# dorimel.exe, DorimelDLM.dll, DorimelServer.exe, setupstart.exe, the script
# page DorimelIEScript.htm and a short Japanese readme (Shift-JIS, CRLF) for
# Windows users. A browser module must match the browser's bitness, hence two sets.
# usage: scripts/release.sh [X86_64_TREE I686_TREE]
#   Without arguments the standard trees build/win-x86_64 and build/win-i686 are
#   built (as test.sh does); with two configured mingw-w64 trees, only the four
#   programs are built there.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 2 ]; then
  trees=("$1" "$2")
  for tree in "${trees[@]}"; do
    cmake --build "$tree" -j 2 --target dorimel DorimelDLM DorimelServer setupstart
  done
else
  scripts/setup.sh
  . scripts/build.sh
  build_windows x86_64
  build_windows i686
  trees=(build/win-x86_64 build/win-i686)
fi

rm -rf dist
index=0
for arch in x86_64 i686; do
  tree="${trees[$index]}"
  index=$((index + 1))
  out="dist/$arch"
  mkdir -p "$out"
  for program in app/dorimel.exe browser_module/DorimelDLM.dll \
                 settings_app/DorimelServer.exe setup_starter/setupstart.exe; do
    if [ ! -f "$tree/$program" ]; then
      echo "release: $tree/$program was not built" >&2
      exit 1
    fi
    cp "$tree/$program" "$out/"
  done
  cp DorimelIEScript.htm "$out/"
  # Windows users read the readme in Notepad: code page 932 with CRLF.
  sed 's/$/\r/' resources/readme_windows_ja.txt | iconv -f UTF-8 -t CP932 > "$out/readme.txt"
done
echo "release: dist/x86_64 and dist/i686 are ready"
