#!/usr/bin/env bash
# Opens the trace viewer on stored traces: a trace-server that serves a directory of ".trd" files
# (default: the demo's, build/native/demo-traces) in the browser, and that also receives and shows
# live the hosts that send to it (UDP 127.0.0.1:9009, the network sink's default). Prints the
# viewer's address; Ctrl-C ends it.
# Usage: scripts/viewer.sh [DIR]   (MQW_VIEWER_HTTP=ADDR:PORT, default 127.0.0.1:8080;
#                                   MQW_VIEWER_LISTEN=ADDR:PORT, default 127.0.0.1:9009)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MQW_DEMO_BUILD_DIR:-$root/build/native}"
dir="${1:-$build/demo-traces}"
server="$build/tools/trace-server"
if [ ! -x "$server" ]; then
  echo "no $server: run ./run demo (or build $build) first" >&2
  exit 1
fi
if [ ! -d "$dir" ]; then
  echo "no directory $dir: run ./run demo first, or name a directory of .trd files" >&2
  exit 1
fi
echo "=== trace-server serving $dir; open the address below in a browser (Ctrl-C ends)"
exec "$server" --listen "${MQW_VIEWER_LISTEN:-127.0.0.1:9009}" --dir "$dir" \
  --http "${MQW_VIEWER_HTTP:-127.0.0.1:8080}"
