#!/usr/bin/env bash
# Builds ZRDB with its tools, examples, benchmarks and tests, warnings as
# errors, and runs the whole suite three times: as built for use
# (RelWithDebInfo, -O2), as released (Release, -O3: more inlining, which
# brings warnings and faults of its own), and under AddressSanitizer +
# UndefinedBehaviorSanitizer; the tests of the threaded item types run once
# more under ThreadSanitizer. Installs the Release build, and a static build,
# into a temporary prefix and builds C and C++ programs against it as the
# README shows (scripts/check-install.sh), runs the installed tools from it,
# builds the Debian packages from the Release build and checks them
# installed (scripts/check-packages.sh), and checks that a plain configure
# needs neither GoogleTest nor Google Benchmark. After the default and the
# sanitize build's tests it fails every system call the library and zrdbctl
# make, one at a time (tests/inject/run_injections.py).
# zrdb-mqtt and zrdbctl export run against a real mosquitto broker and
# promtool (scripts/test-mqtt.sh).
# Runs the crash soak (scripts/soak.sh, with a VLINK pair of systems) for one
# minute after the first suite.
# Then fuzzes every parser of outside bytes (scripts/fuzz.sh) for
# FUZZ_SECONDS each (default 30; 0 skips) and fails if any test left an IPC
# object or an item lock file behind. Every suite that uses the fixed IPC
# keys, ports and lock files runs through scripts/isolated.sh (namespaces of
# its own, checked empty at its end), so another run on the machine cannot
# meet it.
set -Eeuo pipefail
# Says which step stopped the run: CI shows only the end of the output.
trap 'echo "scripts/test.sh: stopped by line $LINENO (status $?): $BASH_COMMAND" >&2' ERR
cd "$(dirname "$0")/.."

# What tests may leave behind, before and after them all.
before=$(scripts/isolated.sh --leftovers)

# The circular buffer benchmark's third-party baseline, boost::lockfree's
# spsc_queue, is header-only; without it that baseline is left out.
if [ ! -f /usr/include/boost/lockfree/spsc_queue.hpp ]; then
  apt-get update -qq && apt-get install -y -qq --no-install-recommends libboost-dev >/dev/null
fi

# Debian packages, systemd units and man pages: the build and check tools
# (dpkg-shlibdeps, file, lintian), systemd-analyze, mandoc and man, and
# libsystemd for the daemons' readiness. The Python module (python/,
# tests/python): pybind11 and the system Python's headers build it, pytest,
# numpy and mypy test it. zrdb-vlinkd links ZeroMQ (with CURVE); its tests
# and the fault injection make network namespaces with `ip` (iproute2).
# zrdbctl's JSON (--json output and the parameter sets of save, load and
# create --restore) is nlohmann/json's, header-only; without it zrdbctl and
# its tests would be left out. zrdb-mqtt and zrdbctl export: libmosquitto,
# tested against a real mosquitto broker with its clients, promtool and a
# test CA made with openssl. Installed before the first configure, which leaves
# out a part or check whose tool it does not find.
needed=(dpkg-dev file lintian systemd mandoc man-db pkgconf libsystemd-dev
  pybind11-dev python3-dev python3-pytest python3-numpy python3-mypy
  libzmq3-dev iproute2 nlohmann-json3-dev
  libmosquitto-dev mosquitto mosquitto-clients prometheus openssl)
missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null
fi

cmake --preset default
cmake --build --preset default
scripts/isolated.sh ctest --preset default
scripts/test-mqtt.sh build

# --- System call fault injection (tests/inject) ---------------------------
# Every scenario once for every N, with the Nth call of each function
# failing (an LD_PRELOAD library of ours), checked for a crash, a message
# naming the cause, leftovers and a clean run afterwards; on the sanitize
# build (--leaks) LeakSanitizer checks every run's memory too. It makes and
# removes databases of its own, so it runs in IPC, mount and network
# namespaces of its own (root, as CI is). zrdbctl save, load and create
# --restore are among the scenarios: a failed save must leave the old file
# and no temporary file, a failed load must write no value. Prints "N
# injections, N survived" (about a minute on the default build).
# inject DRIVER ARGS...: tests/inject/DRIVER.py in namespaces of its own.
inject() {
  if [ "$(id -u)" != 0 ]; then
    echo "Fault injection skipped: it needs root for namespaces of its own."
    return
  fi
  scripts/isolated.sh /usr/bin/python3 "tests/inject/$1.py" "${@:2}"
}
inject run_injections build

# --- The daemons under fault injection (tests/inject/run_daemons.py) -------
# zrdb-vlinkd starting, then a VLINK set and get with a second system's
# daemon (its own IPC and mount namespaces) with the fault in the asking
# daemon and then in the answering one; zrdb-mqtt against a mosquitto broker
# on a loopback port, one changed value published and one allowed set.
# Each daemon's own calls (open, write, socket, bind, the queue and segment
# calls, allocations, zmq_socket/bind/connect/setsockopt,
# mosquitto_connect_async/publish) fail one at a time. Prints "N injections,
# N survived" (about a minute).
inject run_daemons build

# zrdb-vlinkd's own block: the daemon must have been built, and its tests
# (two daemons with keys, strangers, readiness to a service manager, a capture
# of the loopback, sync from outside, half-open connections) must have run,
# not skipped: they need root for the IPC, mount and network namespaces they
# make.
if [ ! -x build/tools/zrdb-vlinkd ]; then
  echo "zrdb-vlinkd was not built (is libzmq3-dev installed?)" >&2
  exit 1
fi
if [ "$(id -u)" = 0 ]; then
  vlinkd_run=$(scripts/isolated.sh build/tests/vlinkd_test --gtest_filter='Vlinkd.*' 2>&1) || {
    echo "$vlinkd_run" >&2
    exit 1
  }
  if echo "$vlinkd_run" | grep -q '\[  SKIPPED \]'; then
    echo "$vlinkd_run" >&2
    echo "A zrdb-vlinkd test skipped" >&2
    exit 1
  fi
  echo "zrdb-vlinkd: the secure link tests ran and passed."
fi

# Crash soak (scripts/soak.sh): one minute of the mixed workload with random
# SIGKILLs of its participants, of zrdbctl create/remove and of the two link
# daemons of its VLINK pair, in namespaces of its own; it brings their
# loopback up with `ip` (iproute2, installed above), runs zrdb-vlinkd (built
# with libzmq3-dev, installed above) and enters the second system's
# namespaces with util-linux's unshare and nsenter.
scripts/soak.sh --minutes 1

cmake --preset release
cmake --build --preset release
scripts/isolated.sh ctest --preset release

# The installed package as a user sees it (scripts/check-install.sh), from
# the Release build and from a static library (BUILD_SHARED_LIBS=OFF).
scripts/check-install.sh build-release
cmake -S . -B build-static -DBUILD_SHARED_LIBS=OFF -DZRDB_TESTS=OFF -DZRDB_BENCH=OFF -DZRDB_PYTHON=OFF \
  -DZRDB_WERROR=ON >/dev/null
cmake --build build-static -j2
scripts/check-install.sh build-static

# The Python module as installed: beside its stub in the package directory
# under the prefix, finding the installed library by its RPATH. (Its tests
# ran in the suites above.)
python_prefix=$(mktemp -d)
cmake --install build-release --prefix "$python_prefix" >/dev/null
python_dir=$(find "$python_prefix" -name 'zrdb.cpython-*.so' -printf '%h\n' | head -n 1)
[ -n "$python_dir" ] && [ -f "$python_dir/zrdb.pyi" ] || {
  echo "cmake --install put no Python module with its stub under $python_prefix" >&2
  exit 1
}
(cd / && PYTHONPATH="$python_dir" /usr/bin/python3 -c \
  'import zrdb, sys; sys.exit(not zrdb.__file__.startswith(sys.argv[1]))' "$python_prefix")
rm -rf "$python_prefix"
echo "Installed Python module: imports from the prefix."

# The Debian packages from the Release build: lintian finds no error, they
# install with apt-get, a C program builds against them with pkg-config, the
# example database runs on the installed tools, the installed units verify
# and the man pages render; then they are purged (scripts/check-packages.sh).
scripts/check-packages.sh build-release

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
# Without nlohmann/json the library still configures and builds; zrdbctl and
# its tests are left out with a message.
plain=$(mktemp -d)
said=$(cmake -S . -B "$plain" -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON)
if [[ $said != *"zrdbctl is not built"* ]] ||
  grep -q 'zrdbctl' "$plain/tools/Makefile" "$plain/tests/CTestTestfile.cmake"; then
  echo "A configure without nlohmann_json still set up zrdbctl or its tests" >&2
  exit 1
fi
rm -rf "$plain"
echo "Plain configure: zrdbctl left out without nlohmann_json."

cmake --preset sanitize
cmake --build --preset sanitize
scripts/isolated.sh ctest --preset sanitize
inject run_injections --leaks build-sanitize
# The daemons under fault injection again, all their scenarios, with
# LeakSanitizer checking each daemon run's memory (about a minute;
# allocations are not failed there). tests/inject/asan.supp says why each
# suppression is there.
if [ -x build-sanitize/tools/zrdb-vlinkd ] && [ -x build-sanitize/tools/zrdb-mqtt ]; then
  inject run_daemons --leaks build-sanitize
else
  echo "The daemons were not built with the sanitizers: their fault injection there is skipped."
fi

cmake --preset tsan
cmake --build --preset tsan
scripts/isolated.sh ctest --preset tsan

if [ "${FUZZ_SECONDS:-30}" != 0 ] && [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh
fi

after=$(scripts/isolated.sh --leftovers)
new=$(comm -13 <(echo "$before" | sort) <(echo "$after" | sort) | sed '/^$/d')
if [ -n "$new" ]; then
  echo "IPC objects left behind by the tests:" >&2
  echo "$new" >&2
  exit 1
fi
echo "No IPC objects left behind."
