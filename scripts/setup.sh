#!/usr/bin/env bash
# Installs what building and testing Dorimel needs on a Debian machine (as root),
# generates the Japanese locale and creates the Wine prefix inside build/.
# Idempotent: quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build ccache g++ python3 libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 xvfb xdotool x11-apps imagemagick
  locales fonts-ipafont-gothic fonts-ipafont-mincho
  nginx-light vsftpd python3-pyftpdlib tinyproxy curl procps iproute2
  libssl-dev openssl wget
  dpkg-dev fakeroot lintian man-db zip
  nlohmann-json3-dev
  chromium firefox-esr nodejs
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Package scripts must not start services (nginx, vsftpd, tinyproxy):
  # the tests start their own copies on 127.0.0.1.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# puppeteer-core for the browser extension tests, at the version the lock file
# names; it drives Debian's chromium and firefox-esr and downloads no browser.
ext_tests=tests/browser_ext
if [ ! -f "$ext_tests/node_modules/.package-lock.json" ] ||
   [ "$ext_tests/package-lock.json" -nt "$ext_tests/node_modules/.package-lock.json" ]; then
  echo "setup: installing puppeteer-core into $ext_tests/node_modules"
  (cd "$ext_tests" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "setup: generating ja_JP.UTF-8"
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# The Wine prefix lives in the build folder; Mono and Gecko are not wanted.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the Wine prefix"
  mkdir -p build
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w || true
fi

# Japanese dialog fonts: Wine has no replacement for the Windows Japanese fonts
# that dialog templates name, and falls back to a font that is too wide.
if [ ! -f "$WINEPREFIX/.dorimel-fonts" ]; then
  key='HKCU\Software\Wine\Fonts\Replacements'
  for pair in "ＭＳ Ｐゴシック=IPAPGothic" "ＭＳ ゴシック=IPAGothic" "MS PGothic=IPAPGothic" \
              "MS Gothic=IPAGothic" "MS UI Gothic=IPAPGothic"; do
    wine reg add "$key" /v "${pair%%=*}" /d "${pair#*=}" /f >/dev/null 2>&1 || true
  done
  wineserver -w || true
  touch "$WINEPREFIX/.dorimel-fonts"
fi
