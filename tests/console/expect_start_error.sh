#!/bin/sh
# Runs the console dorimel with the given arguments and checks that start-up
# fails with exit code 2 and exactly the expected text on standard error.
# Usage: expect_start_error.sh BINARY EXPECTED [ARGUMENT...]
# The program runs from a fresh folder (with its own copy of the binary, so that
# no dorimel.ini from elsewhere is read); "@DIR@" in EXPECTED and in the
# arguments stands for that folder, which also holds a plain file "file.txt"
# (and dorimel.ini with the text of $DORIMEL_TEST_INI when that is set).
# An EXPECTED ending in "..." only has to match the start of the output.
# HOME and XDG_CONFIG_HOME name folders below it, so that no options file of
# the user's is read: DORIMEL_TEST_INI_AT puts the options file elsewhere than
# beside the program (a path below the folder, e.g. config/dorimel/dorimel.ini),
# DORIMEL_TEST_OTHER_INI(_AT) writes a second one, DORIMEL_TEST_NO_XDG=1
# leaves XDG_CONFIG_HOME unset.
set -u
binary=$1; expected=$2; shift 2
dir=$(mktemp -d /tmp/dorimel-console-XXXXXX) || exit 1
trap 'rm -rf "$dir"' EXIT
cp "$binary" "$dir/dorimel" || exit 1
: > "$dir/file.txt"
put_ini() {  # text, path below $dir
  mkdir -p "$(dirname "$dir/$2")" && printf '%s\n' "$1" > "$dir/$2"
}
[ -n "${DORIMEL_TEST_INI:-}" ] && put_ini "$DORIMEL_TEST_INI" "${DORIMEL_TEST_INI_AT:-dorimel.ini}"
[ -n "${DORIMEL_TEST_OTHER_INI:-}" ] && put_ini "$DORIMEL_TEST_OTHER_INI" "$DORIMEL_TEST_OTHER_INI_AT"
export HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
[ "${DORIMEL_TEST_NO_XDG:-}" = 1 ] && unset XDG_CONFIG_HOME
expected=$(printf '%s' "$expected" | sed "s|@DIR@|$dir|g")
for arg in "$@"; do
  set -- "$@" "$(printf '%s' "$arg" | sed "s|@DIR@|$dir|g")"
  shift
done
cd "$dir" || exit 1
actual=$(timeout 20 ./dorimel "$@" 2>&1 >/dev/null)
rc=$?
status=0
if [ "$rc" -ne 2 ]; then echo "exit code $rc, expected 2"; status=1; fi
case $expected in
  *...) prefix=${expected%...}; case $actual in "$prefix"*) actual=$expected ;; esac ;;
esac
if [ "$actual" != "$expected" ]; then
  printf 'standard error:\n%s\nexpected:\n%s\n' "$actual" "$expected"; status=1
fi
exit $status
