# Throwaway PostgreSQL cluster with this project's extensions installed,
# for the database tests and the benchmark. Source it, then:
#   pgc_start <pg_config> <source dir>:<build dir> ...   install the built
#       libraries and start a private server
#   pgc_psql <psql arguments>...                         run psql against it
#   pgc_stop                                             stop it, remove all
#
# Nothing is written into the system's PostgreSQL folders. PostgreSQL 15
# looks for extension control files and "$libdir" only beside its own
# binary, so the server runs from a private copy of its installation tree:
# `make install DESTDIR=<copy>` puts the extensions there, the server and
# pg_ctl binaries are copied (a symlink would lead back to the system
# tree), and every other file of the system's lib and share folders is
# linked in. The cluster listens on a socket in a private folder only.
# When run as root, the server runs as the "postgres" user; psql connects
# as its role whoever runs it.

PGC_ROOT=""

pgc_as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# Links every entry of the system folder $1 that the copy $2 lacks.
pgc_link_missing() {
  local entry
  mkdir -p "$2"
  for entry in "$1"/*; do
    [ -e "$2/${entry##*/}" ] || ln -s "$entry" "$2/"
  done
}

pgc_install_copy() {   # <pg_config> <source dir>:<build dir>...
  local pg_config=$1; shift
  local bindir pkglibdir sharedir pair
  bindir=$("$pg_config" --bindir)
  pkglibdir=$("$pg_config" --pkglibdir)
  sharedir=$("$pg_config" --sharedir)
  local copy=$PGC_ROOT/install
  for pair in "$@"; do
    make -s -f "${pair%%:*}/Makefile" -C "${pair#*:}" PG_CONFIG="$pg_config" \
      install DESTDIR="$copy" >/dev/null || return 1
  done
  mkdir -p "$copy$bindir"
  # A hard link is a copy as far as the server's own path goes, and quicker.
  ln "$bindir/postgres" "$bindir/pg_ctl" "$copy$bindir/" 2>/dev/null ||
    cp "$bindir/postgres" "$bindir/pg_ctl" "$copy$bindir/"
  pgc_link_missing "$bindir" "$copy$bindir"
  pgc_link_missing "$pkglibdir" "$copy$pkglibdir"
  pgc_link_missing "$sharedir/extension" "$copy$sharedir/extension"
  pgc_link_missing "$sharedir" "$copy$sharedir"
  PGC_BIN=$copy$bindir
}

pgc_start() {   # <pg_config> <source dir>:<build dir>...
  # The server user reads everything made here.
  umask 022
  PGC_ROOT=$(mktemp -d /tmp/vardo-pg.XXXXXX) || return 1
  chmod 755 "$PGC_ROOT"
  pgc_install_copy "$@" || return 1
  mkdir -m 700 "$PGC_ROOT/data" "$PGC_ROOT/sock"
  mkdir -m 777 "$PGC_ROOT/scratch"
  [ "$(id -u)" -ne 0 ] || chown postgres: "$PGC_ROOT/data" "$PGC_ROOT/sock"
  pgc_as_server_user "$PGC_BIN/initdb" -D "$PGC_ROOT/data" -A trust -U postgres \
    -E UTF8 --locale=C --no-sync >"$PGC_ROOT/initdb.log" 2>&1 ||
    { cat "$PGC_ROOT/initdb.log"; return 1; }
  pgc_as_server_user "$PGC_BIN/pg_ctl" -D "$PGC_ROOT/data" -l "$PGC_ROOT/scratch/server.log" -w \
    -o "-k $PGC_ROOT/sock -c listen_addresses= -c fsync=off" start >/dev/null ||
    { cat "$PGC_ROOT/scratch/server.log"; return 1; }
}

pgc_psql() {
  "$PGC_BIN/psql" -h "$PGC_ROOT/sock" -U postgres -d postgres \
    -X -q -v ON_ERROR_STOP=1 "$@"
}

pgc_stop() {
  [ -n "$PGC_ROOT" ] || return 0
  if [ -f "$PGC_ROOT/data/postmaster.pid" ]; then
    pgc_as_server_user "$PGC_BIN/pg_ctl" -D "$PGC_ROOT/data" -m immediate -w stop >/dev/null 2>&1
  fi
  rm -rf "$PGC_ROOT"
  PGC_ROOT=""
}
