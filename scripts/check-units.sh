#!/bin/sh
# check-units.sh UNIT_DIR[:UNIT_DIR...] MAN_DIR [BIN_DIR...]
# Verifies every systemd unit of the UNIT_DIRs with `systemd-analyze verify`, one
# instance of each template, with the man pages of MAN_DIR (for their
# Documentation= lines); a warning fails it too. With BIN_DIRs, a unit's /usr/bin/PROGRAM is taken
# from the first of them that has it (a build tree); without, the units are
# checked as installed. A program found nowhere fails the check.
set -eu
units=$1
man=$(cd "$2" && pwd)
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for dir in $(echo "$units" | tr : ' '); do
  cp "$dir"/*.service "$work"/
  cp "$dir"/*.timer "$work"/ 2>/dev/null || true
done
if [ $# -gt 0 ]; then
  for program in $(grep -ho '/usr/bin/[A-Za-z0-9_.-]*' "$work"/* | sort -u); do
    name=${program#/usr/bin/}
    found=
    for dir in "$@"; do
      if [ -x "$dir/$name" ]; then found=$(cd "$dir" && pwd)/$name; break; fi
    done
    [ -n "$found" ] || { echo "$name: not built (wanted by a unit)" >&2; exit 1; }
    sed -i "s|$program\\b|$found|g" "$work"/*
  done
fi
status=0
for unit in "$work"/*; do
  instance=$(echo "$unit" | sed 's|@\.|@check.|')
  [ "$instance" = "$unit" ] || cp "$unit" "$instance"
  # Verified from the temporary directory: a template's instance finds the
  # template there, and the units it names (zrdb@check.service ...) too.
  # A line it cannot parse is only a warning ("ignoring"): any output fails.
  if ! said=$(cd "$work" && MANPATH=$man systemd-analyze verify "$instance" 2>&1) ||
    [ -n "$said" ]; then
    printf '%s\n%s: systemd-analyze verify failed\n' "$said" "$(basename "$unit")" >&2
    status=1
  fi
done
[ "$status" = 0 ] && echo "systemd units: $(ls "$work" | grep -vc '@check\.') verified"
exit "$status"
