#!/bin/sh
# A download whose data cannot be read back when it is moved to the front of
# its temporary file at the end must not be called finished: no "完了しました。",
# no renamed or moved file, exit code 1, the temporary file left in place.
# usage: relocation_read_failure.sh DORIMEL SHIM
dorimel=$1 shim=$2
dir=$(mktemp -d)
server=
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
mkdir -p "$dir/www" "$dir/dst"
head -c 300000 /dev/urandom > "$dir/www/f.bin"
# A plain HTTP server on a free port of 127.0.0.1; it writes its port to a file.
python3 - "$dir/www" "$dir/port" <<'PY' &
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
handler.log_message = lambda *a: None
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
open(sys.argv[2] + ".tmp", "w").write(str(server.server_address[1]))
import os; os.rename(sys.argv[2] + ".tmp", sys.argv[2])
server.serve_forever()
PY
server=$!
for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.1; done
[ -s "$dir/port" ] || { echo "FAIL: the server did not start"; exit 1; }
port=$(cat "$dir/port")
LD_PRELOAD=$shim timeout 60 "$dorimel" -nd 1 -td "$dir/dst" "http://127.0.0.1:$port/f.bin" 2> "$dir/log"
code=$?
status=0
[ "$code" = 1 ] || { echo "FAIL: exit code $code, expected 1"; status=1; }
grep -q 'ファイル再配置に失敗しました。ファイルは壊れています。' "$dir/log" || { echo "FAIL: no relocation failure row"; status=1; }
grep -q '完了しました。' "$dir/log" && { echo "FAIL: called finished"; status=1; }
[ -e "$dir/dst/f.bin" ] && { echo "FAIL: a damaged file was put in place"; status=1; }
[ -e "$dir/dst/f.bin.dorimelt" ] || { echo "FAIL: the temporary file is gone"; status=1; }
[ $status = 0 ] || cat "$dir/log"
exit $status
