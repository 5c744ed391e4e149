#!/bin/sh
# Speed-limit benchmark of the console front end: downloads a 2 MiB file from
# a local server on 127.0.0.1 with -sl 1 -ss <limit> and reports the average
# rate against the limit (the tick-paced quota should hold it within 10 %).
# Usage: bench/speed_limit.sh [path/to/dorimel] [limit K/s] [size bytes]
set -eu
program=${1:-build/native/app/dorimel}
limit=${2:-100}
size=${3:-2097152}
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/out"
head -c "$size" /dev/urandom > "$work/www/file.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 "$port" --directory "$work/www" >/dev/null 2>&1 &
server=$!
i=0
until python3 -c "import socket; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "server did not start" >&2; exit 1; }; sleep 0.1
done
start=$(date +%s.%N)
"$program" -nd 1 -sl 1 -ss "$limit" -td "$work/out" "http://127.0.0.1:$port/file.bin" 2>"$work/log" || {
    cat "$work/log" >&2; exit 1; }
end=$(date +%s.%N)
cmp -s "$work/www/file.bin" "$work/out/file.bin" || { echo "downloaded file differs" >&2; exit 1; }
python3 - "$start" "$end" "$size" "$limit" <<'PY'
import sys
start, end, size, limit = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
seconds = end - start
rate = size / 1024 / seconds
print("size %d bytes, %.2f s, average %.2f KiB/s, limit %.0f KiB/s, deviation %+.1f %%"
      % (size, seconds, rate, limit, (rate - limit) / limit * 100))
PY
