#!/usr/bin/env bash
# isolated.sh COMMAND [ARG...]: runs COMMAND in IPC, mount and network
# namespaces of its own, with its loopback up and an empty /dev/shm and /tmp,
# so that the fixed IPC keys, ports and item lock files of its tests meet no
# other run on the machine (another build's tests, a running system). Fails
# when COMMAND fails, or when it left an IPC object, a file in /dev/shm or an
# item lock file behind: whatever is there at its end, the namespaces started
# empty. The working directory stays where it is, also under /tmp. COMMAND
# sees ZRDB_ISOLATED=done (a script that isolates itself checks it). Needs
# root; without it COMMAND runs in place, unchecked, and says so.
#
# isolated.sh --leftovers: lists what tests may leave on this machine, as
# the check at the end does (without the unkeyed IPC objects: on a shared
# machine those are anyone's).
set -euo pipefail

# leftovers [unkeyed]: IPC objects with a key (and unkeyed ones when asked),
# files in /dev/shm, item lock files.
leftovers() {
  { ipcs -m; ipcs -q; ipcs -s; } 2>/dev/null |
    awk -v unkeyed="${1:-}" '$1 ~ /^0x/ && (unkeyed != "" || $1 != "0x00000000")' || true
  find /dev/shm /tmp -maxdepth 1 \( -path '/dev/shm/*' -o -name 'zrdbid*.lock' \) 2>/dev/null || true
}
if [ "${1:-}" = --leftovers ]; then
  leftovers
  exit
fi

if [ "${ZRDB_ISOLATED:-}" != inside ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "isolated.sh: not root, so no namespaces of its own: $* runs on the machine's" >&2
    ZRDB_ISOLATED=done exec "$@"
  fi
  exec unshare --ipc --mount --net --fork env ZRDB_ISOLATED=inside "$0" "$@"
fi

ip link set lo up
mount -t tmpfs none /dev/shm
# A tree under /tmp is bound back into the new /tmp at its own path, from a
# descriptor opened before the old /tmp was covered.
here=$PWD
exec 9<"$here"
mount -t tmpfs none /tmp
if [[ $here/ == /tmp/* ]]; then
  mkdir -p "$here"
  mount --no-canonicalize --bind /proc/self/fd/9 "$here"
fi
exec 9<&-
cd "$here"

status=0
ZRDB_ISOLATED=done "$@" || status=$?
left=$(leftovers unkeyed)
if [ -n "$left" ]; then
  printf '%s left IPC objects or files behind:\n%s\n' "$*" "$left" >&2
  [ "$status" != 0 ] || status=1
fi
exit "$status"
