#!/usr/bin/env bash
# Configures and builds Corvalux into ./build (Ninja, ccache). Extra arguments go to
# the CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$PWD"
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
BUILD_DIR="${BUILD_DIR:-build}"
if [ ! -f "$BUILD_DIR/build.ninja" ] || [ $# -gt 0 ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
