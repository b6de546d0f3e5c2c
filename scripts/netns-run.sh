#!/usr/bin/env bash
# Runs a command in a private network namespace with only the loopback interface up, so that a
# test may start its own broker or syslog receiver on fixed loopback ports without meeting (or
# disturbing) a service of the host.
set -euo pipefail
exec unshare -n -- bash -c 'ip link set lo up && exec "$@"' netns-run "$@"
