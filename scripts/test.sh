#!/usr/bin/env bash
# Builds ZRDB with its tools, examples, benchmarks and tests, warnings as
# errors, and runs the whole suite three times: as built for use
# (RelWithDebInfo, -O2), as released (Release, -O3: more inlining, which
# brings warnings and faults of its own), and under AddressSanitizer +
# UndefinedBehaviorSanitizer; the tests of the threaded item types run once
# more under ThreadSanitizer. Installs the Release build into a temporary
# prefix and builds a C program against it twice, as the README shows: with
# `cc $(pkg-config --cflags --libs zrdb)` and with CMake's find_package.
# Then fuzzes every parser of outside bytes (scripts/fuzz.sh) for
# FUZZ_SECONDS each (default 30; 0 skips) and fails if any test left an IPC
# object or an item lock file behind.
set -euo pipefail
cd "$(dirname "$0")/.."

ipc_leftovers() {
  # Shared memory, queues and semaphore sets with a key, plus named
  # semaphores: whatever a test forgot to remove.
  { ipcs -m; ipcs -q; ipcs -s; } 2>/dev/null | awk '$1 ~ /^0x/ && $1 != "0x00000000" {print}'
  ls /dev/shm 2>/dev/null | sed 's|^|/dev/shm/|' || true
  ls /tmp/zrdbid*.lock 2>/dev/null || true
}

before=$(ipc_leftovers)

# The circular buffer benchmark's third-party baseline, boost::lockfree's
# spsc_queue, is header-only; without it that baseline is left out.
if [ ! -f /usr/include/boost/lockfree/spsc_queue.hpp ]; then
  apt-get update -qq && apt-get install -y -qq --no-install-recommends libboost-dev >/dev/null
fi

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset release
cmake --build --preset release
ctest --preset release

# The installed package as a user sees it. The program needs no database:
# zrdb_getBaseAddr() is null until a data segment is attached.
if ! command -v pkg-config >/dev/null; then
  apt-get update -qq && apt-get install -y -qq --no-install-recommends pkgconf >/dev/null
fi
consumer=$(mktemp -d)
trap 'rm -rf "$consumer"' EXIT
cmake --install build-release --prefix "$consumer/prefix" >/dev/null
cat >"$consumer/prog.c" <<'PROG'
#include <zrdb.h>
int main(void) { return zrdb_getBaseAddr() == 0 ? 0 : 1; }
PROG
cat >"$consumer/CMakeLists.txt" <<'PROG'
cmake_minimum_required(VERSION 3.25)
project(zrdb_consumer LANGUAGES C)
find_package(zrdb 0.1 REQUIRED)
add_executable(prog prog.c)
target_link_libraries(prog PRIVATE zrdb::zrdb)
PROG
pcdir=$(dirname "$(find "$consumer/prefix" -name zrdb.pc)")
cc -Wall -Werror "$consumer/prog.c" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs zrdb) \
  -o "$consumer/prog-pc"
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir zrdb) "$consumer/prog-pc"
cmake -S "$consumer" -B "$consumer/build" -DCMAKE_PREFIX_PATH="$consumer/prefix" >/dev/null
cmake --build "$consumer/build" >/dev/null
"$consumer/build/prog"
echo "Installed package: pkg-config and find_package(zrdb) builds run."

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

if [ "${FUZZ_SECONDS:-30}" != 0 ] && [ -x scripts/fuzz.sh ]; then
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
