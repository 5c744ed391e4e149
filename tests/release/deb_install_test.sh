#!/bin/sh
# The release as a user gets it. scripts/release.sh makes it into a scratch
# folder: the two Windows archives too when both Windows trees are built
# (their programs are not rebuilt when up to date), else only the .deb. The
# .deb is unpacked into a scratch root (dpkg -x); the installed program
# answers --version and downloads a file from 127.0.0.1, its manual page
# renders without warnings, and lintian finds no error (scripts/setup.sh
# installs it: its absence is a broken set-up). The program runs in the
# English locale whatever the caller's (LC_ALL and LC_MESSAGES would win over
# LANG).
# usage: deb_install_test.sh SOURCE_DIR NATIVE_TREE [WIN64_TREE]
set -u
source_dir=$1; tree=$2; win64=${3:-}
work=$(mktemp -d /tmp/dorimel-deb-XXXXXX) || exit 1
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# No options file of the user's is read either.
english() { env -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 XDG_CONFIG_HOME="$work/config" "$@"; }

win32=${win64%-x86_64}-i686
programs="app/dorimel.exe browser_module/DorimelDLM.dll settings_app/DorimelServer.exe setup_starter/setupstart.exe
          native_host/DorimelHost.exe"
built=yes
for t in "$win64" "$win32"; do
  for p in $programs; do [ -n "$win64" ] && [ -f "$t/$p" ] || built=no; done
done
if [ $built = yes ]; then
  DIST="$work/out" "$source_dir/scripts/release.sh" "$win64" "$win32" "$tree" >/dev/null || fail "release.sh"
  for arch in x86_64 i686; do
    zip=$(ls "$work"/out/dorimel-*-windows-$arch.zip) || fail "no $arch archive"
    folder=$(basename "$zip" .zip)
    listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
    expected="$folder/ $folder/DorimelDLM.dll $folder/DorimelHost.exe $folder/DorimelIEScript.htm $folder/DorimelServer.exe $folder/dorimel.exe $folder/readme.txt $folder/setupstart.exe "
    [ "$listed" = "$expected" ] || fail "$zip holds: $listed"
  done
  # The extension: Chromium's with its pinning key, Firefox's with its add-on id.
  unzip -p "$work"/out/dorimel-extension-*-chromium.zip dorimel-extension-chromium/manifest.json |
    grep -q '"service_worker": "background.js"' || fail "no Chromium manifest in the extension's archive"
  unzip -p "$work"/out/dorimel-extension-*-firefox.zip manifest.json | grep -q '"id": "handoff@dorimel"' ||
    fail "no Firefox manifest in the extension's archive"
else
  echo "the Windows trees are not built: only the .deb is made"
  "$source_dir/scripts/release.sh" --deb "$tree" "$work/out" || fail "release.sh --deb"
fi
deb=$(ls "$work"/out/dorimel_*_*.deb) || fail "no .deb"
dpkg-deb --field "$deb" Depends | grep -q 'libc6' || fail "Depends lacks libc6: $(dpkg-deb --field "$deb" Depends)"
dpkg -x "$deb" "$work/root" || fail "dpkg -x"
program=$work/root/usr/bin/dorimel
[ -x "$program" ] || fail "no usr/bin/dorimel"
[ -f "$work/root/usr/share/doc/dorimel/copyright" ] || fail "no copyright file"

version=$(english "$program" --version) || fail "--version exit code $?"
[ "$(echo "$version" | head -n 1)" = "dorimel $(dpkg-deb --field "$deb" Version)" ] ||
  fail "--version says '$version'"

# The native messaging host, its manifests naming it where the browsers
# look, and its answer to a browser's hello.
[ -x "$work/root/usr/bin/dorimel-host" ] || fail "no usr/bin/dorimel-host"
for manifest in etc/chromium etc/opt/chrome etc/opt/edge usr/lib/mozilla; do
  manifest=$work/root/$manifest/native-messaging-hosts/jp.dorimel.host.json
  grep -q '"path": "/usr/bin/dorimel-host"' "$manifest" 2>/dev/null || fail "$manifest does not name the host"
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/opt/edge/native-messaging-hosts/jp.dorimel.host.json ||
  fail "manifests are not conffiles"
hello=$(printf '\020\000\000\000{"type":"hello"}' | english "$work/root/usr/bin/dorimel-host" chrome-extension://x/ | tail -c +5)
case $hello in '{"ok":true,'*'"version":"0.11"}') ;; *) fail "dorimel-host answered '$hello'" ;; esac

warnings=$(english env MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/dorimel.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"

# A download from the fault server on 127.0.0.1.
mkdir -p "$work/www" "$work/dst"
head -c 100000 /dev/urandom > "$work/www/f.bin"
mkfifo "$work/port"
python3 "$source_dir/tests/servers/fault_server.py" --root "$work/www" > "$work/port" &
server=$!
read -r word port < "$work/port"  # "PORT <n>" once it listens; end of file if it died
[ "$word" = PORT ] || fail "fault server did not start"
english "$program" -td "$work/dst" "http://127.0.0.1:$port/f/f.bin" 2> "$work/log" ||
  fail "download exit code $?: $(cat "$work/log")"
cmp -s "$work/www/f.bin" "$work/dst/f.bin" || fail "downloaded file differs"
grep -q ' 0 1 Finished\.$' "$work/log" || fail "no English 'Finished.' row: $(cat "$work/log")"

command -v lintian >/dev/null 2>&1 || fail "lintian is not installed (scripts/setup.sh installs it)"
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"
echo "ok: $deb"
