#!/usr/bin/env bash
# ./run fleet: a fleet on this machine. A private PostgreSQL (scripts/pg-private.sh, in
# build/fleet/db), three trace servers indexing into it (UDP 127.0.0.1:9101..9103, files in
# build/fleet/server-N), a simulator of a few hundred hosts sending to them, and the viewer of the
# first server showing the "fleet" source; its address is printed. Ctrl-C stops everything this
# script started, each by its process ID; the database's files stay for the next run.
#
#   FLEET_HOSTS (default 300), FLEET_RATE (messages per second per host, default 20),
#   FLEET_SECONDS (default 0: until Ctrl-C), FLEET_HTTP (default 127.0.0.1:8080)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/native"
work="$root/build/fleet"
hosts="${FLEET_HOSTS:-300}"
rate="${FLEET_RATE:-20}"
seconds="${FLEET_SECONDS:-0}"
http="${FLEET_HTTP:-127.0.0.1:8080}"

if [ ! -x "$build/tools/trace-server" ] || [ ! -x "$build/tools/fleet-sim" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target trace-server fleet-sim
fi
mkdir -p "$work"
url="$(bash "$root/scripts/pg-private.sh" start "$work/db")"
pids=()
stop_all() {
  trap - INT TERM EXIT
  # Hosts first, then the servers (they index what they stored before ending), then the database.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  bash "$root/scripts/pg-private.sh" stop "$work/db" || true
  echo "fleet: stopped"
}
trap stop_all INT TERM EXIT

token="$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')"
printf '%s\n' "$token" >"$work/token"
for n in 1 2 3; do
  args=(--listen "127.0.0.1:910$n" --dir "$work/server-$n" --index "$url" --index-name "server-$n"
        --max-clients-per-address 1000 --stats 10)
  [ "$n" = 1 ] && args+=(--http "$http" --http-token-file "$work/token")
  "$build/tools/trace-server" "${args[@]}" >"$work/server-$n.out" 2>"$work/server-$n.err" &
  pids+=($!)
done
sleep 1
for n in 1 2 3; do
  kill -0 "${pids[$((n - 1))]}" 2>/dev/null || { cat "$work/server-$n.err" >&2; exit 1; }
done
sim_pid=""
"$build/tools/fleet-sim" --servers 127.0.0.1:9101,127.0.0.1:9102,127.0.0.1:9103 --hosts "$hosts" \
  --rate "$rate" --seconds "$seconds" >"$work/fleet-sim.out" 2>"$work/fleet-sim.err" &
sim_pid=$!
pids=("$sim_pid" "${pids[@]}")
grep -m1 '^viewer on' "$work/server-1.out" || true
echo "fleet: $hosts hosts at $rate messages/s each into 3 servers; database $url"
echo "fleet: in the viewer choose the source \"fleet\"; SQL: psql '$url' -c 'SELECT ... FROM trace_messages'"
echo "fleet: Ctrl-C stops it"
if [ "$seconds" != 0 ]; then
  wait "$sim_pid" || true
else
  wait
fi
