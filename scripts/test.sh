#!/usr/bin/env bash
# Installs what is missing, builds, starts the servers the tests need and runs every
# test through ctest. Extra arguments go to ctest (e.g. -R Naplo).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
source ./scripts/test-servers.sh
trap cvx_stop_test_servers EXIT
cvx_start_test_servers
ctest --test-dir build --output-on-failure --timeout 600 -j "$(nproc)" "$@"
