#!/bin/sh
# Installs the client library into a scratch prefix and builds a program
# against it the way a supervised program outside this tree does: through
# pkg-config, once with the shared library and once statically.
# Usage: install_test.sh <build dir> <program source> [compiler flags]
set -eu
build=$1
source=$2
flags=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for component in keeperclient keeperclient-dev; do
  cmake --install "$build" --component "$component" --prefix "$scratch/prefix" >/dev/null
done
# The engine's own sockets, buffers and containers stay out of what programs
# are built against: they may change without breaking the ABI.
engine=$(find "$scratch/prefix" -type d -path '*/vardo/reactor')
if [ ! -f "$engine/ev_engine.h" ] || [ -e "$engine/ev_sock.h" ] ||
   grep -E 'std::(vector|multiset|set|unordered_map|map|list|deque)\b' "$engine"/*.h; then
  echo "the installed engine headers show its sockets or containers" >&2
  exit 1
fi
pc=$(dirname "$(find "$scratch/prefix" -name keeperclient.pc)")
export PKG_CONFIG_PATH="$pc"

c++ -std=c++17 $flags -o "$scratch/shared" "$source" $(pkg-config --cflags --libs keeperclient)
libdir=$(pkg-config --variable=libdir keeperclient)
LD_LIBRARY_PATH="$libdir" "$scratch/shared"

c++ -std=c++17 $flags -o "$scratch/static" "$source" $(pkg-config --cflags keeperclient) \
  "$libdir/libkeeperclient.a" $(pkg-config --libs-only-l --static keeperclient | sed 's/-lkeeperclient//')
"$scratch/static"
echo "installed client library works"
