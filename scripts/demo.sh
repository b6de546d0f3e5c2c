#!/usr/bin/env bash
# The demo: builds everything, makes sure an MQTT broker listens on 127.0.0.1:1883 (starting a
# private mosquitto when none does, and stopping exactly that one afterwards), starts a trace-server
# on a free loopback port, runs the example program, which traces its MQTT traffic to the console
# and through the network sink to that server, stops the server (which writes out and closes its
# files) and prints the files it stored with trace-cat. In a terminal it ends by serving those
# files in the trace viewer (scripts/viewer.sh), whose address it prints; Ctrl-C ends it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build="${MQW_DEMO_BUILD_DIR:-$root/build/native}"  # another build directory may be given

bash scripts/setup.sh --native-only
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j "${MQW_DEMO_JOBS:-$(nproc)}"

work="$(mktemp -d "${TMPDIR:-/tmp}/mqtt-wrapper-demo.XXXXXX")"
broker_pid=""
server_pid=""
stop() {  # stop <pid>: ends a process this script started and waits for it
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  [ -n "$server_pid" ] && stop "$server_pid"
  [ -n "$broker_pid" ] && stop "$broker_pid"
  rm -rf "$work"
}
trap cleanup EXIT

broker_listens() { (exec 3<>/dev/tcp/127.0.0.1/1883) 2>/dev/null; }

if broker_listens; then
  echo "=== using the MQTT broker that already listens on 127.0.0.1:1883"
else
  echo "=== starting mosquitto on 127.0.0.1:1883 for the demo"
  printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\n' >"$work/mosquitto.conf"
  /usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  broker_pid=$!
  for _ in $(seq 1 100); do
    broker_listens && break
    if ! kill -0 "$broker_pid" 2>/dev/null; then
      echo "mosquitto did not start:" >&2
      cat "$work/mosquitto.log" >&2
      broker_pid=""
      exit 1
    fi
    sleep 0.1
  done
  broker_listens || { echo "mosquitto does not accept connections on 127.0.0.1:1883" >&2; exit 1; }
fi

traces="$build/demo-traces"
rm -rf "$traces"
echo "=== starting trace-server on a free port of 127.0.0.1, storing into $traces"
"$build/tools/trace-server" --listen 127.0.0.1:0 --port-file "$work/port" --dir "$traces" \
  >"$work/trace-server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/trace-server.log" >&2; exit 1; }
  sleep 0.1
done
port="$(cat "$work/port")"

echo
echo "=== examples/mqtt_trace_demo: MQTT traffic, traced live on the console and to trace-server"
"$build/examples/mqtt_trace_demo" network "$port"

# SIGTERM: the server writes out what it holds and closes its files.
stop "$server_pid"
server_pid=""
echo
echo "=== trace-server's report"
cat "$work/trace-server.log"

echo
echo "=== what trace-server stored ($traces, a directory per client), printed by trace-cat"
"$build/tools/trace-cat" --format "%tm %lv Md:%mn {%fs:%fl} %ms" "$traces"/*/
echo
echo "=== the full default line format of the first messages"
{ "$build/tools/trace-cat" "$traces"/*/ || true; } | head -n 3
echo
echo "The stored trace files stay in $traces; see $build/tools/trace-cat --help and"
echo "$build/tools/trace-server --help."
echo
# In a terminal the demo ends in the trace viewer on the traces it stored (until Ctrl-C); otherwise
# it says how to open it.
if [ -t 0 ] && [ -t 1 ] && [ "${MQW_DEMO_VIEWER:-1}" != 0 ]; then
  MQW_VIEWER_LISTEN=127.0.0.1:0 bash scripts/viewer.sh "$traces" || true
else
  echo "=== the trace viewer on these traces: ./run viewer, then open the address it prints"
  echo "    (http://${MQW_VIEWER_HTTP:-127.0.0.1:8080}/#token=...)"
fi
