#!/usr/bin/env bash
# A private PostgreSQL for tests, benchmarks and `./run fleet`: a cluster of its own in DIR,
# listening only on a socket in DIR (and on 127.0.0.1:PORT when PORT is given), never on a
# system-wide address, so that it meets no service of the host.
#
#   pg-private.sh start DIR [PORT]   initdb DIR if it holds no cluster, start it, wait until it
#                                    accepts connections, print its URL (database "trace")
#   pg-private.sh stop DIR           stop the server started in DIR, by the pid it wrote
#   pg-private.sh url DIR            print the URL again
#
# The server never runs as root: the database refuses to. Run as root (CI does), the cluster
# belongs to the user "nobody" and every server command runs as it through setpriv.
# Authentication: local connections of the superuser "trace" are trusted; the role "locked"
# (password "sesame") must give its password, so that tests can see a refused login.
set -euo pipefail
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)"
[ -x "$bin/postgres" ] || { echo "pg-private: PostgreSQL's server is not installed (postgresql-15)" >&2; exit 1; }
cmd="${1:-}"; dir="${2:-}"
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: pg-private.sh start|stop|url DIR [PORT]" >&2; exit 2; }
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

as_owner() {
  if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env -- env PATH="$bin:/usr/bin:/bin" "$@"
  else
    "$@"
  fi
}

url() { echo "postgresql://trace@/trace?host=$dir/run"; }

case "$cmd" in
  start)
    port="${3:-}"
    if [ "$(id -u)" = 0 ]; then
      chown nobody:nogroup "$dir"
      # Every directory above DIR must let the owner through.
      d="$dir"; while [ "$d" != / ]; do d="$(dirname "$d")"; chmod o+x "$d" 2>/dev/null || true; done
    fi
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      as_owner mkdir -p "$dir/data" "$dir/run"
      as_owner "$bin/initdb" -D "$dir/data" -U trace --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
      {
        echo "local all locked scram-sha-256"
        echo "local all all trust"
        echo "host all locked 127.0.0.1/32 scram-sha-256"
        echo "host all all 127.0.0.1/32 trust"
      } | as_owner tee "$dir/data/pg_hba.conf" >/dev/null
    fi
    listen="''"; [ -n "$port" ] && listen="'127.0.0.1'"
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-c listen_addresses=$listen -c port=${port:-5432} -c unix_socket_directories='$dir/run' -c synchronous_commit=off -c max_connections=60 -c shared_buffers=128MB ${PG_PRIVATE_OPTIONS:-}" \
      start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    if [ ! -f "$dir/created" ]; then
      as_owner "$bin/psql" -q -h "$dir/run" -p "${port:-5432}" -U trace -d postgres -v ON_ERROR_STOP=1 \
        -c "CREATE DATABASE trace" -c "CREATE ROLE locked LOGIN PASSWORD 'sesame'" >/dev/null
      as_owner touch "$dir/created"
    fi
    if [ -n "$port" ]; then echo "postgresql://trace@127.0.0.1:$port/trace"; else url; fi
    ;;
  stop)
    pidfile="$dir/data/postmaster.pid"
    [ -f "$pidfile" ] || exit 0
    pid="$(head -n1 "$pidfile")"
    # A fast shutdown: sessions end, the data stays consistent.
    kill -INT "$pid" 2>/dev/null || exit 0
    for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.1; done
    echo "pg-private: the server $pid did not stop" >&2; exit 1
    ;;
  url) url ;;
  *) echo "usage: pg-private.sh start|stop|url DIR [PORT]" >&2; exit 2 ;;
esac
