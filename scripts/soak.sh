#!/usr/bin/env bash
# Crash soak: a mixed workload on one database (values under a semaphore
# lock, a circular buffer pair, the synchronous call, a thread FIFO + pool
# pipeline, a remote buffer pair on loopback, VLINK set and get of an item
# of a second system B through a zrdb-vlinkd on each system), whose
# participants (tests/soak/soak_part) and link daemons are SIGKILLed and
# restarted at random, also during their attach and during `zrdbctl create`
# / `remove`. The databases are made anew every EPOCH seconds. Prints one
# summary line and fails on a corruption, an overrun time-out, a failed
# check, a link that does not come back or a leftover.
#
#   scripts/soak.sh [--minutes N | --seconds N] [--epoch SECONDS]
#
# BUILD_DIR (default build) holds a build with the tests. Runs in private
# IPC, mount and network namespaces (in a user namespace too when not run as
# root), so it neither sees nor leaves anything outside. SOAK_LOG=FILE keeps
# the description of every fault found.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
epoch=20
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --epoch) epoch=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N | --seconds N] [--epoch SECONDS]" >&2; exit 2 ;;
  esac
done
# Absolute: system B's commands start in the root of its mount namespace.
build=$(cd "${BUILD_DIR:-build}" && pwd)
part=$build/tests/soak/soak_part
ctl=$build/tools/zrdbctl
vlinkd=$build/tools/zrdb-vlinkd
for program in "$part" "$ctl" "$vlinkd"; do
  [ -x "$program" ] || { echo "soak: $program is missing: build the tests first" >&2; exit 2; }
done

# System B's mount namespace is kept by a bind mount of its namespace file,
# which the kernel refuses (EINVAL) unless that namespace's id is above the
# id of the namespace that binds it. Ids come from per-CPU batches, so a
# namespace made later on another CPU can get the lower one: the soak's
# namespaces and B's are made on one CPU, the first this process may use.
allowed=$(awk '/^Cpus_allowed_list:/ {print $2}' /proc/self/status)
ns_cpu=${allowed%%[,-]*}
if [ -z "${SOAK_IN_NAMESPACES:-}" ]; then
  # Without root, a user namespace where this user is root.
  as_root=()
  [ "$(id -u)" = 0 ] || as_root=(--user --map-root-user)
  # shellcheck disable=SC2016 # expanded by the inner shell
  exec taskset -c "$ns_cpu" unshare "${as_root[@]}" --ipc --mount --net --fork \
    env SOAK_IN_NAMESPACES=1 SOAK_CPUS="$allowed" sh -c \
    'mount -t tmpfs none /dev/shm && mount -t tmpfs none /tmp && ip link set lo up &&
      exec taskset -c "$SOAK_CPUS" "$0" "$@"' "$0" --seconds "$seconds" --epoch "$epoch"
fi

ms_sleep() { sleep "$(printf '0.%03d' "$1")"; }

dir=$(mktemp -d /tmp/soak.XXXXXX)
mkdir "$dir/m"
truncate -s 4096 "$dir/stats"
faults=$dir/faults.log
: >"$faults"
: >"$dir/left"
cat >"$dir/soak.db" <<'EOF'
[system]
name=soak
key=0x50A4D000
size=65536
[database]
id=0, name=vlink, type=vlinkmst, value=1:127.0.0.1:47660
id=1, name=lock, type=semap, value=/soak_lock:1
id=2, name=ledger, type=integer, size=4*8, value=0
id=3, name=note, type=string, size=48*1, value=n:0
id=4, name=holder, type=integer, value=0
id=5, name=events, type=cbuf, size=64*32
id=6, name=requests, type=msgbuf, size=76*8
id=7, name=req_sem, type=semap, value=/soak_req:0
id=8, name=ack_sem, type=semap, value=/soak_ack:0
id=9, name=command, type=integer, realtime=6*7*8, timeout=1000
id=10, name=frames, type=thrd_rbuf, size=256*16
id=11, name=frame_queue, type=thrd_fifo, size=8*1
id=12, name=udp_srv, type=rmtbuf, value=server:udp://127.0.0.1:47650
id=13, name=udp_cli, type=rmtbuf, value=client:udp://127.0.0.1:47650
EOF
# The VLINK master has id 0 so that only the VLINK participant binds it:
# at id 1 or more every attach binds it and takes the VLINK semaphore, and
# one killed while holding it makes every attach wait up to 21 s.
# System B: its own IPC and mount namespaces, kept by bind mounts rather
# than by a process that could die, on the soak's loopback; its daemon lets
# A write `box`.
cat >"$dir/b.db" <<'EOF'
[system]
name=soakb
key=0x50A4E000
size=8192
[database]
id=1, name=vlink, type=vlinkmst, value=1:127.0.0.1:47661
id=2, name=box, type=integer, size=16*4, value=0
EOF
"$vlinkd" keygen "$dir/a" >/dev/null
"$vlinkd" keygen "$dir/b" >/dev/null
mount --bind "$dir" "$dir"
mount --make-private "$dir"
touch "$dir/b.ipc" "$dir/b.mnt"
taskset -c "$ns_cpu" unshare --ipc="$dir/b.ipc" --mount="$dir/b.mnt" mount -t tmpfs none /dev/shm
in_b() { nsenter --ipc="$dir/b.ipc" --mount="$dir/b.mnt" "$@"; }

roles=(writer writer reader reader producer consumer server client pipeline udpsrv udpcli vlink
  vlinkd_a vlinkd_b)
declare -a pids
sem_temp=0 kills=0 attach_kills=0 tool_kills=0 hung=0 leftovers=0 driver_failures=0
daemon_kills=0 vsem_kept=0 vsem_waited=0 relinks=0 slowest_relink=0 spare_until=0 relink_at=0

start() { # start participant $1
  case ${roles[$1]} in
    vlinkd_a) "$vlinkd" --foreground --key "$dir/a.key" --listen 127.0.0.1:47660 \
      --link 0=127.0.0.1:47661 "$dir/b.pub" "$dir/soak.db" >/dev/null 2>>"$dir/vlinkd.log" & ;;
    # nsenter itself, not in_b: a function run in the background is a
    # subshell, and the kill would miss the daemon.
    vlinkd_b) nsenter --ipc="$dir/b.ipc" --mount="$dir/b.mnt" "$vlinkd" --foreground --key "$dir/b.key" \
      --listen 127.0.0.1:47661 --link 0=127.0.0.1:47660 "$dir/a.pub" --allow-set 0 box \
      "$dir/b.db" >/dev/null 2>>"$dir/vlinkd.log" & ;;
    *) "$part" "${roles[$1]}" "$dir" >/dev/null 2>>"$faults" & ;;
  esac
  pids[$1]=$!
}

# Sends signal $2 to $1 only while $1 is still a child of this shell: bash
# reaps its children as they end, and the PID of one that ended may already
# be another's (PIDs wrap quickly under the soak). Without $2, only asks.
ours() {
  local ppid
  read -r _ _ _ ppid _ 2>/dev/null <"/proc/$1/stat" || return 1
  [ "$ppid" = $$ ] && { [ -z "${2:-}" ] || kill "-$2" "$1" 2>/dev/null; }
}

# NOW: milliseconds of the boot-time clock, which the participants use too.
now_ms() {
  local up
  read -r up _ </proc/uptime
  NOW=$((${up%.*} * 1000 + 10#${up#*.} * 10))
}

# Waits for participant $1 (pid $2); a death by any signal but $3 is a
# crash. Returns 0 when $3 ended it.
reap() {
  local status=0
  wait "$2" 2>/dev/null || status=$?
  [ "$status" = $((128 + $3)) ] && return 0
  if [ "$status" -gt 128 ]; then
    echo "soak: ${roles[$1]} died of signal $((status - 128))" >>"$faults"
    driver_failures=$((driver_failures + 1))
  fi
  return 1
}

kill_part() { # SIGKILL participant $1, note whether it was attaching, restart it
  local pid=${pids[$1]}
  ours "$pid" KILL || true
  reap "$1" "$pid" 9 && kills=$((kills + 1))
  if [ -e "$dir/m/$pid.s" ] && [ ! -e "$dir/m/$pid.a" ]; then attach_kills=$((attach_kills + 1)); fi
  rm -f "$dir/m/$pid".?
  case ${roles[$1]} in
    writer | reader) stuck_check "$pid" ;;
    producer | consumer) cbuf_kills=$((cbuf_kills + 1)) ;;
    vlink) vsem_check ;;
    vlinkd_?) daemon_kills=$((daemon_kills + 1)) ;;
  esac
  start "$1"
  # A daemon replaced: a VLINK transaction begun after its start must
  # succeed within 15 s (the dialler backs off up to 5 s). Timed from the
  # first restart not yet followed by one, so that frequent restarts do not
  # put the deadline off.
  if [[ ${roles[$1]} == vlinkd_? ]] && [ "$relink_at" = 0 ]; then now_ms; relink_at=$NOW; fi
}

# The VLINK semaphore kept by the killed participant (it holds it for up
# to 5 s when a killed daemon leaves its request unanswered). The library
# gives it back after 21 s of waiting: one time in four the next
# participant is left to do that, unkilled; otherwise the driver gives it
# back at once, as an operator would, so that the link stays in use.
vsem_check() {
  local post=post
  [ $((RANDOM % 4)) = 0 ] && post=
  if ! "$part" vsem "$dir" $post 2>>"$faults"; then
    vsem_kept=$((vsem_kept + 1))
    if [ -z "$post" ]; then
      vsem_waited=$((vsem_waited + 1))
      now_ms
      spare_until=$((NOW + 23000))
    fi
  fi
}

relink_check() {
  [ "$relink_at" = 0 ] && return 0
  now_ms
  local ok
  ok=$("$part" vlinkok "$dir")
  if [ "$ok" -ge "$relink_at" ]; then
    [ $((ok - relink_at)) -gt "$slowest_relink" ] && slowest_relink=$((ok - relink_at))
    relinks=$((relinks + 1)) relink_at=0
  elif [ "$NOW" -gt $((relink_at + 15000)) ] && [ "$NOW" -gt $((spare_until + 10000)) ]; then
    echo "soak: no VLINK transaction succeeded within 15 s of a link daemon's restart" >>"$faults"
    driver_failures=$((driver_failures + 1)) relink_at=0
  fi
}

# A lock left taken by a dead holder is the one stuck state allowed: the
# helper counts it and completes the ledger, the operator's remedy frees it.
stuck_check() {
  local rc=0
  "$part" stuck "$dir" "${1:-0}" >/dev/null 2>>"$faults" || rc=$?
  if [ "$rc" = 3 ]; then
    "$ctl" sem-post lock >/dev/null || driver_failures=$((driver_failures + 1))
  fi
}

# Runs `zrdbctl $@` and SIGKILLs it after a random spin of up to about
# 10 ms (a create or remove takes about 8). Returns 0 when the kill hit it
# running, 1 when it had finished well, 2 when it had failed.
tool_killed() {
  "$ctl" "$@" >/dev/null 2>&1 &
  local pid=$! status=0 k spin=$((RANDOM % 1500))
  for ((k = 0; k < spin; k++)); do :; done
  ours "$pid" KILL || true
  wait "$pid" 2>/dev/null || status=$?
  case $status in
    137) tool_kills=$((tool_kills + 1)); kills=$((kills + 1)); return 0 ;;
    0) return 1 ;;
    *) return 2 ;;
  esac
}

tool_failed() {
  echo "soak: zrdbctl $* failed" >>"$faults"
  tail -5 "$dir/tool.log" >>"$faults"
  driver_failures=$((driver_failures + 1))
}

# One create in two is killed; what it left must go with a remove, and
# the create that follows must succeed.
create_db() {
  local r=0
  if [ $((RANDOM % 2)) = 0 ]; then
    tool_killed create "$dir/soak.db" || r=$?
    [ $r = 1 ] && return 0
    "$ctl" remove "$dir/soak.db" >>"$dir/tool.log" 2>&1 || true
  fi
  "$ctl" create "$dir/soak.db" >>"$dir/tool.log" 2>&1 || tool_failed create
}

# One remove in two is killed and run again; the leftover check and the
# next create judge the result.
remove_db() {
  local r=0
  if [ $((RANDOM % 2)) = 0 ]; then
    tool_killed remove || r=$?
    [ $r = 0 ] || return 0
    "$ctl" remove "$dir/soak.db" >>"$dir/tool.log" 2>&1 || true
    return 0
  fi
  "$ctl" remove >>"$dir/tool.log" 2>&1 || tool_failed remove
}

# What removed databases may not leave: keyed IPC objects, files in
# /dev/shm (named semaphores, the link daemon's peers file) on either system,
# and item lock files.
count_leftovers() {
  # shellcheck disable=SC2016 # run by sh, on system A and in system B
  local found ipc='{ ipcs -m; ipcs -q; ipcs -s; } | awk '\''$1 ~ /^0x/ && $1 != "0x00000000"'\''; ls -A /dev/shm'
  found=$(sh -c "$ipc" 2>/dev/null; in_b sh -c "$ipc" 2>/dev/null | sed 's/^/system B: /'
    ls /tmp/zrdbid*.lock 2>/dev/null || true)
  # Each counted once, in the first database it outlived.
  found=$(comm -13 <(sort -u "$dir/left") <(echo "$found" | sed '/^$/d' | sort -u))
  # sem.XXXXXX: the C library's temporary file of a sem_open killed before
  # it linked the semaphore's name; not ours to remove, counted apart.
  local temp
  temp=$(echo "$found" | grep -E '^sem\.[A-Za-z0-9]{6}$' || true)
  if [ -n "$temp" ]; then
    echo "$temp" >>"$dir/left"
    sem_temp=$((sem_temp + $(echo "$temp" | wc -l)))
    found=$(echo "$found" | grep -vE '^sem\.[A-Za-z0-9]{6}$' || true)
  fi
  if [ -n "$found" ]; then
    echo "soak: left after remove:" >>"$faults"
    echo "$found" | tee -a "$dir/left" >>"$faults"
    leftovers=$((leftovers + $(echo "$found" | wc -l)))
  fi
}

# A link daemon that ended by itself (it could not take the port or the
# queue over, say) is a fault; it is started again.
daemons_check() {
  local i
  for i in "${!roles[@]}"; do
    [[ ${roles[$i]} == vlinkd_? ]] || continue
    ours "${pids[$i]}" && continue
    reap "$i" "${pids[$i]}" 9 || true
    echo "soak: ${roles[$i]} ended by itself" >>"$faults"
    tail -3 "$dir/vlinkd.log" >>"$faults"
    driver_failures=$((driver_failures + 1))
    start "$i"
  done
}

# Stops participant $1 with SIGTERM; it must end within $2 tenths of a
# second. A VLINK participant waiting out a kept semaphore is let off.
stop_part() {
  local pid=${pids[$1]} waited=0 limit=$2
  ours "$pid" TERM || true
  now_ms
  if [ "${roles[$1]}" = vlink ] && [ "$NOW" -lt "$spare_until" ]; then limit=0; fi
  while ours "$pid" && [ $waited -lt "$limit" ]; do
    ms_sleep 100
    waited=$((waited + 1))
  done
  now_ms
  if ! ours "$pid" KILL; then
    reap "$1" "$pid" 15 || true
  elif [ "${roles[$1]}" = vlink ] && [ "$NOW" -lt "$spare_until" ]; then
    wait "$pid" 2>/dev/null || true
  else
    echo "soak: ${roles[$1]} did not stop within $(($2 / 10)) s of SIGTERM" >>"$faults"
    hung=$((hung + 1))
    reap "$1" "$pid" 9 || true
  fi
}

run_epoch() { # $1: seconds
  create_db
  in_b "$ctl" create "$dir/b.db" >>"$dir/tool.log" 2>&1 || tool_failed create B
  "$part" newepoch "$dir"
  cbuf_kills=0 relink_at=0 spare_until=0
  local i end=$((SECONDS + $1)) next_check=$((SECONDS + 2))
  for i in "${!roles[@]}"; do start "$i"; done
  while [ "$SECONDS" -lt "$end" ]; do
    ms_sleep $((20 + RANDOM % 180))
    relink_check
    i=$((RANDOM % ${#roles[@]}))
    # The participant waiting out a kept VLINK semaphore is left to it. A
    # link daemon is killed one time in four it is drawn (about every 4 s),
    # so that the link is up most of the time and each restart is seen to
    # bring the transactions back.
    now_ms
    [ "${roles[$i]}" = vlink ] && [ "$NOW" -lt "$spare_until" ] && continue
    [[ ${roles[$i]} == vlinkd_? ]] && [ $((RANDOM % 4)) != 0 ] && continue
    kill_part "$i"
    # One kill in three hits the participant just restarted as soon as it
    # says it begins its attach.
    now_ms
    if [ $((RANDOM % 3)) = 0 ] && { [ "${roles[$i]}" != vlink ] || [ "$NOW" -ge "$spare_until" ]; }; then
      local spins=0
      while [ ! -e "$dir/m/${pids[$i]}.s" ] && [ $spins -lt 5000 ]; do spins=$((spins + 1)); done
      kill_part "$i"
    fi
    if [ "$SECONDS" -ge "$next_check" ]; then
      stuck_check 0
      daemons_check
      next_check=$((SECONDS + 2))
    fi
  done
  # Stop: every participant ends within its longest time-out (a VLINK
  # transaction's 5 s), then the link daemons.
  for i in "${!roles[@]}"; do
    [[ ${roles[$i]} == vlinkd_? ]] || ours "${pids[$i]}" TERM || true
  done
  for i in "${!roles[@]}"; do
    case ${roles[$i]} in
      vlink) stop_part "$i" 70 ;;
      vlinkd_?) ;;
      *) stop_part "$i" 50 ;;
    esac
  done
  for i in "${!roles[@]}"; do [[ ${roles[$i]} != vlinkd_? ]] || stop_part "$i" 50; done
  rm -f "$dir"/m/*
  stuck_check 0
  "$part" final "$dir" "$cbuf_kills" >/dev/null 2>>"$faults" || true
  remove_db
  in_b "$ctl" remove >>"$dir/tool.log" 2>&1 || tool_failed remove B
  count_leftovers
}

started=$SECONDS
while [ $((SECONDS - started)) -lt "$seconds" ]; do
  left=$((seconds - (SECONDS - started)))
  run_epoch $((left < epoch ? left : epoch))
done

umount "$dir/b.mnt" "$dir/b.ipc"

ops=0 corrupt=0 overruns=0 expired=0 failures=0 stuck=0 vchecked=0
eval "$("$part" report "$dir")"
timeouts=$((overruns + hung))
# Participants' own failures, and the driver's: failed tool runs, crashes.
failures=$((failures + driver_failures))
echo "soak: $((SECONDS - started)) s, kills $kills (during attach $attach_kills," \
  "during create/remove $tool_kills, of link daemons $daemon_kills), operations checked $ops" \
  "(VLINK transactions $vchecked), time-outs $timeouts, corruptions $corrupt, stuck locks" \
  "$stuck, leftovers $leftovers, failures $failures (links back after a daemon restart:" \
  "$relinks, slowest $slowest_relink ms; VLINK semaphores a killed caller kept: $vsem_kept," \
  "of which waited out by the library: $vsem_waited; waits that ran out after a kill: $expired; sem_open temporary" \
  "files left by a kill: $sem_temp)"
[ -n "${SOAK_LOG:-}" ] && cp "$faults" "$SOAK_LOG"
if [ $((timeouts + corrupt + leftovers + failures)) != 0 ]; then
  echo "soak: FAILED; what went wrong:" >&2
  sort "$faults" | uniq -c | sort -rn | head -20 >&2
  exit 1
fi
