#!/usr/bin/env bash
# Load run of the instance networking on loopback: 50 client instances, a push every
# polling cycle, and wrk at about 200 requests/s on the status page, for a bounded time.
# Usage: bench/net/load.sh [build dir] [extra bench_net_load options]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR="${1:-build}"
shift || true
command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 2; }
exec timeout 300 "$BUILD_DIR/bin/bench_net_load" --clients 50 --seconds 30 --http-rate 200 "$@"
