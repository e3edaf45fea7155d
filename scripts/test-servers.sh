#!/usr/bin/env bash
# Sourced by the test script: starts a throw-away PostgreSQL cluster on a free loopback
# port and exports CVX_TEST_PG for the tests (they create and drop their own
# databases). Other servers (snmpd, the SMTP server, socat, vbtsim) are started by the
# tests themselves. Call cvx_stop_test_servers to stop it (the test script traps it).

cvx_free_port() {
  python3 - <<'PY'
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
PY
}

cvx_as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

cvx_start_test_servers() {
  local pgbin
  pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$pgbin" ]; then
    echo "test-servers: PostgreSQL is not installed" >&2
    return 1
  fi
  CVX_PG_DIR=$(mktemp -d /tmp/cvx-pg.XXXXXX)
  chmod 755 "$CVX_PG_DIR"
  [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$CVX_PG_DIR"
  local port
  port=$(cvx_free_port)
  cvx_as_postgres "$pgbin/initdb" -D "$CVX_PG_DIR/data" -A trust -U postgres -E UTF8 --no-sync >"$CVX_PG_DIR/initdb.log" 2>&1 \
    || { cat "$CVX_PG_DIR/initdb.log" >&2; return 1; }
  cvx_as_postgres "$pgbin/pg_ctl" -D "$CVX_PG_DIR/data" -l "$CVX_PG_DIR/server.log" -w -t 60 \
    -o "-p $port -k $CVX_PG_DIR -c listen_addresses=127.0.0.1 -c max_connections=200" start >/dev/null \
    || { cat "$CVX_PG_DIR/server.log" >&2; return 1; }
  CVX_PG_BIN="$pgbin"
  export CVX_TEST_PG="Provider=QPSQL;Host=127.0.0.1;Port=$port;User ID=postgres;Password=;"
  export CVX_TEST_PG_PORT="$port"
  export CVX_REQUIRE_SERVERS=1
  echo "test-servers: PostgreSQL on 127.0.0.1:$port"
}

cvx_stop_test_servers() {
  if [ -n "${CVX_PG_DIR:-}" ] && [ -d "$CVX_PG_DIR/data" ]; then
    cvx_as_postgres "$CVX_PG_BIN/pg_ctl" -D "$CVX_PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$CVX_PG_DIR"
  fi
}
