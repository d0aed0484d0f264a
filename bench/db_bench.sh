#!/usr/bin/env bash
# Times the database extensions' C functions against the plain SQL that
# computes the same results, on generated data in a throwaway cluster:
#   pattern_from_strips over every pattern  vs  string_agg over unnest
#   pattern_prevalent_hosts over every pattern  vs  window sums, and the
#   packet functions it calls, alone: the bound on that ratio
# Usage: db_bench.sh [<libs build dir>]   (PGXS builds in FAST/, detect/,
# tolvar/, as the CMake build makes them; built afresh when left out)
# Environment: PATTERNS (10000), STRIPS (20), OFFSETS (16), HOSTS (20),
# RUNS (3, medians of that many runs of each query),
# FLOOD_FUNCTIONS (plpgsql): the language of the generated
# flood.pattern_*_real functions. With "sql" the scalar packet count is
# re-planned on every execution of the C function's saved plan (a SQL
# function in FROM is not inlined and caches its plan per executor only),
# which the one set-based SQL query pays once: the comparison then measures
# that cost rather than the C code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/libs/test/pg_cluster.sh"
patterns=${PATTERNS:-10000} strips=${STRIPS:-20} offsets=${OFFSETS:-16} hosts=${HOSTS:-20}
flood_functions=${FLOOD_FUNCTIONS:-plpgsql} runs=${RUNS:-3}
pg_config=$(command -v pg_config)

build=${1:-}
fresh_build=""
if [ -z "$build" ]; then
  fresh_build=$(mktemp -d /tmp/vardo-pg-build.XXXXXX)
  build=$fresh_build
  for lib in FAST detect tolvar; do
    mkdir -p "$build/$lib"
    make -s -f "$root/libs/$lib/Makefile" -C "$build/$lib" PG_CONFIG="$pg_config" >/dev/null
  done
fi
cleanup() { pgc_stop; [ -z "$fresh_build" ] || rm -rf "$fresh_build"; }
trap cleanup EXIT
trap 'exit 1' INT TERM

pgc_start "$pg_config" "$root/libs/FAST:$build/FAST" "$root/libs/detect:$build/detect" \
  "$root/libs/tolvar:$build/tolvar"

if [ "$flood_functions" = sql ]; then
  packets_body='SELECT sum(pkts)::bigint FROM flood.ip_packets WHERE pattern_id = $1 AND flood_id = $2'
  ip_packets_body='SELECT ip, pkts, side FROM flood.ip_packets WHERE pattern_id = $1 AND flood_id = $2'
else
  packets_body='BEGIN RETURN (SELECT sum(pkts)::bigint FROM flood.ip_packets
                              WHERE pattern_id = $1 AND flood_id = $2); END'
  ip_packets_body='BEGIN RETURN QUERY SELECT i.ip, i.pkts, i.side FROM flood.ip_packets i
                                      WHERE i.pattern_id = $1 AND i.flood_id = $2; END'
fi

echo "generating $patterns patterns of $strips strips of $offsets offsets," \
     "$hosts hosts each, $flood_functions packet functions"
pgc_psql <<SQL
CREATE SCHEMA fast; CREATE SCHEMA flood; CREATE SCHEMA tolvar;
CREATE TABLE fast.pat_strips (pattern_id integer, pat_strip_id integer);
CREATE TABLE fast.pat_contents (pat_strip_id integer, layer text, offsets smallint[], "values" bytea);
CREATE TABLE tolvar.percents (host_count integer, min_percent integer);
CREATE TABLE flood.ip_packets (pattern_id integer, flood_id integer, ip inet, pkts bigint, side "char");
CREATE FUNCTION flood.pattern_packets_real(integer, integer, integer) RETURNS bigint
LANGUAGE $flood_functions STABLE AS \$\$ $packets_body \$\$;
CREATE FUNCTION flood.pattern_ip_packets_real(integer, integer, integer)
RETURNS TABLE (ip inet, pkts bigint, side "char")
LANGUAGE $flood_functions STABLE AS \$\$ $ip_packets_body \$\$;
CREATE EXTENSION fast;
CREATE EXTENSION detect;

INSERT INTO fast.pat_strips
  SELECT p, (p - 1) * $strips + s FROM generate_series(1, $patterns) p, generate_series(1, $strips) s;
INSERT INTO fast.pat_contents
  SELECT id, (2 + id % 3)::text,
         ARRAY(SELECT ((id * 31 + k * 17) % 3000 - 1500)::smallint FROM generate_series(1, $offsets) k),
         (SELECT string_agg(decode(lpad(to_hex((id * 7 + k) % 256), 2, '0'), 'hex'), '')
            FROM generate_series(1, $offsets) k)
    FROM generate_series(1, $patterns * $strips) id;
INSERT INTO flood.ip_packets
  SELECT p, 1, ('10.' || p / 256 % 256 || '.' || p % 256 || '.' || k)::inet,
         (p * 7 + k * 13) % 100 + 1, CASE WHEN k % 4 = 0 THEN 'd' ELSE 's' END
    FROM generate_series(1, $patterns) p, generate_series(1, $hosts) k;
INSERT INTO tolvar.percents VALUES (5, 80), (3, 60), (1, 30);
CREATE INDEX ON fast.pat_strips (pattern_id);
CREATE INDEX ON fast.pat_contents (pat_strip_id);
CREATE INDEX ON flood.ip_packets (pattern_id, flood_id);
VACUUM ANALYZE;
SQL

c_text="SELECT count(t), sum(length(t))
          FROM (SELECT fast.pattern_from_strips(p) AS t FROM generate_series(1, $patterns) p) r"
sql_text="SELECT count(t), sum(length(t))
            FROM (SELECT string_agg(pc.layer || ':' || o.off || '='
                                    || lpad(to_hex(get_byte(pc.values, o.n::integer - 1)), 2, '0'),
                                    ' ' ORDER BY pc.layer, pc.pat_strip_id, o.n) AS t
                    FROM fast.pat_strips ps
                    JOIN fast.pat_contents pc USING (pat_strip_id)
                   CROSS JOIN LATERAL unnest(pc.offsets) WITH ORDINALITY AS o(off, n)
                   GROUP BY ps.pattern_id) r"
c_hosts="SELECT count(*), sum(h.pkts)
           FROM generate_series(1, $patterns) p,
                LATERAL flood.pattern_prevalent_hosts(p, 1, 0, 's', false) h"
# The first threshold row (largest host_count first) reached by the running
# sum at min(host_count, n) chooses that many hosts; none reached: all.
sql_hosts="WITH h AS (
             SELECT p, ip.pkts,
                    row_number() OVER w AS rank,
                    sum((ip.pkts * 100.0 / total)::float) OVER w AS running,
                    count(*) OVER (PARTITION BY p) AS n
               FROM generate_series(1, $patterns) p,
                    LATERAL flood.pattern_packets_real(p, 1, 0) AS total,
                    LATERAL flood.pattern_ip_packets_real(p, 1, 0) AS ip
              WHERE ip.side = 's' AND total IS NOT NULL
             WINDOW w AS (PARTITION BY p ORDER BY (ip.pkts * 100.0 / total)::float DESC, ip.ip
                          ROWS UNBOUNDED PRECEDING)),
           choice AS (
             SELECT DISTINCT ON (h.p) h.p, h.rank AS c
               FROM h JOIN tolvar.percents t ON h.rank = least(t.host_count, h.n)
              WHERE t.host_count > 0 AND t.min_percent <= h.running
              ORDER BY h.p, t.host_count DESC)
           SELECT count(*), sum(h.pkts) FROM h LEFT JOIN choice USING (p)
            WHERE h.rank <= coalesce(choice.c, h.n)"

# Prints "<result>#<milliseconds>" of the query's second run (the first
# warms the caches and the backend's saved plans).
timed() {
  pgc_psql -At -c '\timing on' -c "$1" -c "$1" |
    awk '/^Time:/ { ms = $2 } !/^Time:/ && !/^Timing/ { r = $0 } END { print r "#" ms }'
}

median() { sort -n | awk 'NF { v[++n] = $1 } END { print v[int((n + 1) / 2)] }'; }

# The C and SQL queries run in turn, RUNS times each, and the medians are
# compared: on a shared machine one run of each says more about the load.
compare() {   # <label> <C query> <SQL query>
  local c sql c_ms="" sql_ms="" i
  for ((i = 0; i < runs; i++)); do
    c=$(timed "$2")
    sql=$(timed "$3")
    [ "${c%#*}" = "${sql%#*}" ] || { echo "$1: results differ: C ${c%#*}, SQL ${sql%#*}"; exit 1; }
    c_ms+="${c#*#}"$'\n' sql_ms+="${sql#*#}"$'\n'
  done
  awk -v label="$1" -v c="$(median <<<"$c_ms")" -v s="$(median <<<"$sql_ms")" -v r="${c%#*}" 'BEGIN {
    printf "%-24s C %9.1f ms   SQL %9.1f ms   SQL/C %5.2f   (rows|sum %s)\n", label, c, s, s / c, r }'
}

# The two packet functions alone, called once per pattern as any
# implementation of pattern_prevalent_hosts must call them: their time is a
# floor under the C function's, so the SQL's time over it is the most SQL/C
# can reach, whatever the C code does.
calls_hosts="SELECT count(*), sum(ip.pkts)
               FROM generate_series(1, $patterns) p,
                    LATERAL flood.pattern_packets_real(p, 1, 0) AS total,
                    LATERAL flood.pattern_ip_packets_real(p, 1, 0) AS ip"
bound() {   # <label> <calls query> <SQL query>
  local calls_ms="" sql_ms="" i t
  for ((i = 0; i < runs; i++)); do
    t=$(timed "$2")
    calls_ms+="${t#*#}"$'\n'
    t=$(timed "$3")
    sql_ms+="${t#*#}"$'\n'
  done
  awk -v label="$1" -v f="$(median <<<"$calls_ms")" -v s="$(median <<<"$sql_ms")" 'BEGIN {
    printf "%-24s packet functions alone %9.1f ms   SQL %9.1f ms   SQL/C at most %5.2f\n",
           label, f, s, s / f }'
}

compare pattern_from_strips "$c_text" "$sql_text"
compare pattern_prevalent_hosts "$c_hosts" "$sql_hosts"
bound pattern_prevalent_hosts "$calls_hosts" "$sql_hosts"
