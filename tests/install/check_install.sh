#!/usr/bin/env bash
# check_install.sh <build dir> <consumer source dir>
# Installs the build into a temporary prefix, then builds and runs the consumer with pkg-config
# and with find_package. Everything it writes stays in its temporary directory.
set -euo pipefail
build_dir="$1"
consumer_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name 'libmqtt-wrapper.so' | head -n 1)")"
test -n "$libdir"
for header in TR.h trhelper.h mqtt_client_wrapper.h export.h; do
  test -f "$prefix/include/mqtt-wrapper/$header"
done
# Only the public API is exported: our C functions and the TR and tarnvik::mosquitto names (with
# the exported classes' type information), never an internal class, a private member of the
# wrapper or a standard-library instantiation.
exports="$(nm -D --defined-only "$libdir/libmqtt-wrapper.so" | c++filt | cut -d' ' -f3-)"
if grep -vE '^(TR_|TR::|tarnvik::mosquitto::|(typeinfo|typeinfo name|vtable) for tarnvik::mosquitto::|MQTT_WRAPPER_[0-9]+$)' <<<"$exports" ||
   grep -E 'MqttAsyncWrapper::(sendBytes|disconnect)\(' <<<"$exports"; then
  echo "symbols beyond the public API are exported (above)" >&2
  exit 1
fi

echo "--- pkg-config consumer"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Werror "$consumer_dir/main.cc" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs mqtt-wrapper) -Wl,-rpath,"$libdir"
"$work/consumer-pc"

echo "--- find_package consumer"
cmake -S "$consumer_dir" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer"
