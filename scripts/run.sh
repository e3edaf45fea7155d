#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a recording master on the
# embedded SQLite database in ./run (its working folder), headless, logging to the
# console. Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
HOME_DIR="${CORVALUX_HOME:-$PWD/run}"
mkdir -p "$HOME_DIR"
echo "run: working folder $HOME_DIR (configuration file corvalux.ini, logs in Log/)"
exec ./build/bin/corvalux --home "$HOME_DIR" --headless
