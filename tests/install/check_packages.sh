#!/usr/bin/env bash
# check_packages.sh <packages dir> <consumer source dir> <project version>
# Proof by installation, run by the test command's package stage (as root, or through sudo):
# - installs the amd64 packages into this system with dpkg (their dependencies must already be
#   installed: nothing is fetched), checks that every version is the project's and that the
#   trace server's unit is installed but not enabled, and builds the consumer against the
#   installed library with pkg-config and with find_package, then runs both;
# - installs the arm64 library and -dev packages next to them as a foreign architecture,
#   cross-builds the same consumer both ways and runs it under plain qemu-aarch64 (no
#   QEMU_LD_PREFIX: the arm64 loader finds the installed library in its multiarch directory).
# Every package it installed (and was not installed before) is removed again at the end.
set -euo pipefail
packages="$(cd "$1" && pwd)"
consumer_dir="$(cd "$2" && pwd)"
version="$3"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

work="$(mktemp -d)"
installed_by_us=()
cleanup() {
  if [ ${#installed_by_us[@]} -gt 0 ]; then
    $SUDO dpkg --purge "${installed_by_us[@]}" >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

install_debs() {  # <deb>...: dpkg -i, remembering the packages that were not installed before
  local deb name
  for deb in "$@"; do
    name="$(dpkg-deb -f "$deb" Package):$(dpkg-deb -f "$deb" Architecture)"
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
      installed_by_us=("$name" "${installed_by_us[@]}")
    fi
  done
  $SUDO dpkg -i "$@" >/dev/null
}

expect() {  # <what> <actual> <expected>
  if [ "$2" != "$3" ]; then
    echo "$1: '$2', expected '$3'" >&2
    exit 1
  fi
}

echo "--- amd64 packages"
install_debs "$packages"/libmqtt-wrapper0_"$version"_amd64.deb \
             "$packages"/libmqtt-wrapper-dev_"$version"_amd64.deb \
             "$packages"/mqtt-wrapper-tools_"$version"_amd64.deb
for pkg in libmqtt-wrapper0:amd64 libmqtt-wrapper-dev:amd64 mqtt-wrapper-tools; do
  expect "$pkg version" "$(dpkg-query -W -f='${Version}' "$pkg")" "$version"
done
expect "pkg-config version" "$(pkg-config --modversion mqtt-wrapper)" "$version"
expect "trace-cat --version" "$(/usr/bin/trace-cat --version)" "trace-cat $version"
expect "trace-server --version" "$(/usr/bin/trace-server --version)" "trace-server $version"
# Installed but not enabled; the unit itself must be valid for this systemd.
unit=/lib/systemd/system/trace-server.service
test -f "$unit"
if compgen -G "/etc/systemd/system/*.wants/trace-server.service" >/dev/null; then
  echo "trace-server.service was enabled by the package" >&2
  exit 1
fi
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no "$unit"
fi
for page in trace-cat trace-server; do
  test -f "/usr/share/man/man1/$page.1.gz"
done

echo "--- amd64 consumer (pkg-config)"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Werror "$consumer_dir/main.cc" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs mqtt-wrapper)
loaded="$(ldd "$work/consumer-pc")"
grep -qE "libmqtt-wrapper.so.0 => (/usr)?/lib/x86_64-linux-gnu/libmqtt-wrapper.so.0" <<<"$loaded"
"$work/consumer-pc"

echo "--- amd64 consumer (find_package)"
cmake -S "$consumer_dir" -B "$work/amd64" -G Ninja >/dev/null
cmake --build "$work/amd64" >/dev/null
"$work/amd64/consumer"

echo "--- arm64 packages (foreign architecture)"
install_debs "$packages"/libmqtt-wrapper0_"$version"_arm64.deb \
             "$packages"/libmqtt-wrapper-dev_"$version"_arm64.deb
for pkg in libmqtt-wrapper0:arm64 libmqtt-wrapper-dev:arm64; do
  expect "$pkg version" "$(dpkg-query -W -f='${Version}' "$pkg")" "$version"
done

echo "--- arm64 consumer (pkg-config)"
arm64_pc=(env PKG_CONFIG_LIBDIR=/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig pkg-config)
expect "arm64 pkg-config version" "$("${arm64_pc[@]}" --modversion mqtt-wrapper)" "$version"
# shellcheck disable=SC2046
aarch64-linux-gnu-g++ -std=c++20 -Wall -Wextra -Werror "$consumer_dir/main.cc" \
  -o "$work/consumer-arm64-pc" $("${arm64_pc[@]}" --cflags --libs mqtt-wrapper)
qemu-aarch64 "$work/consumer-arm64-pc"

echo "--- arm64 consumer (find_package)"
cmake -S "$consumer_dir" -B "$work/arm64" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$work/arm64" >/dev/null
# The loader's trace mode names the library it would load: the installed one.
loaded="$(qemu-aarch64 -E LD_TRACE_LOADED_OBJECTS=1 "$work/arm64/consumer")"
grep -qE "libmqtt-wrapper.so.0 => (/usr)?/lib/aarch64-linux-gnu/libmqtt-wrapper.so.0" <<<"$loaded"
qemu-aarch64 "$work/arm64/consumer"
echo "--- packages installed and used on amd64 and arm64"
