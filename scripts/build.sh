# Sourced by test.sh and run.sh: configures and builds the build trees.
# Each tree is configured once; later runs only rebuild what changed.
JOBS=$(nproc 2>/dev/null || echo 2)
# ccache, where the machine has it, lets several checkouts of the tree share
# their compiled objects (paths are taken relative to each checkout).
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  CCACHE_ARGS=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
else
  CCACHE_ARGS=()
fi

configure_tree() {  # folder, then cmake arguments
  local dir=$1; shift
  local arg name value current=yes
  if [ -f "$dir/CMakeCache.txt" ]; then
    # Configured before: again only when a -D setting is not in its cache yet
    # (one added since).
    for arg in "$@"; do
      case $arg in -D*=*) ;; *) continue ;; esac
      name=${arg#-D}; value=${name#*=}; name=${name%%=*}; name=${name%%:*}
      grep -qxF -e "$name:PATH=$value" -e "$name:FILEPATH=$value" -e "$name:STRING=$value" \
        -e "$name:BOOL=$value" -e "$name:UNINITIALIZED=$value" "$dir/CMakeCache.txt" || current=no
    done
    [ $current = yes ] && return 0
  fi
  cmake -S . -B "$dir" -G Ninja "${CCACHE_ARGS[@]}" "$@" >/dev/null || return 1
}

build_tree() {
  echo "== building $1"
  local log rc
  log=$(mktemp)
  cmake --build "$1" -j "$JOBS" >"$log" 2>&1
  rc=$?
  # Progress lines are noise; warnings and errors are kept.
  grep -v -E '^\[[0-9]+/[0-9]+\] ' "$log" || true  # no lines left is no failure (set -e callers)
  rm -f "$log"
  return $rc
}

build_native() {
  configure_tree build/native -DDORIMEL_WIN64_DIR="$PWD/build/win-x86_64" \
    -DDORIMEL_WIN32_DIR="$PWD/build/win-i686" && build_tree build/native
}

build_windows() {  # x86_64 or i686
  configure_tree "build/win-$1" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$1.cmake" \
    -DCMAKE_BUILD_TYPE=Release && build_tree "build/win-$1"
}

build_all() {
  build_windows x86_64 && build_windows i686 && build_native || return 1
  CC=clang CXX=clang++ configure_tree build/sanitize -DDORIMEL_SANITIZE=ON -DDORIMEL_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=Debug && build_tree build/sanitize
}
