#!/usr/bin/env bash
# Builds ZRDB with its tools, examples, benchmarks and tests, warnings as
# errors, and runs the whole suite three times: as built for use
# (RelWithDebInfo, -O2), as released (Release, -O3: more inlining, which
# brings warnings and faults of its own), and under AddressSanitizer +
# UndefinedBehaviorSanitizer; the tests of the threaded item types run once
# more under ThreadSanitizer. Installs the Release build, and a static build,
# into a temporary prefix and builds C and C++ programs against it as the
# README shows (scripts/check-install.sh), runs the installed tools from it,
# and checks that a plain configure needs neither GoogleTest nor Google
# Benchmark.
# Runs the crash soak (scripts/soak.sh) for one minute after the first suite.
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

# Crash soak (scripts/soak.sh): one minute of the mixed workload with random
# SIGKILLs of its participants and of zrdbctl create/remove, in namespaces of
# its own; it brings their loopback up with `ip` (iproute2).
if ! dpkg-query -W -f='${Status}' iproute2 2>/dev/null | grep -q "ok installed"; then
  apt-get update -qq && apt-get install -y -qq --no-install-recommends iproute2 >/dev/null
fi
scripts/soak.sh --minutes 1

cmake --preset release
cmake --build --preset release
ctest --preset release

# The installed package as a user sees it (scripts/check-install.sh), from
# the Release build and from a static library (BUILD_SHARED_LIBS=OFF).
scripts/check-install.sh build-release
cmake -S . -B build-static -DBUILD_SHARED_LIBS=OFF -DZRDB_TESTS=OFF -DZRDB_BENCH=OFF \
  -DZRDB_WERROR=ON >/dev/null
cmake --build build-static -j2
scripts/check-install.sh build-static

# A plain configure needs neither GoogleTest nor Google Benchmark: without
# them the tests and benchmarks are left out, not an error.
plain=$(mktemp -d)
cmake -S . -B "$plain" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
if [ -e "$plain/tests" ] || [ -e "$plain/bench" ]; then
  echo "A configure without GoogleTest and Google Benchmark still set up tests or benchmarks" >&2
  exit 1
fi
rm -rf "$plain"
echo "Plain configure: neither GoogleTest nor Google Benchmark needed."

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
