#!/bin/sh
# Lints the built man pages: mandoc at warning level, and groff with every
# warning on, as man and lintian render them. scdoc opens each paragraph with
# a .PP that mandoc reports as redundant ("skipping paragraph macro"); that
# one harmless message is all that is let through.
# Usage: man_lint.sh <mandoc> <roff page>...
set -eu
mandoc=$1
shift
status=0
out=$("$mandoc" -T lint -W warning "$@" 2>&1 | grep -v 'WARNING: skipping paragraph macro: PP \(empty\|after SH\)$' || true)
[ -z "$out" ] || { echo "$out"; status=1; }
for page in "$@"; do
  out=$(LC_ALL=C.UTF-8 groff -man -ww -z -K utf8 "$page" 2>&1 || true)
  [ -z "$out" ] || { echo "$page: $out"; status=1; }
done
[ $status -eq 0 ] && echo "man pages clean: $*"
exit $status
