#!/usr/bin/env bash
# End-to-end demo: builds everything, creates the example database, lets a
# producer and a consumer process exchange values through it, runs a thread
# pipeline while the operator watches its statistics, lets a UDP client and
# server talk through remote buffer items over 127.0.0.1 and catches a
# mirrored write's sync message, links a second system (its own IPC and mount
# namespaces, as root) through two zrdb-vlinkd daemons and reads, writes and
# mirrors its items over CURVE-authenticated and encrypted links (and shows a
# refused write and a refused stranger), shows the operator's tool at work,
# saves the values, removes the database and creates it again with the values
# restored, publishes the plant on a mosquitto broker through zrdb-mqtt and
# writes a setpoint from mosquitto_pub, prints the Prometheus export, removes
# both databases and checks that nothing is left behind. The Debian packages
# it needs are installed when missing.
# Exits non-zero on any failure, removing what it created.
#
#   scripts/demo.sh                       build in build/ (the default preset)
#   BUILD_DIR=build-mine scripts/demo.sh  build in another directory
#   ROUNDS=200 scripts/demo.sh            let the producer run longer
#   PIPELINE_SECONDS=10 scripts/demo.sh   let the thread pipeline run longer
#
# It refuses to start while a ZRDB database exists on this machine: the
# index segment's key is fixed, and someone else's database is not ours to
# remove. To run it beside other users, give it private namespaces (as root):
#   unshare --ipc --mount sh -c 'mount -t tmpfs none /dev/shm && scripts/demo.sh'
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

BUILD_DIR=${BUILD_DIR:-build}
ROUNDS=${ROUNDS:-50}
PIPELINE_SECONDS=${PIPELINE_SECONDS:-3}
DB=examples/plant.db
APP=examples/plant.app
PIPELINE_APP=examples/pipeline.app
NETWORK_APP=examples/network.app
PEER_DB=examples/peer.db
VLINK_APP=examples/vlink.app
ZRDBCTL=$BUILD_DIR/tools/zrdbctl
PRODUCER=$BUILD_DIR/examples/producer
CONSUMER=$BUILD_DIR/examples/consumer
CLIENT=$BUILD_DIR/examples/client
SERVER=$BUILD_DIR/examples/server
PIPELINE=$BUILD_DIR/examples/pipeline
UDP_SERVER=$BUILD_DIR/examples/udp_server
UDP_CLIENT=$BUILD_DIR/examples/udp_client
CPP_EXAMPLE=$BUILD_DIR/examples/cpp_example
PYTHON_MODULE_DIR=$BUILD_DIR/python
VLINK_CLIENT=$BUILD_DIR/examples/vlink_client
VLINKD=$BUILD_DIR/tools/zrdb-vlinkd
MQTT_BRIDGE=$BUILD_DIR/tools/zrdb-mqtt
INDEX_KEY=0x20150427
VLINK_QUEUE_KEY=0x00018338
# The link daemons' ports: A listens on 47800, B on 47801; A takes its
# applications' sync messages on UDP 127.0.0.1:47802, where plant.db's
# peer_sync sends them, and forwards them to B over the link. Their keys and
# settings are made once the demo has its directory (vlink_keys).

step() { printf '\n==> %s\n' "$*"; }
die() {
  printf 'demo: FAILED: %s\n' "$*" >&2
  exit 1
}
# Shows an operator's command and runs it.
show() {
  printf '$ zrdbctl %s\n' "$*"
  "$ZRDBCTL" "$@"
}

[[ $ROUNDS =~ ^[1-9][0-9]{0,6}$ ]] || die "ROUNDS must be a number from 1 to 9999999, not '$ROUNDS'"
[[ $PIPELINE_SECONDS =~ ^[1-9][0-9]{0,2}$ ]] ||
  die "PIPELINE_SECONDS must be a number from 1 to 999, not '$PIPELINE_SECONDS'"

# A database file's data key as ipcs prints it; the file may write it in
# any base.
data_key_of() {
  local key
  key=$(sed -n 's/^[[:space:]]*key[[:space:]=]*\([0-9A-Fa-fx]*\).*/\1/p' "$1" | head -n 1)
  [[ -n $key ]] || die "$1 names no data key"
  printf '0x%08x' "$key"
}
DATA_KEY=$(data_key_of "$DB")
PEER_DATA_KEY=$(data_key_of "$PEER_DB")
# Named semaphores of the example database, as they appear in /dev/shm.
mapfile -t SEMAPHORES < <(sed -n 's/.*type[[:space:]=]*semap.*value[[:space:]=]*\/\([^:,[:space:]]*\).*/sem.\1/p' "$DB")
# A VLINK master item makes the semaphore that serialises the transactions.
if grep -q 'type[[:space:]=]*vlinkmst' "$DB"; then SEMAPHORES+=(sem.vlinkmstsemp); fi
# Lock files of the thread items the pipeline opens: the library keeps them
# on disk by design, so the demo removes them.
mapfile -t LOCK_FILES < <(sed -n 's/^[[:space:]]*id[[:space:]]*=[[:space:]]*\([0-9]*\).*/\/tmp\/zrdbid\1.lock/p' "$PIPELINE_APP")
[[ ${#LOCK_FILES[@]} -gt 0 ]] || die "$PIPELINE_APP names no item"
# And those of the remote buffer items whose role is server, which the UDP
# step opens.
mapfile -t -O "${#LOCK_FILES[@]}" LOCK_FILES < <(sed -n 's/^[[:space:]]*id[[:space:]]*=[[:space:]]*\([0-9]*\),.*type[[:space:]]*=[[:space:]]*\(rmtbuf\|vlinkbuf\),.*value[[:space:]]*=[^,:]*server.*/\/tmp\/zrdbid\1.lock/p' "$DB")

# True when the ipcs listing on standard input has an object with key $1.
has_key() { awk -v key="$1" 'tolower($1) == tolower(key) { found = 1 } END { exit !found }'; }
segment_exists() { ipcs -m | has_key "$1"; }

# Removes the lock files that no process holds: one that is held belongs to
# a running owner, and removing it would let a second owner in.
remove_lock_files() {
  local file
  for file in "${LOCK_FILES[@]}"; do
    if [[ -e $file ]]; then flock -n "$file" rm -f "$file" || true; fi
  done
}

created=0
consumer_pid=
server_pid=
commissioning_pid=
pipeline_pid=
udp_server_pid=
listener_pid=
heard_file=
peer_pid=      # the process that holds system B's namespaces
peer_created=0 # system B's database exists
daemon_a_pid=
daemon_b_pid=
vlink_dir=     # the daemons' logs
mqtt_dir=      # the broker's and the bridge's files
broker_pid=
bridge_pid=
stop() {
  if [[ -n $1 ]]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
# Waits for the background job whose pid is in the variable named $1,
# clears it (cleanup then leaves the job alone) and dies with $2 and the
# job's exit status unless it succeeded.
reap() {
  local status=0
  wait "${!1}" || status=$?
  printf -v "$1" '%s' ''
  [[ $status -eq 0 ]] || die "$2 (exit $status)"
}
# Runs a command in system B's IPC and mount namespaces, in this directory.
in_peer() { nsenter --target "$peer_pid" --ipc --mount --wd="$ROOT" "$@"; }
# Stops a link daemon (SIGTERM; SIGKILL after 5 s) and returns its status.
stop_daemon() {
  local tries state status=0
  kill "$1" 2>/dev/null || true
  for ((tries = 0; tries < 50; ++tries)); do
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1) || true
    [[ -z $state || $state == Z ]] && break
    sleep 0.1
  done
  if [[ $tries -eq 50 ]]; then kill -KILL "$1" 2>/dev/null || true; fi
  wait "$1" || status=$?
  return "$status"
}
cleanup() {
  local status=$?
  if [[ -n $daemon_a_pid ]]; then stop_daemon "$daemon_a_pid" || true; fi
  if [[ -n $daemon_b_pid ]]; then stop_daemon "$daemon_b_pid" || true; fi
  if [[ $peer_created -eq 1 ]]; then in_peer "$ZRDBCTL" remove >/dev/null 2>&1 || true; fi
  stop "$peer_pid"
  if [[ -n $vlink_dir ]]; then
    if [[ $status -ne 0 ]]; then
      for log in "$vlink_dir"/*.log; do
        if [[ -s $log ]]; then printf '%s:\n' "${log##*/}" && sed 's/^/  /' "$log"; fi
      done >&2
    fi
    rm -rf "$vlink_dir"
  fi
  stop "$bridge_pid"
  stop "$broker_pid"
  if [[ -n $mqtt_dir ]]; then rm -rf "$mqtt_dir"; fi
  stop "$pipeline_pid"
  stop "$consumer_pid"
  stop "$server_pid"
  stop "$commissioning_pid"
  stop "$udp_server_pid"
  stop "$listener_pid"
  if [[ -n $heard_file ]]; then rm -f "$heard_file"; fi
  if [[ $status -ne 0 && $created -eq 1 ]]; then
    printf 'demo: removing the example database after the failure\n' >&2
    "$ZRDBCTL" remove "$DB" >/dev/null 2>&1 || true
  fi
  remove_lock_files
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# What the build needs beyond the compiler, installed when missing (as root):
# zrdbctl's JSON library (nlohmann/json, header-only), ZeroMQ for the link
# daemon, iproute2 for system B's namespaces, and pybind11 with the system
# Python's headers for the operator script (without them the build leaves
# the Python module out, and so does the demo), and for the MQTT step
# libmosquitto, the mosquitto broker and its clients.
missing=()
for package in nlohmann-json3-dev libzmq3-dev iproute2 pybind11-dev python3-dev \
  libmosquitto-dev mosquitto mosquitto-clients; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 && $(id -u) -eq 0 ]]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi

step "Build"
if [[ $BUILD_DIR == build ]]; then
  cmake --preset default
  cmake --build --preset default
else
  cmake --preset default -B "$BUILD_DIR"
  cmake --build "$BUILD_DIR" --parallel 2
fi

step "Check that no database exists yet"
if segment_exists "$INDEX_KEY"; then
  die "a ZRDB index segment ($INDEX_KEY) exists on this machine; remove it first ($ZRDBCTL remove) or use private namespaces"
fi
if segment_exists "$DATA_KEY"; then
  die "a segment with the example's data key $DATA_KEY exists already"
fi
if ipcs -q | has_key "$VLINK_QUEUE_KEY"; then
  die "a VLINK message queue ($VLINK_QUEUE_KEY) exists: another database's link daemon or applications use it"
fi
echo "no segment with key $INDEX_KEY or $DATA_KEY, no message queue with key $VLINK_QUEUE_KEY"

step "Create the database from $DB"
show create "$DB"
created=1
show info

step "Consumer waits, producer writes $ROUNDS rounds (two processes, one database)"
"$CONSUMER" "$DB" "$APP" "$ROUNDS" 30 &
consumer_pid=$!
"$PRODUCER" "$DB" "$APP" "$ROUNDS"
reap consumer_pid "the consumer did not read what the producer wrote"

step "Client calls a server $ROUNDS times (circular buffer, message buffer, semaphores)"
"$SERVER" "$DB" "$APP" "$ROUNDS" &
server_pid=$!
"$CLIENT" "$DB" "$APP" "$ROUNDS"
reap server_pid "the server did not receive every call complete and in order"

step "A C++ program (zrdb.hpp) reads and writes values, a semaphore and a circular buffer"
"$CPP_EXAMPLE" "$DB" "$APP" || die "the C++ example failed"

step "An operator's Python script commissions the plant and serves 3 calls of the C client"
if compgen -G "$PYTHON_MODULE_DIR/zrdb.cpython-*.so" >/dev/null; then
  PYTHONPATH=$PYTHON_MODULE_DIR /usr/bin/python3 examples/commissioning.py --setpoint 300 \
    --serve 3 "$DB" &
  commissioning_pid=$!
  "$CLIENT" "$DB" "$APP" 3 || die "the client's calls of the Python script failed"
  reap commissioning_pid "examples/commissioning.py failed"
else
  echo "(the Python module was not built: no pybind11 or Python headers; skipped)"
fi

step "Two threads pass pool buffers through a thread FIFO for ${PIPELINE_SECONDS}s; the operator watches"
"$PIPELINE" "$DB" "$PIPELINE_APP" "${PIPELINE_SECONDS}s" &
pipeline_pid=$!
# The statistics name their owner once the pipeline has opened the items.
opened() { "$ZRDBCTL" print "$1" 2>/dev/null | grep -q 'User(pipeline)'; }
for ((tries = 0; tries < 50; ++tries)); do
  if opened frames && opened frame_queue.0; then break; fi
  sleep 0.1
done
# The operator turns on the statistics that need a trace (open cleared
# them): most bytes pending in the FIFO, and how long buffers are held.
show trace frame_queue.0 2
show trace frames 3
sleep 1
show print frames
show print frame_queue.0
reap pipeline_pid "the pipeline lost, damaged or kept a buffer"
show reset frames
show print frames
[[ $("$ZRDBCTL" print frames) == *"UC(0),MUC(0),AFC(0)"* ]] || die "reset left statistics of frames"
printf '$ zrdbctl trace counter 2   # an integer keeps no statistics: exit status 2\n'
status=0
"$ZRDBCTL" trace counter 2 || status=$?
[[ $status -eq 2 ]] || die "trace of an integer item gave exit status $status, not 2"

step "UDP client and server exchange $ROUNDS requests over 127.0.0.1 (remote buffer items)"
# True once process $2 has opened remote buffer item $1 (its statistics
# name the owner); waits 5 s at most.
wait_open() {
  local tries
  for ((tries = 0; tries < 50; ++tries)); do
    [[ $("$ZRDBCTL" print "$1" 2>/dev/null) == *"User  =  $2 "*"Status: 1"* ]] && return 0
    sleep 0.1
  done
  return 1
}
# The operator's tool waits on the server item sync_in for one datagram,
# which lands in $heard_file; heard waits for it.
heard_file=$(mktemp)
listen() {
  printf '$ zrdbctl udp-recv sync_in 20 &\n'
  "$ZRDBCTL" udp-recv sync_in 20 >"$heard_file" &
  listener_pid=$!
  wait_open sync_in zrdbctl || die "zrdbctl udp-recv did not open sync_in"
}
heard() { reap listener_pid "nothing arrived on sync_in"; }
listen
"$UDP_SERVER" "$DB" "$ROUNDS" &
udp_server_pid=$!
wait_open udp_srv udp_server || die "udp_server did not open udp_srv"
# The client also writes $ROUNDS to "mirrored", which sends a sync message
# through sync_link to sync_in first.
"$UDP_CLIENT" "$DB" "$NETWORK_APP" "$ROUNDS"
reap udp_server_pid "the UDP server did not answer every request"
heard
echo "sync_in received:"
cat "$heard_file"
# The header: six big-endian words (txid, mode, remoteId, idx, len, cs),
# then the payload, here the value written (host order).
mapfile -t bytes < <(sed 's/^[0-9a-f]*://' "$heard_file" | tr -s ' ' '\n' | sed '/^$/d')
[[ ${#bytes[@]} -eq 28 ]] || die "the sync message is ${#bytes[@]} bytes, not 24 + 4"
word() { printf '%d' "0x${bytes[$1]}${bytes[$1 + 1]}${bytes[$1 + 2]}${bytes[$1 + 3]}"; }
payload=$(printf '%d' "0x${bytes[27]}${bytes[26]}${bytes[25]}${bytes[24]}")
printf 'sync message: txid %d, mode %d (a write), remoteId %d, idx %d, len %d; payload %d\n' \
  "$(word 0)" "$(word 4)" "$(word 8)" "$(word 12)" "$(word 16)" "$payload"
[[ $(word 4) -eq 0 && $(word 8) -eq 45 && $(word 16) -eq 4 && $payload -eq $ROUNDS ]] ||
  die "the sync message does not say: write of $ROUNDS to peer item 45"
[[ $("$ZRDBCTL" get mirrored) == "$ROUNDS" ]] || die "mirrored is not $ROUNDS"
# The operator's tool sends through a client item like any process.
listen
show udp-send sync_link "hello from the operator"
heard
echo "sync_in received: $(cat "$heard_file")"
[[ $(cat "$heard_file") == "hello from the operator" ]] || die "udp-send did not arrive whole"
printf '$ zrdbctl udp-send counter x   # not a remote buffer: exit status 2\n'
status=0
"$ZRDBCTL" udp-send counter x || status=$?
[[ $status -eq 2 ]] || die "udp-send through an integer item gave exit status $status, not 2"

step "A second system B links to this one through two zrdb-vlinkd daemons (VLINK over 127.0.0.1, CURVE)"
# B is a process tree in IPC and mount namespaces of its own, with its own
# /dev/shm: its database, VLINK queue and semaphore are not ours. A process
# that lives there (and ends with the demo) lets us run B's commands.

# Shows a command of system B and runs it there.
show_peer() {
  printf '(B) $ zrdbctl %s\n' "$*"
  in_peer "$ZRDBCTL" "$@"
}
start_daemon_b() {
  printf '(B) $ zrdb-vlinkd %s &\n' "${DAEMON_B[*]}"
  nsenter --target "$peer_pid" --ipc --mount --wd="$ROOT" "$VLINKD" "${DAEMON_B[@]}" >>"$vlink_dir/b.log" 2>&1 &
  daemon_b_pid=$!
}
# Waits up to 5 s for B's item $1 to read $2.
peer_reads() {
  local tries
  for ((tries = 0; tries < 50; ++tries)); do
    [[ $(in_peer "$ZRDBCTL" get "$1" 2>/dev/null) == "$2" ]] && return 0
    sleep 0.1
  done
  return 1
}
if [[ $EUID -ne 0 ]]; then
  echo "skipped: system B needs IPC and mount namespaces of its own, which only root may make"
else
  vlink_dir=$(mktemp -d)
  printf "\$ unshare --ipc --mount sh -c 'mount -t tmpfs none /dev/shm && exec tail --pid=%d -f /dev/null' &   # system B\n" $$
  # shellcheck disable=SC2016 # $1 is for the inner shell
  unshare --ipc --mount --propagation private \
    sh -c 'mount -t tmpfs none /dev/shm && exec tail --pid="$1" -f /dev/null' sh $$ &
  peer_pid=$!
  # Ready once the mount is made: sh has become tail.
  for ((tries = 0; tries < 50; ++tries)); do
    [[ $(cat "/proc/$peer_pid/comm" 2>/dev/null) == tail ]] && break
    sleep 0.1
  done
  [[ $(cat "/proc/$peer_pid/comm" 2>/dev/null) == tail ]] || die "system B's namespaces could not be made"
  [[ $(readlink "/proc/$peer_pid/ns/ipc") != $(readlink /proc/self/ns/ipc) ]] || die "system B shares our IPC namespace"
  echo "Each system makes its key pair; the public keys are exchanged, the secret ones stay"
  for side in a b; do
    printf '$ zrdb-vlinkd keygen %s/%s\n' "$vlink_dir" "$side"
    "$VLINKD" keygen "$vlink_dir/$side" || die "keygen failed"
  done
  ls -l "$vlink_dir"
  # B lets link 0 (system A) write pressure and tank_level, nothing else.
  DAEMON_A=(--foreground --key "$vlink_dir/a.key" --listen 127.0.0.1:47800
    --link 0=127.0.0.1:47801 "$vlink_dir/b.pub" --sync-port 47802 "$DB")
  DAEMON_B=(--foreground --key "$vlink_dir/b.key" --listen 127.0.0.1:47801
    --link 0=127.0.0.1:47800 "$vlink_dir/a.pub" --allow-set 0 pressure,tank_level "$PEER_DB")
  show_peer create "$PEER_DB"
  peer_created=1
  printf '$ zrdb-vlinkd %s &\n' "${DAEMON_A[*]}"
  "$VLINKD" "${DAEMON_A[@]}" >"$vlink_dir/a.log" 2>&1 &
  daemon_a_pid=$!
  start_daemon_b
  # The client waits for the link, then reads, writes and reads B's
  # pressure[1] through A's daemon, B's daemon and B's library.
  printf '$ vlink_client %s %s transfer 4711\n' "$DB" "$VLINK_APP"
  "$VLINK_CLIENT" "$DB" "$VLINK_APP" transfer 4711 || die "the VLINK transactions with system B failed"
  show_peer get pressure
  [[ $(in_peer "$ZRDBCTL" get pressure.1) == 4711 ]] || die "B's pressure[1] is not 4711"
  echo "The link's state and its peer's key (first 8 characters of b.pub: $(cut -c1-8 "$vlink_dir/b.pub"))"
  show watch -c 1 vlink
  "$ZRDBCTL" --json watch -c 1 vlink | grep -qF "\"peers\":[\"$(cut -c1-8 "$vlink_dir/b.pub" | sed 's/[\\"]/\\&/g')\"]" ||
    die "zrdbctl does not show B's key fingerprint"
  echo "B's setpoint is not on its allow-set list for A: the write is refused"
  printf '$ vlink_client %s %s refused 12\n' "$DB" "$VLINK_APP"
  "$VLINK_CLIENT" "$DB" "$VLINK_APP" refused 12 || die "B did not refuse the write of setpoint"
  show_peer get setpoint
  [[ $(in_peer "$ZRDBCTL" get setpoint) == 50 ]] || die "B's setpoint changed"
  echo "A stranger C with a key pair of its own dials B: B refuses its key"
  printf '$ zrdb-vlinkd keygen %s/c\n' "$vlink_dir"
  "$VLINKD" keygen "$vlink_dir/c" >/dev/null || die "keygen failed"
  # C is a system of its own for 2 s, with a copy of B's database.
  # shellcheck disable=SC2016 # for the inner shell
  unshare --ipc --mount --propagation private sh -c 'mount -t tmpfs none /dev/shm &&
    "$1" create "$2" >/dev/null && { timeout -s TERM 2 "$3" --foreground --key "$4/c.key" \
    --listen 127.0.0.1:47803 --link 0=127.0.0.1:47801 "$4/b.pub" "$2" || true; } &&
    "$1" remove "$2" >/dev/null' sh "$ZRDBCTL" "$PEER_DB" "$VLINKD" "$vlink_dir" >"$vlink_dir/c.log" 2>&1 ||
    die "stranger C could not run"
  grep -F "handshake" "$vlink_dir/c.log" | sed 's/^/  C: /'
  grep -F "key $(cut -c1-8 "$vlink_dir/c.pub") is no configured link's" "$vlink_dir/b.log" | sed 's/^/  B: /' |
    grep . || die "B did not log the refused stranger"
  # A write of tank_level is mirrored: a sync message through peer_sync to
  # A's daemon, which forwards it over the link to B's, which writes B's
  # tank_level (on its allow-set list).
  show set tank_level 321
  peer_reads tank_level 321 || die "B's tank_level did not become 321 within 5 s"
  show_peer get tank_level
  echo "B's daemon stops: A's link goes down"
  printf "\$ kill -TERM %d   # B's zrdb-vlinkd\n" "$daemon_b_pid"
  status=0
  stop_daemon "$daemon_b_pid" || status=$?
  daemon_b_pid=
  [[ $status -eq 0 ]] || die "B's daemon stopped with exit status $status, not 0"
  printf '$ vlink_client %s %s status 0 5\n' "$DB" "$VLINK_APP"
  "$VLINK_CLIENT" "$DB" "$VLINK_APP" status 0 5 || die "A's link did not go down"
  echo "B's daemon starts again: A's daemon dials it again and the link comes back"
  start_daemon_b
  printf '$ vlink_client %s %s status 1 15\n' "$DB" "$VLINK_APP"
  "$VLINK_CLIENT" "$DB" "$VLINK_APP" status 1 15 || die "A's link did not come back"
  printf '$ vlink_client %s %s transfer 4712\n' "$DB" "$VLINK_APP"
  "$VLINK_CLIENT" "$DB" "$VLINK_APP" transfer 4712 || die "the VLINK transactions failed after the restart"
  echo "Both daemons stop (SIGTERM)"
  status=0
  stop_daemon "$daemon_a_pid" || status=$?
  daemon_a_pid=
  [[ $status -eq 0 ]] || die "A's daemon stopped with exit status $status, not 0"
  stop_daemon "$daemon_b_pid" || status=$?
  daemon_b_pid=
  [[ $status -eq 0 ]] || die "B's daemon stopped with exit status $status, not 0"
  for side in A B; do
    echo "daemon $side's log (without the library's lines):"
    sed -n '/^|/!s/^/  /p' "$vlink_dir/${side,}.log"
  done
fi

step "Use the communication items with the operator's tool"
show cbuf-write events hello world
show cbuf-read events
show msg-write requests 7 1 ping
show msg-read requests
show sem-post req_sem
show sem-value req_sem
show sem-wait req_sem 1000000
show print events 1

step "Read and edit values with the operator's tool"
show get counter
[[ $("$ZRDBCTL" get counter) == "$ROUNDS" ]] || die "counter is not $ROUNDS"
show get levels.0
show set label.1 running
[[ $("$ZRDBCTL" get label.1) == running ]] || die "label.1 did not take the new text"
show set setpoint 0x40
[[ $("$ZRDBCTL" get setpoint) == 64 ]] || die "setpoint is not 64"
show print speed.2
show get calib
printf '$ zrdbctl get speed.8   # out of range: exit status 2\n'
status=0
"$ZRDBCTL" get speed.8 || status=$?
[[ $status -eq 2 ]] || die "an index out of range gave exit status $status, not 2"

step "List the database"
show dump

step "Parameter sets: the values outlive the database"
# What a device does at shutdown and boot: save the plain items' values,
# remove the database, create it again and restore them in one step.
PARAMS=$BUILD_DIR/plant-values.json
show save "$PARAMS"
show remove
created=0
show create "$DB" --restore "$PARAMS"
created=1
[[ $("$ZRDBCTL" get label.1) == running && $("$ZRDBCTL" get setpoint) == 64 &&
   $("$ZRDBCTL" get counter) == "$ROUNDS" ]] || die "the restore did not bring back label.1, setpoint and counter"
show get setpoint
show set setpoint 7
show load "$PARAMS" --dry-run
[[ $("$ZRDBCTL" get setpoint) == 7 ]] || die "load --dry-run wrote a value"
show load "$PARAMS"
[[ $("$ZRDBCTL" get setpoint) == 64 ]] || die "load did not restore setpoint"

step "Publish the plant on MQTT (zrdb-mqtt) and write its setpoint from mosquitto_pub"
mqtt_dir=$(mktemp -d)
# A loopback port nothing listens on.
for mqtt_port in $(shuf -i 20000-60000 -n 100); do
  grep -qi ":$(printf %04X "$mqtt_port") " /proc/net/tcp /proc/net/tcp6 2>/dev/null || break
done
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt_port" >"$mqtt_dir/broker.conf"
mosquitto -c "$mqtt_dir/broker.conf" >"$mqtt_dir/broker.log" 2>&1 &
broker_pid=$!
for _ in $(seq 50); do grep -q "Opening ipv4 listen socket" "$mqtt_dir/broker.log" && break; sleep 0.1; done
printf 'broker 127.0.0.1:%s\npublish speed label setpoint\nallow-set setpoint\n' "$mqtt_port" |
  tee "$mqtt_dir/bridge.conf"
printf '$ zrdb-mqtt -c bridge.conf --foreground %s &\n' "$DB"
"$MQTT_BRIDGE" -c "$mqtt_dir/bridge.conf" --foreground "$DB" >"$mqtt_dir/bridge.log" 2>&1 &
bridge_pid=$!
printf "\$ mosquitto_sub -v -t 'zrdb/plant/#' &\n"
mosquitto_sub -p "$mqtt_port" -v -t 'zrdb/plant/#' >"$mqtt_dir/sub.log" 2>&1 &
listener_pid=$!
mqtt_await() {
  for _ in $(seq 100); do grep -q -- "$1" "$mqtt_dir/sub.log" && return 0; sleep 0.1; done
  die "no MQTT message matching '$1'"
}
mqtt_await '^zrdb/plant/setpoint {"value":64,'
show set label.0 busy
mqtt_await '^zrdb/plant/label {"value":\["busy",'
printf '$ mosquitto_pub -t zrdb/plant/setpoint/set -m 96\n'
mosquitto_pub -p "$mqtt_port" -t zrdb/plant/setpoint/set -m 96
mqtt_await '^zrdb/plant/setpoint {"value":96,'
show get setpoint
[[ $("$ZRDBCTL" get setpoint) == 96 ]] || die "the setpoint from MQTT is not 96"
printf '$ mosquitto_pub -t zrdb/plant/speed/set -m 1   # not on the allow-set list\n'
mosquitto_pub -p "$mqtt_port" -t zrdb/plant/speed/set -m 1
mqtt_await '^zrdb/plant/speed/error '
echo "what mosquitto_sub saw:"
sed 's/^/  /' "$mqtt_dir/sub.log"
stop "$bridge_pid"
bridge_pid=
stop "$listener_pid"
listener_pid=
stop "$broker_pid"
broker_pid=

step "Export the statistics and integer values for Prometheus"
show export --prometheus --items

step "Remove the databases"
show remove
created=0
if [[ $peer_created -eq 1 ]]; then
  show_peer remove
  peer_created=0
fi

step "Check that nothing is left"
if segment_exists "$INDEX_KEY"; then die "the index segment $INDEX_KEY is still there"; fi
if segment_exists "$DATA_KEY"; then die "the data segment $DATA_KEY is still there"; fi
if ipcs -q | has_key "$VLINK_QUEUE_KEY"; then die "the VLINK message queue $VLINK_QUEUE_KEY is still there"; fi
for sem in "${SEMAPHORES[@]}"; do
  if [[ -e /dev/shm/$sem ]]; then die "semaphore /dev/shm/$sem is still there"; fi
done
remove_lock_files
for file in "${LOCK_FILES[@]}"; do
  if [[ -e $file ]]; then die "lock file $file is still there (held by another process?)"; fi
done
echo "ipcs -m: no segment with key $INDEX_KEY or $DATA_KEY; ipcs -q: no queue with key $VLINK_QUEUE_KEY"
echo "/dev/shm: none of the example's semaphores (${SEMAPHORES[*]})"
echo "/tmp: none of the lock files ${LOCK_FILES[*]}"
if [[ -n $peer_pid ]]; then
  for key in "$INDEX_KEY" "$PEER_DATA_KEY"; do
    if in_peer ipcs -m | has_key "$key"; then die "system B's segment $key is still there"; fi
  done
  if in_peer ipcs -q | has_key "$VLINK_QUEUE_KEY"; then die "system B's VLINK queue is still there"; fi
  left=$(in_peer ls -A /dev/shm)
  [[ -z $left ]] || die "system B's /dev/shm still holds: $left"
  stop "$peer_pid"
  peer_pid=
  echo "system B: no segment with key $INDEX_KEY or $PEER_DATA_KEY, no VLINK queue, /dev/shm empty; its namespaces ended"
fi

printf '\ndemo: OK\n'
