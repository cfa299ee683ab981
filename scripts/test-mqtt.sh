#!/usr/bin/env bash
# Tests zrdb-mqtt and zrdbctl export --prometheus against the real servers:
# a mosquitto broker on a free loopback port, mosquitto_sub/mosquitto_pub
# as the clients, promtool for the export. Runs itself in private IPC,
# mount and network namespaces (as root), so nothing it starts is reachable
# from outside and no other database is touched. Every wait is bounded.
#   scripts/test-mqtt.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ "${ZRDB_ISOLATED:-}" = done ] || exec scripts/isolated.sh scripts/test-mqtt.sh "$@"
ctl=$build/tools/zrdbctl
bridge=$build/tools/zrdb-mqtt
dir=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  "$ctl" remove --force >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "test-mqtt: FAILED: $*" >&2
  for log in "$dir"/*.log; do echo "--- ${log##*/}" >&2 && grep -v '/stats \|/link/' "$log" | tail -n ${TAIL:-20} >&2; done
  exit 1
}
# Waits (at most 10 s) until file $1 has a line matching the regex $2.
await() {
  for _ in $(seq 100); do grep -Eq -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "no line matching '$2' in ${1##*/}"
}
# A port nothing listens on (the namespace is new: any is, but say which).
free_port() {
  local p
  for p in $(shuf -i 20000-60000 -n 100); do
    grep -qi ":$(printf %04X "$p") " /proc/net/tcp || { echo "$p" && return; }
  done
}
broker() {  # CONF: starts mosquitto, returns when it listens
  brokers=$((${brokers:-0} + 1))
  mosquitto -c "$1" >"$dir/broker$brokers.log" 2>&1 &
  broker_pid=$!
  pids+=("$broker_pid")
  await "$dir/broker$brokers.log" "Opening ipv4 listen socket on port"
}
sub() {  # LOG ARGS...: a subscriber in the background, printing topic and payload
  mosquitto_sub -p "$port" -v "${@:2}" >"$dir/$1.log" 2>&1 &
  pids+=("$!")
}
value() { "$ctl" get "$1"; }

cat >"$dir/rig.db" <<'DB'
[system]
name=rig
key=0x5A0DE100
size=8192
[database]
id=1, name=speed, type=integer, value=7
id=2, name=temps, type=integer, size=4*3, value=0
id=3, name=mode, type=string, size=8, value=idle
id=4, name=blob, type=user, size=4, value=0
id=5, name=small, type=integer, size=1, value=0
id=6, name=locked, type=integer, value=1
id=7, name=events, type=cbuf, size=16*4
id=8, name=vlink, type=vlinkmst, value=1:127.0.0.1:47800
DB
"$ctl" create "$dir/rig.db" >/dev/null

echo "== settings: every bad line is refused with FILE:LINE and exit 2"
while IFS='|' read -r line reason; do
  printf 'prefix ok\n%s\n' "$line" >"$dir/bad.conf"
  status=0
  out=$("$bridge" -c "$dir/bad.conf" --foreground "$dir/rig.db" 2>&1) || status=$?
  [ "$status" = 2 ] && [ "$out" = "zrdb-mqtt: $dir/bad.conf:2: $reason" ] ||
    fail "'$line': exit $status, '$out'"
done <<'CASES'
qos 2|'qos' '2' is not a number in 0..1
broker host:0|broker port '0' is not a number in 1..65535
interval|'interval' needs a value
prefix a/+/b|prefix 'a/+/b' holds a wildcard (+ #) or an empty topic level
colour blue|unknown setting 'colour'
CASES

port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$dir/plain.conf"
broker "$dir/plain.conf"
printf 'broker 127.0.0.1:%s\nallow-set speed temps\nallow-set mode blob small\ninterval 50\nstats-interval 1\n' \
  "$port" >"$dir/bridge.conf"
sub all -t 'zrdb/rig/#'
"$bridge" -c "$dir/bridge.conf" --foreground "$dir/rig.db" >"$dir/bridge.log" 2>&1 &
bridge_pid=$!
pids+=("$bridge_pid")
await "$dir/all.log" '^zrdb/rig/status online$'

echo "== a change arrives with its JSON, an unchanged item is not sent again"
await "$dir/all.log" '^zrdb/rig/speed \{"value":7,"ts":[0-9]+\}$'
"$ctl" set speed 42
"$ctl" set temps.2 5
await "$dir/all.log" '^zrdb/rig/speed \{"value":42,'
await "$dir/all.log" '^zrdb/rig/temps \{"value":\[0,0,5\],'
await "$dir/all.log" '^zrdb/rig/mode \{"value":"idle",'
await "$dir/all.log" '^zrdb/rig/blob \{"value":"AAAAAA==",'
[ "$(grep -c '^zrdb/rig/mode ' "$dir/all.log")" = 1 ] || fail "mode was published again unchanged"
echo "== retained values for a late subscriber; statistics and link states"
late=$(mosquitto_sub -p "$port" -W 5 -C 1 -t zrdb/rig/speed)
[[ $late == '{"value":42,'* ]] || fail "late subscriber got '$late'"
await "$dir/all.log" '^zrdb/rig/events/stats \{"id":7,"name":"events","type":"cbuf",.*"of":0,'
await "$dir/all.log" '^zrdb/rig/link/0 \{"value":0,'

echo "== set: allowed items are written, every refusal answers on error"
sub errors -t 'zrdb/rig/+/error'
sleep 0.2  # the subscription is made before the first refusal (a miss fails, never passes)
# TOPIC|PAYLOAD|ITEM|its value afterwards|the reason on error, if refused
while IFS='|' read -r topic payload item expect reason; do
  mosquitto_pub -p "$port" -t "zrdb/rig/$topic" -m "$payload"
  if [ -n "$reason" ]; then
    await "$dir/errors.log" "^zrdb/rig/${topic%%/*}/error \{\"error\":\".*$reason"
  fi
  for _ in $(seq 100); do [ "$(value "$item")" = "$expect" ] && break; sleep 0.1; done
  [ "$(value "$item")" = "$expect" ] || fail "$topic '$payload': $item is $(value "$item")"
done <<'CASES'
speed/set|5|speed|5|
temps/1/set|{"value":9,"ts":1}|temps.1|9|
mode/set|"run"|mode|run|
small/set|255|small|255|
blob/set|"AQIDBA=="|blob|0000: 01 02 03 04|
locked/set|3|locked|1|not writable
speed/set|{bad|speed|5|not JSON
mode/set|5|mode|run|not a string
temps/3/set|1|temps.2|5|index 3 out of range
temps/set|[1,2]|temps.0|0|an array of 2 values
small/set|256|small|255|does not fit
speed/set|1.5|speed|5|not an integer
blob/set|"AQID"|blob|0000: 01 02 03 04|base64 of 3 bytes
CASES

echo "== the broker restarts: the bridge reconnects and publishes again"
kill "$broker_pid" && wait "$broker_pid" 2>/dev/null || true
"$ctl" set speed 77
broker "$dir/plain.conf"  # without persistence: the retained values are gone
for _ in $(seq 100); do
  got=$(mosquitto_sub -p "$port" -W 1 -C 1 -t zrdb/rig/speed 2>/dev/null || true)
  [[ $got == '{"value":77,'* ]] && break
  sleep 0.1
done
[[ $got == '{"value":77,'* ]] || fail "after the restart speed is '$got'"

echo "== killed with SIGKILL: the last will says offline"
sub status -t zrdb/rig/status
await "$dir/status.log" '^zrdb/rig/status online$'
kill -KILL "$bridge_pid"
await "$dir/status.log" '^zrdb/rig/status offline$'
echo "== a retained set (it would come back at every connect) is refused"
mosquitto_pub -p "$port" -r -t zrdb/rig/speed/set -m 9
sub errors -t 'zrdb/rig/+/error'
"$bridge" -c "$dir/bridge.conf" --foreground "$dir/rig.db" >"$dir/bridge.log" 2>&1 &
pids+=("$!")
await "$dir/errors.log" '^zrdb/rig/speed/error \{"error":"a retained set message is not applied"'
[ "$(value speed)" = 77 ] || fail "a retained set was applied"

echo "== TLS with a test CA, and a password file"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test-ca -keyout "$dir/ca.key" \
  -out "$dir/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$dir/server.key" \
  -out "$dir/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$dir/san.ext"
openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
  -days 1 -extfile "$dir/san.ext" -out "$dir/server.pem" 2>/dev/null
mosquitto_passwd -b -c "$dir/passwd" bridge s3cret
printf 's3cret\n' >"$dir/password"
tls_port=$(free_port)
# As root the broker would become user mosquitto, who cannot read this directory.
printf 'user root\nper_listener_settings true\nlistener %s 127.0.0.1\ncafile %s\ncertfile %s\nkeyfile %s\npassword_file %s\nallow_anonymous false\n' \
  "$tls_port" "$dir/ca.pem" "$dir/server.pem" "$dir/server.key" "$dir/passwd" >"$dir/tls.conf"
broker "$dir/tls.conf"
"$bridge" --foreground --broker "127.0.0.1:$tls_port" --cafile "$dir/ca.pem" --username bridge \
  --password-file "$dir/password" --prefix tls --qos 1 "$dir/rig.db" >"$dir/tls-bridge.log" 2>&1 &
pids+=("$!")
got=$(mosquitto_sub -h 127.0.0.1 -p "$tls_port" --cafile "$dir/ca.pem" -u bridge -P s3cret -W 10 -C 1 \
  -t tls/rig/speed) || fail "nothing on the TLS listener"
[[ $got == '{"value":77,'* ]] || fail "over TLS speed is '$got'"

echo "== zrdbctl export --prometheus passes promtool"
for i in 1 2 3 4 5 6; do "$ctl" cbuf-write events "$i" >/dev/null; done
"$ctl" export --prometheus --items >"$dir/metrics.prom"
promtool check metrics <"$dir/metrics.prom" || fail "promtool refused the export"
grep -Eq '^zrdb_cbuf_overflows_total\{system="rig",item="events",id="7"\} [1-9]' "$dir/metrics.prom" ||
  fail "no overflow counted for events"
grep -q '^zrdb_item_value{system="rig",item="temps",id="2",index="1"} 9$' "$dir/metrics.prom" ||
  fail "no value for temps.1"
grep -q '^zrdb_vlink_link_state{system="rig",item="vlink",id="8",index="0"} 0$' "$dir/metrics.prom" ||
  fail "no link state"
echo "test-mqtt: OK"
