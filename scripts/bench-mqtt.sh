#!/usr/bin/env bash
# zrdb-mqtt's benchmark (bench/mqtt/mqtt_bench.cpp): a database of 5000
# integer items and a mosquitto broker on a loopback port, in private IPC,
# mount and network namespaces (as root). Prints the publish rate beside raw
# libmosquitto, the idle CPU and the latency of one change.
#   scripts/bench-mqtt.sh [BUILD_DIR]     (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
[ "${ZRDB_ISOLATED:-}" = done ] || exec scripts/isolated.sh scripts/bench-mqtt.sh "$@"
dir=$(mktemp -d)
broker_pid=
cleanup() {
  [ -z "$broker_pid" ] || kill "$broker_pid" 2>/dev/null || true
  "$build/tools/zrdbctl" remove --force >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
{
  printf '[system]\nname=bench\nkey=0x5A0DE200\nsize=65536\n[database]\n'
  for i in $(seq 0 4999); do printf 'id=%d, name=item%d, type=integer, value=0\n' "$i" "$i"; done
} >"$dir/bench.db"
"$build/tools/zrdbctl" create "$dir/bench.db" >/dev/null
port=18830  # the namespace is new: nothing else listens
# set_tcp_nodelay: the broker forwards each small message at once (see
# bench/README.md, the latency figures with and without it).
printf 'listener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\nset_tcp_nodelay %s\n' \
  "$port" "${BROKER_NODELAY:-true}" >"$dir/broker.conf"
mosquitto -c "$dir/broker.conf" >"$dir/broker.log" 2>&1 &
broker_pid=$!
for _ in $(seq 50); do grep -q "Opening ipv4 listen socket" "$dir/broker.log" && break; sleep 0.1; done
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC')"
"$build/bench/zrdb_mqtt_bench" "$port" "$dir/bench.db" "$build/tools/zrdb-mqtt"
