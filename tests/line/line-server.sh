#!/usr/bin/env bash
# A throw-away PostgreSQL 15 server on 127.0.0.1 for the Windows suites,
# which run under Wine and reach it over TCP: `start DIR` makes a cluster
# in DIR (as nobody when run as root, which PostgreSQL refuses), starts it
# at a port not in use with password-less logins from 127.0.0.1 only, and writes
# its key=value address to DIR/address; `stop DIR` stops it and removes DIR.
# Without PostgreSQL 15 it writes no address, and the suites skip.
set -euo pipefail
action=${1:?usage: line-server.sh start|stop DIR}
dir=${2:?usage: line-server.sh start|stop DIR}
pg=/usr/lib/postgresql/15/bin
as_server=()
[ "$(id -u)" = 0 ] && as_server=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

case $action in
stop)
  [ -d "$dir/data" ] && "${as_server[@]}" "$pg/pg_ctl" -D "$dir/data" stop -m fast >/dev/null 2>&1 || true
  rm -rf "$dir"
  ;;
start)
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ ! -x "$pg/postgres" ]; then
    echo "line-server: PostgreSQL 15 is not installed; the line suites skip"
    exit 0
  fi
  [ "$(id -u)" = 0 ] && chown nobody: "$dir"
  "${as_server[@]}" "$pg/initdb" -D "$dir/data" -U talvex_admin --auth=trust -E UTF8 --no-sync >/dev/null
  for attempt in 1 2 3 4 5; do
    # A port taken already makes the server stop at once: another one is tried.
    port=$((20000 + RANDOM % 40000))
    if "${as_server[@]}" "$pg/pg_ctl" -D "$dir/data" -w -l "$dir/log" \
      -o "-k $dir -c listen_addresses=127.0.0.1 -p $port -c fsync=off" start >/dev/null; then
      echo "host=127.0.0.1 port=$port user=talvex_admin" >"$dir/address"
      exit 0
    fi
  done
  echo "line-server: the server did not start:" >&2
  cat "$dir/log" >&2
  exit 1
  ;;
esac
