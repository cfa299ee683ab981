#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and fuzzes the database
# configuration parser for FUZZ_SECONDS (default 60). Exits non-zero when the
# build fails or the fuzzer finds a crash, a sanitizer report or a broken
# invariant; the failing input is kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}

cmake --preset fuzz
cmake --build --preset fuzz

# New inputs go to a work corpus in the build tree; the shipped corpus stays as it is.
work=build-fuzz/corpus/config_parser
mkdir -p "$work" build-fuzz/artifacts
build-fuzz/fuzz/config_parser_fuzz \
  -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/artifacts/ \
  "$work" fuzz/corpus/config_parser
