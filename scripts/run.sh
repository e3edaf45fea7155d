#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a recording master on the
# local SQLite database in ./run (its working folder), fed by the device simulator
# vbtsim serving scenarios/demo.json, with a local mail server catching its e-mails.
# Headless; the log lines appear on the console. Ctrl+C stops everything.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh

HOME_DIR="${CORVALUX_HOME:-$PWD/run}"
WEB_PORT="${CORVALUX_WEB_PORT:-8080}"
mkdir -p "$HOME_DIR/Log" "$HOME_DIR/mail/cur" "$HOME_DIR/mail/new" "$HOME_DIR/mail/tmp"
cp scenarios/demo.json "$HOME_DIR/demo-scenario.json"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# The simulated devices; the ports they listen on are written to vbtsim.ports.
./build/bin/vbtsim --log "$HOME_DIR/Log/vbtsim.log" --quiet "$HOME_DIR/demo-scenario.json" >"$HOME_DIR/vbtsim.ports" &
pids+=($!)
for _ in $(seq 1 100); do grep -q '^ready' "$HOME_DIR/vbtsim.ports" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$HOME_DIR/vbtsim.ports" || { echo "run: vbtsim did not start" >&2; exit 1; }

# A mail server that keeps every message in run/mail (a maildir).
SMTP_PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$SMTP_PORT" -c aiosmtpd.handlers.Mailbox "$HOME_DIR/mail" &
pids+=($!)

# The database: created on the first run, configured for the simulated devices.
./build/bin/corvalux --home "$HOME_DIR" --check-database >/dev/null
./scripts/demo-config.sh "$HOME_DIR/corvalux.db" "$HOME_DIR/vbtsim.ports" "$SMTP_PORT" "$WEB_PORT"

cat <<INFO
run: working folder   $HOME_DIR   (corvalux.ini, corvalux.db, Log/, corvalux.csv)
run: status web page  http://127.0.0.1:$WEB_PORT/
run: e-mails          $HOME_DIR/mail/new/      SMS: $HOME_DIR/sms.jsonl
run: the server-room temperature (Rack 1) crosses 25 °C every few minutes: the event
run: "Szerverterem túlmelegedés" then mails, holds the spare-cooling relay on and sends an SMS.
INFO
./build/bin/corvalux --home "$HOME_DIR" --headless &
pids+=($!)
wait "${pids[-1]}"
