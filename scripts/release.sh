#!/usr/bin/env bash
# Builds the release in dist/ (or in $DIST when set):
#   dorimel-VERSION-windows-x86_64.zip, dorimel-VERSION-windows-i686.zip
#     each one folder with dorimel.exe, DorimelDLM.dll, DorimelServer.exe,
#     setupstart.exe, the browsers' native messaging host DorimelHost.exe
#     (it writes its manifests when registered), the script page DorimelIEScript.htm and a short Japanese
#     readme (Shift-JIS, CRLF) for Windows users. A browser module must match
#     the browser's bitness, hence two archives.
#   dorimel-extension-VERSION-chromium.zip, dorimel-extension-VERSION-firefox.zip
#     the browser extension, one archive per kind of browser, as each loads
#     it: Chromium's holds one folder to load unpacked (its manifest pins the
#     extension's id with a "key"); Firefox's has manifest.json at the top,
#     as a temporary add-on and the add-on site want it.
#   dorimel_VERSION_amd64.deb
#     the Linux console program, its manual page and copyright file, the
#     native messaging host dorimel-host and its manifests in the browsers'
#     folders; the dependencies are those of the libraries the programs link
#     against.
# VERSION is the one the window shows (string 3 of resources/strings.txt).
#
# usage: scripts/release.sh [X86_64_TREE I686_TREE NATIVE_TREE]
#        scripts/release.sh --deb NATIVE_TREE OUT_DIR
#   Without arguments the standard trees build/win-x86_64, build/win-i686 and
#   build/native are built (as test.sh does); with three configured trees, only
#   the programs are built there (nothing, when they are up to date). --deb
#   makes only the .deb, from a built tree, into OUT_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
version=$(sed -n 's/^3\t.*ver\([0-9][0-9.]*\).*/\1/p' resources/strings.txt)
[ -n "$version" ] || { echo "release: no version in resources/strings.txt" >&2; exit 1; }

# The .deb from a native tree whose dorimel is built.
make_deb() {  # native tree, output folder
  local tree=$1 out=$2 stage arch depends
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  # The host manifests go to the browsers' folders below /etc and /usr/lib:
  # DESTDIR keeps them in the stage, the prefix is the installed one.
  DESTDIR="$stage/root" cmake --install "$tree" --prefix /usr --strip >/dev/null
  gzip -9n "$stage/root/usr/share/man/man1/dorimel.1"
  local doc="$stage/root/usr/share/doc/dorimel"
  mkdir -p "$doc"
  cat > "$doc/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: dorimel
Comment: Built from the Dorimel source tree by scripts/release.sh.

Files: *
Copyright: 2026 the Dorimel developers
License: permissive
 Permission is hereby granted, free of charge, to any person obtaining a copy
 of this software, to deal in the software without restriction, including the
 rights to use, copy, modify, merge, publish and distribute it.
 .
 The software is provided "as is", without warranty of any kind.
COPYRIGHT
  printf 'dorimel (%s) unstable; urgency=low\n\n  * Release %s.\n\n -- Dorimel developers <dorimel@example.org>  %s\n' \
    "$version" "$version" "$(date -R -d @"${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")" |
    gzip -9n > "$doc/changelog.gz"
  # The dependencies of the linked libraries, as dpkg-shlibdeps finds them.
  mkdir -p "$stage/src/debian"
  printf 'Source: dorimel\n\nPackage: dorimel\nArchitecture: any\n' > "$stage/src/debian/control"
  depends=$(cd "$stage/src" && dpkg-shlibdeps -O -e"$stage/root/usr/bin/dorimel" \
                                 -e"$stage/root/usr/bin/dorimel-host" 2>/dev/null |
            sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || { echo "release: dpkg-shlibdeps found no dependencies" >&2; return 1; }
  arch=$(dpkg --print-architecture)
  mkdir -p "$stage/root/DEBIAN"
  # The manifests below /etc are configuration; Chrome and Edge read theirs
  # from /etc/opt only, which lintian would otherwise call an error.
  (cd "$stage/root" && find etc -type f | sed 's|^|/|' | sort) > "$stage/root/DEBIAN/conffiles"
  mkdir -p "$stage/root/usr/share/lintian/overrides"
  printf 'dorimel: dir-or-file-in-etc-opt [etc/opt/*]\n' > "$stage/root/usr/share/lintian/overrides/dorimel"
  cat > "$stage/root/DEBIAN/control" <<CONTROL
Package: dorimel
Version: $version
Architecture: $arch
Maintainer: Dorimel developers <dorimel@example.org>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage/root" | cut -f1)
Depends: $depends
Section: web
Priority: optional
Homepage: http://dorimel.example.jp/
Description: download manager for one file over HTTP, HTTPS or FTP
 dorimel downloads one file into a folder, over one connection or split over
 two, with a speed limit, retries and a time-out. A stopped or killed download
 keeps its temporary file and resumes from it. On a terminal it shows a
 progress line; its log rows go to standard error.
 .
 dorimel-host is the native messaging host through which the Dorimel browser
 extension (Chromium, Chrome, Edge, Firefox) hands downloads over to dorimel.
CONTROL
  mkdir -p "$out"
  dpkg-deb --root-owner-group -Zxz --build "$stage/root" "$out/dorimel_${version}_${arch}.deb" >/dev/null
  echo "release: $out/dorimel_${version}_${arch}.deb"
}

if [ "${1:-}" = "--deb" ]; then
  [ $# -eq 3 ] || { echo "usage: scripts/release.sh --deb NATIVE_TREE OUT_DIR" >&2; exit 2; }
  make_deb "$2" "$3"
  exit 0
fi

if [ $# -eq 3 ]; then
  trees=("$1" "$2")
  native=$3
  for tree in "${trees[@]}"; do
    cmake --build "$tree" -j 2 --target dorimel DorimelDLM DorimelServer setupstart DorimelHost
  done
  cmake --build "$native" -j 2 --target dorimel dorimel-host
else
  scripts/setup.sh
  . scripts/build.sh
  build_windows x86_64
  build_windows i686
  build_native
  trees=(build/win-x86_64 build/win-i686)
  native=build/native
fi

dist=${DIST:-$here/dist}
rm -rf "$dist"
mkdir -p "$dist"
index=0
for arch in x86_64 i686; do
  tree="${trees[$index]}"
  index=$((index + 1))
  name="dorimel-$version-windows-$arch"
  stage=$(mktemp -d)
  mkdir "$stage/$name"
  for program in app/dorimel.exe browser_module/DorimelDLM.dll \
                 settings_app/DorimelServer.exe setup_starter/setupstart.exe native_host/DorimelHost.exe; do
    if [ ! -f "$tree/$program" ]; then
      echo "release: $tree/$program was not built" >&2
      exit 1
    fi
    cp "$tree/$program" "$stage/$name/"
  done
  cp DorimelIEScript.htm "$stage/$name/"
  # Windows users read the readme in Notepad: code page 932 with CRLF.
  sed 's/$/\r/' resources/readme_windows_ja.txt | iconv -f UTF-8 -t CP932 > "$stage/$name/readme.txt"
  (cd "$stage" && zip -qrX "$dist/$name.zip" "$name")
  rm -rf "$stage"
  echo "release: $dist/$name.zip"
done

stage=$(mktemp -d)
"${PYTHON:-python3}" browser_extension/make_extension.py "$stage"
mv "$stage/chromium" "$stage/dorimel-extension-chromium"
(cd "$stage" && zip -qrX "$dist/dorimel-extension-$version-chromium.zip" dorimel-extension-chromium)
(cd "$stage/firefox" && zip -qrX "$dist/dorimel-extension-$version-firefox.zip" .)
rm -rf "$stage"
echo "release: $dist/dorimel-extension-$version-{chromium,firefox}.zip"
make_deb "$native" "$dist"
