#!/usr/bin/env bash
# Cross-builds ZRDB for 32-bit ARM Linux (arm-linux-gnueabihf) with the
# preset `armhf` (library, tools, examples, tests and benchmarks, warnings
# as errors), so that every layout check of the shared records is compiled
# for the target, and runs the whole test suite under user-mode QEMU in
# private IPC, mount and network namespaces. Installs from Debian what is
# missing: the cross compiler, qemu-user and the armhf GoogleTest, Google
# Benchmark, ZeroMQ, libsystemd and libmosquitto (zrdb-mqtt) packages
# (multiarch). Builds the armhf
# Debian packages (cpack). The tests run the ARM tools (zrdbctl,
# zrdb-vlinkd) through the same emulator. Prints the reason of every skipped
# test and fails if a test failed, if one skipped without a reason, if a
# test of the tools skipped at all, if test discovery did not go through the
# emulator, or if a test left an IPC object, a file in /dev/shm or an item
# lock file behind.
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-armhf"

missing=()
command -v arm-linux-gnueabihf-g++ >/dev/null || missing+=(g++-arm-linux-gnueabihf)
command -v qemu-arm >/dev/null || command -v qemu-arm-static >/dev/null || missing+=(qemu-user)
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)  # the packages' dependencies
command -v file >/dev/null || missing+=(file)
# zrdbctl's JSON library is header-only (architecture all): one package
# serves both builds.
dpkg-query -W -f='${Status}' nlohmann-json3-dev 2>/dev/null | grep -q 'ok installed' ||
  missing+=(nlohmann-json3-dev)
# zrdb-vlinkd links the target's ZeroMQ.
for package in libgtest-dev libbenchmark-dev libsystemd-dev libzmq3-dev libmosquitto-dev; do
  dpkg-query -W -f='${Status}' "$package:armhf" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package:armhf")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  # A mirror caught in the middle of a sync fails an index now and then;
  # the install below says whether the lists that apt-get kept will do.
  for attempt in 1 2 3; do
    apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" = 3 ] || sleep 10
  done
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null
fi

cmake --preset armhf
cmake --build --preset armhf

# The Debian packages for armhf: built, for the target architecture, each
# with the dependencies dpkg-shlibdeps found for the ARM binaries.
rm -rf "$build/debs"
(cd "$build" && cpack -G DEB -B "$PWD/debs" >/dev/null)
for package in libzrdb libzrdb-dev zrdb-tools; do
  deb=$(ls "$build/debs/${package}"_*_armhf.deb 2>/dev/null || true)
  depends=$(dpkg-deb -f "$deb" Depends 2>/dev/null || true)
  if [ -z "$deb" ] || { [ "$package" != libzrdb-dev ] && ! echo "$depends" | grep -q 'libc6'; }; then
    echo "No armhf package $package, or one without its shared library dependencies ($depends)" >&2
    exit 1
  fi
done
echo "Packages: $(cd "$build/debs" && ls ./*.deb | tr '\n' ' ')"

# gtest_discover_tests ran every test program through the emulator while
# building: each must have listed its tests, as commands through qemu-arm.
programs=0
while IFS= read -r program; do
  programs=$((programs + 1))
  list="${program}[1]_tests.cmake"
  if ! grep -q '^add_test(.*qemu-arm' "$list" 2>/dev/null; then
    echo "No tests discovered through qemu-arm in $program" >&2
    exit 1
  fi
done < <(find "$build/tests" -maxdepth 1 -type f -name '*_test' -executable)
if [ "$programs" = 0 ]; then
  echo "No test programs in $build/tests" >&2
  exit 1
fi
echo "Test discovery: $programs programs listed their tests through qemu-arm."

# The benchmarks are built, not measured: timings under emulation say
# nothing about an ARM board. The program must still load and list them.
qemu=$(command -v qemu-arm || command -v qemu-arm-static)
benchmarks=$("$qemu" -L / "$build/bench/zrdb_bench" --benchmark_list_tests | wc -l)
if [ "$benchmarks" = 0 ]; then
  echo "$build/bench/zrdb_bench lists no benchmarks under qemu-arm" >&2
  exit 1
fi
echo "Benchmarks: zrdb_bench loads under qemu-arm and lists $benchmarks."

status=0
rm -f "$build/ctest-armhf.xml"
# In namespaces of their own, which must be as empty at the end
# (scripts/isolated.sh).
scripts/isolated.sh ctest --preset armhf --output-junit "$PWD/$build/ctest-armhf.xml" || status=$?
if [ ! -f "$build/ctest-armhf.xml" ]; then
  echo "ctest wrote no report: the tests did not run" >&2
  exit 1
fi

# ctest names the skipped tests; their reasons are in the programs' output.
# The junit report holds it: the line after gtest's "...: Skipped".
reasons=$(awk '
  /<testcase / { match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7); skip = 0; why = "" }
  /<skipped / { skip = 1 }
  skip && prev ~ /: Skipped$/ && why == "" { why = $0 }
  /<\/testcase>/ && skip { print name ": " (why == "" ? "NO REASON GIVEN" : why) }
  { prev = $0 }' "$build/ctest-armhf.xml" |
  sed -e 's/&apos;/'\''/g' -e 's/&quot;/"/g' -e 's/&lt;/</g' -e 's/&gt;/>/g' -e 's/&amp;/\&/g')
if [ -n "$reasons" ]; then
  echo "Skipped under qemu-arm, and why:"
  echo "  ${reasons//$'\n'/$'\n'  }"
  if echo "$reasons" | grep -q ': NO REASON GIVEN$'; then
    echo "A test skipped without saying why." >&2
    status=1
  fi
  if echo "$reasons" | grep -qE '^(ZrdbctlTest|Vlinkd)\.'; then
    echo "A test of the tools skipped: the ARM tools were built but not run." >&2
    status=1
  fi
fi
[ "$status" = 0 ] && echo "armhf: built, and the tests pass under qemu-arm; nothing left behind."
exit "$status"
