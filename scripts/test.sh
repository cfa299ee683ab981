#!/usr/bin/env bash
# Builds ZRDB with its tools and tests and runs the whole suite twice: once
# as built for use, once under AddressSanitizer + UndefinedBehaviorSanitizer.
# Then fuzzes the configuration parser for FUZZ_SECONDS (default 60; 0 skips)
# and fails if any test left an IPC object behind.
set -euo pipefail
cd "$(dirname "$0")/.."

ipc_leftovers() {
  # Shared memory, queues and semaphore sets with a key, plus named
  # semaphores: whatever a test forgot to remove.
  { ipcs -m; ipcs -q; ipcs -s; } 2>/dev/null | awk '$1 ~ /^0x/ && $1 != "0x00000000" {print}'
  ls /dev/shm 2>/dev/null | sed 's|^|/dev/shm/|' || true
}

before=$(ipc_leftovers)

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

if [ "${FUZZ_SECONDS:-60}" != 0 ] && [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh
fi

after=$(ipc_leftovers)
new=$(comm -13 <(echo "$before" | sort) <(echo "$after" | sort) | sed '/^$/d')
if [ -n "$new" ]; then
  echo "IPC objects left behind by the tests:" >&2
  echo "$new" >&2
  exit 1
fi
echo "No IPC objects left behind."
