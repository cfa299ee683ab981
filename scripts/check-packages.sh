#!/usr/bin/env bash
# check-packages.sh BUILD_DIR
# The Debian packages as a device gets them: builds libzrdb, libzrdb-dev and
# zrdb-tools from BUILD_DIR (cpack -G DEB), checks that they hold every file
# the build installs and that lintian finds no error in them, installs them
# with apt-get, and then, against the installed files only:
#   - builds the example producer and consumer with
#     `cc $(pkg-config --cflags --libs zrdb)` and runs them on the installed
#     example database, with the installed zrdbctl, which then saves the
#     values, removes the database and creates it again with them
#     (create --restore), and starts the installed
#     zrdb-vlinkd on it, in IPC, mount and network namespaces of their own;
#   - verifies the installed systemd units (scripts/check-units.sh) and
#     renders the installed man pages with man.
# Purges the packages at the end, also on failure. Refuses to run while one
# of them is installed already: it would not leave the machine as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
packages=(libzrdb libzrdb-dev zrdb-tools)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
for package in "${packages[@]}"; do
  if installed "$package"; then
    echo "$package is installed already: purge it first (apt-get purge ${packages[*]})" >&2
    exit 1
  fi
done

work="$build/package-check"
rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  exit 1
}
debs=()
for package in "${packages[@]}"; do
  debs+=("$(ls "$work"/debs/"${package}"_*.deb)")
done
echo "Packages: $(cd "$work/debs" && ls ./*.deb | tr '\n' ' ')"

# Every file the build installs is in a package: an install rule without a
# component would otherwise be left out of all three without a word. The
# Python module (component python) is not packaged: it goes where the build
# machine's interpreter looks, by cmake --install.
cmake --install "$build" --prefix "$work/all" >/dev/null
rm -rf "$work/python"
cmake --install "$build" --prefix "$work/python" --component python >/dev/null
(cd "$work/python" 2>/dev/null && find . ! -type d) | (cd "$work/all" && xargs -r rm -f)
left_out=$(comm -23 <(cd "$work/all" && find . ! -type d | sed 's|^\./||' | sort) \
  <(for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done |
    awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }' | sort))
if [ -n "$left_out" ]; then
  printf 'Installed by the build but in no package:\n%s\n' "$left_out" >&2
  exit 1
fi

# Errors fail; warnings are listed (see the README for the known ones).
lintian --fail-on error "${debs[@]}"
echo "lintian: no error."

apt() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq "$@" >/dev/null; }
trap 'apt purge "${packages[@]}"' EXIT
apt install "${debs[@]}"

# A C program against the installed libzrdb-dev, and nothing else.
for program in producer consumer; do
  # shellcheck disable=SC2046 # the flags are words
  cc -Wall -Werror "examples/$program.c" $(pkg-config --cflags --libs zrdb) -o "$work/$program"
done
examples=/usr/share/doc/zrdb-tools/examples
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --ipc --mount --net --fork env WORK="$work" EXAMPLES="$examples" sh -eu -c '
  mount -t tmpfs none /dev/shm && mount -t tmpfs none /tmp && ip link set lo up
  db=$EXAMPLES/plant.db app=$EXAMPLES/plant.app
  zrdbctl create "$db" >/dev/null
  "$WORK/consumer" "$db" "$app" 20 30 >/dev/null &
  consumer=$!
  "$WORK/producer" "$db" "$app" 20 >/dev/null
  wait "$consumer"
  [ "$(zrdbctl get counter)" = 20 ]
  # The values outlive the database: saved, removed, created again with them.
  zrdbctl save "$WORK/plant.json" >/dev/null
  zrdbctl remove >/dev/null
  zrdbctl create "$db" --restore "$WORK/plant.json" >/dev/null
  [ "$(zrdbctl get counter)" = 20 ]
  zrdb-vlinkd keygen "$WORK/own" >/dev/null
  zrdb-vlinkd --foreground --key "$WORK/own.key" --listen 127.0.0.1:47800 "$db" \
    >"$WORK/vlinkd.log" 2>&1 &
  daemon=$!
  tries=0
  until grep -q serving "$WORK/vlinkd.log"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { cat "$WORK/vlinkd.log" >&2; exit 1; }
    sleep 0.1
  done
  kill -TERM "$daemon"
  wait "$daemon"
  zrdbctl remove >/dev/null
  [ -z "$(ipcs -m | awk "\$1 ~ /^0x/")" ]
'
echo "Installed: producer and consumer built with pkg-config ran on the example database;"
echo "zrdbctl created, read, saved, re-created with --restore and removed it, and zrdb-vlinkd"
echo "served it."

units="$work/units"
mkdir "$units"
dpkg -L zrdb-tools | grep '^/usr/lib/systemd/system/.' | xargs cp -t "$units"
scripts/check-units.sh "$units" /usr/share/man
# Every page the package ships (zrdb-mqtt's only where it was built).
pages=$(dpkg -L zrdb-tools | sed -n 's|^/usr/share/man/man[0-9]/\(.*\)\.gz$|\1|p')
[ -n "$pages" ] || { echo "zrdb-tools ships no man page" >&2; exit 1; }
for page in $pages; do
  name=${page%.*}
  section=${page##*.}
  rendered=$(MANWIDTH=80 man -P cat "$section" "$name" 2>&1)
  if ! echo "$rendered" | grep -q "^NAME"; then
    printf 'man %s %s does not render:\n%s\n' "$section" "$name" "$rendered" >&2
    exit 1
  fi
  mandoc -T lint -W warning "$(man -w "$section" "$name")"
done
echo "Installed: systemd units verified, man pages render without warnings."
