#!/usr/bin/env bash
# The benchmark table: the native console dorimel beside curl, wget and aria2c
# against a private nginx on 127.0.0.1 (see bench/bench.py for the sections).
# Not a test: it prints Markdown tables for docs/PERFORMANCE.md.
#
#   bench/run.sh                 full run (1 GiB files, 3 runs each; ~10 min)
#   bench/run.sh --quick         small files, 20 s limit runs cut to 8 s
#   bench/run.sh --only ad ...   some sections; other options go to bench.py
# Environment: BENCH_BUILD (native tree, default build/native),
#              BENCH_WIN_BUILD (Windows tree, default build/win-x86_64).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BENCH_BUILD:-build/native}
WIN_BUILD=${BENCH_WIN_BUILD:-build/win-x86_64}

# The tools compared against; installed here so that the tests stay lean.
need=()
for tool in curl:curl wget:wget aria2c:aria2 nginx:nginx-light; do
  command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >/dev/null
  else
    echo "bench: please install ${need[*]}" >&2
    exit 1
  fi
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DDORIMEL_WIN64_DIR="$PWD/$WIN_BUILD" >/dev/null
fi
cmake --build "$BUILD" -j2 --target dorimel >/dev/null

# The LD_PRELOAD shim that lets the benchmark switch the flushes and the
# range collapse off from outside the program.
mkdir -p "$BUILD/bench"
SHIM="$PWD/$BUILD/bench/libbench_shim.so"
if [ ! -f "$SHIM" ] || [ bench/bench_shim.c -nt "$SHIM" ]; then
  cc -O2 -shared -fPIC -o "$SHIM" bench/bench_shim.c -ldl
fi

# The Windows program under Wine needs a display: a private Xvfb unless one
# is given.
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  . scripts/xvfb.sh
  start_xvfb && trap 'kill "$XVFB_PID" 2>/dev/null' EXIT
fi

args=()
for a in "$@"; do
  if [ "$a" = --quick ]; then
    args+=(--runs 3 --size 256 --disk-size 256 --split-size 16 --limit-seconds 8)
  else
    args+=("$a")
  fi
done
python3 bench/bench.py --build "$PWD/$BUILD" --win-build "$PWD/$WIN_BUILD" --shim "$SHIM" "${args[@]}"
