#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Idempotent: does nothing when everything is present already.
set -euo pipefail

native_pkgs=(cmake g++ make pkg-config ccache ninja-build
             libpaho-mqtt-dev libfmt-dev googletest libgtest-dev libbenchmark-dev libspdlog-dev
             mosquitto rsyslog iproute2 util-linux procps
             clang-14 libclang-rt-14-dev  # clang: the thread-safety, ThreadSanitizer and fuzz builds
             abigail-tools lintian        # the interface check (abidiff) and the packages' check
             libcpp-httplib-dev libmicrohttpd-dev libre2-dev nlohmann-json3-dev chromium  # trace-server's viewer and its browser test
             libpq-dev postgresql-15)  # trace-server's fleet index (--index), its tests and ./run fleet
# libpq-dev:arm64 cannot be installed beside the amd64 one; the arm64 trace-server's --index
# links libpq5:arm64 (co-installable) with libpq-dev's headers, the same on both.
cross_pkgs=(g++-aarch64-linux-gnu qemu-user
            libc6:arm64 libstdc++6:arm64 libpaho-mqtt-dev:arm64 libfmt-dev:arm64
            libcpp-httplib-dev:arm64 libmicrohttpd-dev:arm64 libre2-dev:arm64
            libpq5:arm64)
# The viewer's browser test runs playwright-core from npm (node 18 or later); Debian's node and npm
# when the machine has none.
command -v npm >/dev/null 2>&1 || native_pkgs+=(nodejs npm)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing() {
  local p out=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || out+=("$p")
  done
  echo "${out[@]:-}"
}

want_cross=1
if [ "${1:-}" = "--native-only" ]; then want_cross=0; fi
if [ "$want_cross" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
  rm -f /tmp/.mqtt-wrapper-apt-updated
fi

todo="$(missing "${native_pkgs[@]}")"
if [ "$want_cross" = 1 ]; then todo="$todo $(missing "${cross_pkgs[@]}")"; fi
todo="$(echo $todo)"
if [ -n "$todo" ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $todo
fi
# The packaged broker and syslog daemon must not occupy the ports our tests use on the host.
for svc in mosquitto rsyslog; do
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$svc" 2>/dev/null; then
    $SUDO systemctl stop "$svc" || true
  fi
done
exit 0
