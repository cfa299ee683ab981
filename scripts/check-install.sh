#!/usr/bin/env bash
# check-install.sh BUILD_DIR
# The installed package as a user sees it: installs BUILD_DIR into a
# temporary prefix, then
#   - builds a C program with `cc $(pkg-config --cflags --libs zrdb)` and
#     with CMake's find_package, and runs both;
#   - builds a C++ program that includes zrdb.hpp through find_package with
#     the compiler's default standard (zrdb::zrdb must ask for C++20);
#   - runs the installed zrdbctl, zrdb-vlinkd and zrdb-mqtt (when built)
#     from the prefix without LD_LIBRARY_PATH and, with a shared library,
#     checks that they load the libzrdb of the prefix (their RPATH,
#     $ORIGIN/../lib).
# The programs need no database: zrdb_getBaseAddr() is null and find() fails
# until a database is attached.
set -euo pipefail
build=$(cd "$1" && pwd)

if ! command -v pkg-config >/dev/null; then
  apt-get update -qq && apt-get install -y -qq --no-install-recommends pkgconf >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

cat >"$work/prog.c" <<'PROG'
#include <zrdb.h>
int main(void) { return zrdb_getBaseAddr() == 0 ? 0 : 1; }
PROG
cat >"$work/prog.cpp" <<'PROG'
#include <zrdb.hpp>
int main() { return zrdb::Item<int32_t>::find("counter") || zrdb_getBaseAddr() != nullptr; }
PROG
mkdir "$work/c" "$work/cxx"
# One consumer project per language; the C++ one takes no
# CMAKE_CXX_STANDARD: the compiler's default, below C++20 with g++ 12.
consumer_project() {  # LANGUAGE DIR SOURCE
  cat >"$work/$2/CMakeLists.txt" <<PROG
cmake_minimum_required(VERSION 3.25)
project(zrdb_$2_consumer LANGUAGES $1)
find_package(zrdb 0.1 REQUIRED)
add_executable(prog ../$3)
target_link_libraries(prog PRIVATE zrdb::zrdb)
PROG
}
consumer_project C c prog.c
consumer_project CXX cxx prog.cpp

pcdir=$(dirname "$(find "$prefix" -name zrdb.pc)")
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir zrdb)
# shellcheck disable=SC2046 # the flags are words
cc -Wall -Werror "$work/prog.c" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs zrdb) \
  -o "$work/prog-pc"
LD_LIBRARY_PATH=$libdir "$work/prog-pc"
for lang in c cxx; do
  cmake -S "$work/$lang" -B "$work/$lang/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/$lang/build" >/dev/null
  "$work/$lang/build/prog"
done
echo "Installed package: C with pkg-config and find_package, C++ with the default standard."

for tool in zrdbctl:--help zrdb-vlinkd:--version zrdb-mqtt:--help; do
  name=${tool%%:*}
  # zrdb-mqtt is left out of a build without libmosquitto.
  if [ "$name" = zrdb-mqtt ] && [ ! -e "$prefix/bin/$name" ]; then continue; fi
  env -u LD_LIBRARY_PATH "$prefix/bin/$name" "${tool#*:}" >/dev/null
  if compgen -G "$libdir/libzrdb.so*" >/dev/null; then
    loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/$name" | awk '/libzrdb/ { print $3 }')
    if [ -z "$loaded" ] || [ "$(realpath "$(dirname "$loaded")")" != "$(realpath "$libdir")" ]; then
      echo "Installed $name loads libzrdb from '${loaded:-nowhere}', not from $libdir" >&2
      exit 1
    fi
  fi
done
echo "Installed tools run from the prefix (with its libzrdb), without LD_LIBRARY_PATH."
