#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking Corvalux needs.
# Idempotent: packages already present are not touched, and the package lists are
# refreshed at most once per run (and not at all when nothing is missing).
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build ccache pkg-config git clang libclang-rt-14-dev
  # Qt 6
  qt6-base-dev qt6-serialport-dev qt6-charts-dev qt6-multimedia-dev qt6-tools-dev-tools
  libqt6sql6 libqt6sql6-sqlite libqt6sql6-psql
  # libraries
  libsnmp-dev libcurl4-openssl-dev libssl-dev openssl libxlsxwriter-dev libcpp-httplib-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  postgresql postgresql-client sqlite3 snmpd snmp socat python3 python3-aiosmtpd
  chromium wrk hyperfine xvfb xauth procps iproute2
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# snmpd's own system agent is not used; tests start private agents on loopback ports.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet snmpd 2>/dev/null; then
  $SUDO systemctl disable --now snmpd >/dev/null 2>&1 || true
fi
echo "install-deps: done"
