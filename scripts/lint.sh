#!/usr/bin/env bash
# Checks formatting and runs clang-tidy over the library and tools, using the
# compile commands of the default build.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/compile_commands.json ] || cmake --preset default >/dev/null
files=$(git ls-files 'src/*.cpp' 'src/*.h' 'include/*.h' 'python/*.cpp' 'python/*.h' 'tools/*.cpp' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp')
clang-format --dry-run -Werror $files
clang-tidy -p build --quiet $(git ls-files 'src/*.cpp' 'tools/*.cpp') 2>&1 | grep -v -E '^[0-9]+ warnings generated|^Suppressed|^Use -header-filter' || true
clang-tidy -p build --quiet $(git ls-files 'src/*.cpp' 'tools/*.cpp') >/dev/null 2>&1
echo "lint: clean"
