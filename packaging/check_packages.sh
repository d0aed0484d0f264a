#!/usr/bin/env bash
# Checks the built .deb files: lintian without errors, the files each package
# holds and their modes, the service unit, the man pages, the completion, and
# a program outside the tree built against libkeeperclient-dev extracted into
# a temporary root, through pkg-config and through find_package.
# Parts the build left out for want of a tool (the file "omitted" beside the
# packages) are neither expected nor checked, and the last line says so.
# Usage: check_packages.sh <folder of .deb files> <client test program source>
set -uo pipefail
debs=$(cd "$1" && pwd)
prog=$(readlink -f "$2")
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# The test programs leave their trace files where they run.
cd "$root"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

omitted=$(cat "$debs/omitted" 2>/dev/null)
built() { ! grep -qxF -e "$1" <<<"$omitted"; }
# The client library's runtime package is named after its ABI number.
client=$(cd "$debs" && ls libkeeperclient[0-9]*_*.deb 2>/dev/null | sed 's/_.*//')
[ "$(wc -w <<<"$client")" -eq 1 ] || { echo "FAIL: one libkeeperclient<N> package wanted, not '$client'"; exit 1; }
so=${client#libkeeperclient}
packages="vardo $client libkeeperclient-dev"
built "database extensions" && packages="$packages postgresql-15-vardo-extensions"

deb() { ls "$debs"/"$1"_*.deb 2>/dev/null | head -1; }
# "<mode> <path>" of every file and link of a package.
listing() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $6 }'; }
expect() {   # <package> <mode> <path>
  listing "$1" | grep -qxF -e "$2 $3" || fail "$1 lacks $3 with mode $2"
}

for p in $packages; do
  [ -n "$(deb $p)" ] || { fail "no package $p"; continue; }
  expect $p -rw-r--r-- /usr/share/doc/$p/copyright
  expect $p -rw-r--r-- /usr/share/doc/$p/changelog.gz
done
[ $failures -eq 0 ] || exit 1

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch
expect vardo -rwxr-xr-x /usr/sbin/vardo
expect vardo -rwxr-xr-x /usr/sbin/vardoctl
expect vardo -rw-r--r-- /usr/lib/systemd/system/vardo.service
expect vardo -rw-r--r-- /usr/share/bash-completion/completions/vardoctl
expect vardo -rw-r--r-- /usr/share/doc/vardo/examples/vardo.ini
man_pages="man8/vardo.8 man8/vardoctl.8 man5/vardo.ini.5"
built "man pages" || man_pages=""
for page in $man_pages; do
  expect vardo -rw-r--r-- /usr/share/man/$page.gz
done
release=$(dpkg-deb -f "$(deb $client)" Version)
expect $client -rw-r--r-- $lib/libkeeperclient.so.$so.${release#*.}
expect $client lrwxrwxrwx $lib/libkeeperclient.so.$so
listing $client | grep -q '\.so$' && fail "$client ships the link-time name"
expect libkeeperclient-dev lrwxrwxrwx $lib/libkeeperclient.so
expect libkeeperclient-dev -rw-r--r-- $lib/libkeeperclient.a
expect libkeeperclient-dev -rw-r--r-- $lib/pkgconfig/keeperclient.pc
expect libkeeperclient-dev -rw-r--r-- $lib/cmake/keeperclient/keeperclientConfig.cmake
expect libkeeperclient-dev -rw-r--r-- /usr/include/vardo/client/keeper_client.h
extensions="FAST:fast detect:detect tolvar:tolvar"
built "database extensions" || extensions=""
for ext in $extensions; do
  expect postgresql-15-vardo-extensions -rw-r--r-- /usr/lib/postgresql/15/lib/lib${ext%%:*}.so
  expect postgresql-15-vardo-extensions -rw-r--r-- /usr/share/postgresql/15/extension/${ext#*:}.control
  expect postgresql-15-vardo-extensions -rw-r--r-- /usr/share/postgresql/15/extension/${ext#*:}--1.0.sql
done
# Nothing but these folders: no build paths, no files under /usr/local or /etc.
for p in $packages; do
  listing $p | awk '{print $2}' | grep -v -E '^/usr/(sbin|lib|include|share)/' | sed "s|^|FAIL: $p ships |"
done | grep . && failures=$((failures + 1))

for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$root"; done
readelf -d "$root$lib/libkeeperclient.so.$so" | grep -qF "[libkeeperclient.so.$so]" ||
  fail "libkeeperclient.so.$so has another SONAME"

# The unit: the daemon, its home, its reload, its restart policy and the
# staged stop.
unit=$root/usr/lib/systemd/system/vardo.service
for line in Type=notify ExecStart=/usr/sbin/vardo Environment=VELTO_HOME=/usr/local/DYX \
            'ExecReload=/bin/kill -HUP $MAINPID' Restart=on-failure KillMode=process \
            WantedBy=multi-user.target; do
  grep -qxF -e "$line" "$unit" || fail "vardo.service lacks $line"
done

# The pkg-config and CMake files point into wherever the root is.
pc=$root$lib/pkgconfig
version=$(PKG_CONFIG_PATH=$pc pkg-config --modversion keeperclient)
[ "$version" = "$(dpkg-deb -f "$(deb libkeeperclient-dev)" Version)" ] ||
  fail "keeperclient.pc version $version differs from the package's"
cflags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs keeperclient)
[ "$(readlink -f "$(PKG_CONFIG_PATH=$pc pkg-config --variable=includedir keeperclient)")" = "$root/usr/include/vardo" ] &&
  [ "$(readlink -f "$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir keeperclient)")" = "$root$lib" ] ||
  fail "keeperclient.pc does not point into its own root: $cflags"
export LD_LIBRARY_PATH=$root$lib
c++ -std=c++17 -o "$root/by_pkgconfig" "$prog" $cflags && "$root/by_pkgconfig" ||
  fail "a program built through pkg-config"

mkdir -p "$root/outside"
cp "$prog" "$root/outside/prog.cpp"
cat >"$root/outside/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.18)
project(outside CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(keeperclient 1 REQUIRED)
add_executable(shared prog.cpp)
target_link_libraries(shared keeperclient::keeperclient)
add_executable(static prog.cpp)
target_link_libraries(static keeperclient::keeperclient_static)
CMAKE
if cmake -S "$root/outside" -B "$root/outside/build" -DCMAKE_PREFIX_PATH="$root/usr" >"$root/cmake.log" 2>&1 &&
   cmake --build "$root/outside/build" >>"$root/cmake.log" 2>&1; then
  "$root/outside/build/shared" || fail "a program built through find_package (shared)"
  "$root/outside/build/static" || fail "a program built through find_package (static)"
  ldd "$root/outside/build/static" | grep -q keeperclient && fail "the static build links the shared library"
else
  cat "$root/cmake.log"
  fail "find_package(keeperclient)"
fi

# Man pages read back from the package, and bash completion of the options.
if [ -n "$man_pages" ]; then
  "$here/man_lint.sh" mandoc $(for p in $man_pages; do
    gzip -dc "$root/usr/share/man/$p.gz" >"$root/$(basename $p)"; echo "$root/$(basename $p)"; done) >/dev/null ||
    fail "man pages"
fi

# Completion, against a stand-in vardoctl that answers in the daemon's
# listing formats, and an INI file with a plain and a built-in check.
mkdir -p "$root/home/conf"
printf '[checks/Disk]\nname = disk.sh\n[checks/ntp]\nname = NTP_RemCheck\n' >"$root/home/conf/vardo.ini"
cat >"$root/vardoctl" <<'TOOL'
#!/bin/sh
case "$1 $2" in
  "-l ") printf ' 1. web 120\n 2. db 121\n' ;;
  "-F ") printf 'maintenance On\nverbose Off\n' ;;
  "-L web") printf 'greet says hello\nmute stops answering\n' ;;
  *) echo None; exit 2 ;;
esac
TOOL
chmod +x "$root/vardoctl"
complete_words() {  # <words...>: the candidates for the last word
  VELTO_HOME=$root/home bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _vardoctl; printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' _ \
    "$root/usr/share/bash-completion/completions/vardoctl" "$@"
}
for case in "-R ''=db web " "-c web g=greet " "-f ''=maintenance verbose " "-S ''=KpiCheck NTP_RemCheck disk " \
            "-SW -L w=web " "-=-C -F -K -L -O -R -S -SW -c -f -i -j -k -l -o -s -u "; do
  words=${case%%=*}
  got=$(eval complete_words "$root/vardoctl" $words)
  [ "$got" = "${case#*=}" ] || fail "completion of '$words': '$got'"
done

out=$(lintian --fail-on error --suppress-tags maintscript-calls-ldconfig "$debs"/*.deb 2>&1 |
      grep -v 'running with root privileges')
[ -z "$out" ] || echo "$out"
echo "$out" | grep -q '^E:' && fail "lintian errors"

without=""
[ -n "$omitted" ] && without=" (without $(tr '\n' ',' <<<"$omitted" | sed 's/,$//; s/,/, /g'))"
[ $failures -eq 0 ] && echo "packages checked$without: $(cd "$debs" && ls *.deb | tr '\n' ' ')"
exit $((failures > 0))
