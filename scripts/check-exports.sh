#!/bin/sh
# check-exports.sh LIBRARY INCLUDE_DIR
# Fails unless the shared library's dynamic symbol table holds exactly the
# functions and variables that the public C headers (INCLUDE_DIR/zrdb*.h)
# declare: an internal helper exported would be called by programs and
# could never change; a declared name missing would fail their link.
set -eu
lib=$1
include=$2

# Names the headers declare, one a line; C++ ones qualified (VSYSDBG::name).
declared=$(cat "$include"/zrdb*.h | perl -0777 -ne '
  s{/\*.*?\*/}{}gs; s{//[^\n]*}{}g; s{^[ \t]*#.*$}{}mg;
  s{\bZRDB_VISIBLE_\w+}{}g;
  # Declarations inside a namespace take its name.
  s{\bnamespace\s+(\w+)\s*\{([^{}]*)\}}{ my ($n, $b) = ($1, $2);
    (join ";", map { (my $d = $_) =~ s{(\w+)(\s*(?:\(|\[|$))}{$n\::$1$2}s; $d }
      grep { /\S/ } split /;/, $b) . ";" }ge;
  s{\bextern\s*"C"\s*\{}{}g; s{^\s*\}\s*$}{}mg;  # what is left of extern "C"
  1 while s{\{[^{}]*\}}{}gs;  # struct, union and enum bodies
  for (split /;/) {
    s/\s+/ /g; s/^ //;
    next if $_ eq "" || /^typedef\b/;
    if (/((?:\w+::)?\w+) ?\(/) { print "$1\n" }            # a function
    elsif (/^extern .*?((?:\w+::)?\w+) ?(\[[^\]]*\] ?)*$/) { print "$1\n" }  # a variable
  }' | sort -u)

# Names the library exports: C ones as they are, C++ ones demangled without
# their parameters. AddressSanitizer adds an __odr_asan.NAME beside each
# exported variable NAME.
exported=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sed 's/^__odr_asan\.//' | c++filt |
  sed 's/(.*//' | sort -u)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '%s\n' "$declared" >"$tmp/declared"
printf '%s\n' "$exported" >"$tmp/exported"
extra=$(comm -13 "$tmp/declared" "$tmp/exported")
missing=$(comm -23 "$tmp/declared" "$tmp/exported")
status=0
if [ -n "$extra" ]; then
  echo "Exported but declared in no public header:"; echo "$extra" | sed 's/^/  /'; status=1
fi
if [ -n "$missing" ]; then
  echo "Declared in a public header but not exported:"; echo "$missing" | sed 's/^/  /'; status=1
fi
count=$(printf '%s\n' "$declared" | wc -l)
[ "$count" -gt 100 ] || { echo "Only $count declarations found in $include: the header reader is broken"; status=1; }
[ "$status" = 0 ] && echo "$lib exports the $count names its public headers declare, and nothing else."
exit "$status"
