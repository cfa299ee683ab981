#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and fuzzes each parser
# of outside bytes -- the database configuration reader, the application
# file reader, the remote buffer protocol text, zrdb-vlinkd's peer messages
# and settings file, the parameter sets of zrdbctl load and zrdb-mqtt's set
# payloads -- for FUZZ_SECONDS each (default 30). Exits non-zero when the
# build fails or a fuzzer finds a crash, a sanitizer report or a broken
# invariant; the failing input is kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}

cmake --preset fuzz
cmake --build --preset fuzz

mkdir -p build-fuzz/artifacts
for target in config_parser app_config protocol_text vlinkd_input parameter_set mqtt_set; do
  [ -x "build-fuzz/fuzz/${target}_fuzz" ] || continue  # left out without its headers
  # New inputs go to a work corpus in the build tree; the shipped corpus stays as it is.
  work=build-fuzz/corpus/$target
  mkdir -p "$work"
  "build-fuzz/fuzz/${target}_fuzz" \
    -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/artifacts/ \
    "$work" "fuzz/corpus/$target"
done
