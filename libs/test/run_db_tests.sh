#!/usr/bin/env bash
# SQL tests of the database extensions against a throwaway cluster.
# Usage: run_db_tests.sh <pg_config> <libs source dir> <libs build dir>
# The build dir holds the PGXS builds in FAST/, detect/ and tolvar/.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pg_cluster.sh"
[ $# -eq 3 ] || { echo "usage: $0 <pg_config> <libs source dir> <libs build dir>" >&2; exit 2; }
pg_config=$1 src=$2 build=$3

trap pgc_stop EXIT
trap 'exit 1' INT TERM
pgc_start "$pg_config" "$src/FAST:$build/FAST" "$src/detect:$build/detect" \
  "$src/tolvar:$build/tolvar" || { echo "could not start the test cluster"; exit 1; }
pgc_psql -f "$here/schema.sql" >/dev/null || exit 1

scratch=$PGC_ROOT/scratch
commands=$PGC_ROOT/commands
mkdir -p "$commands"
pgc_psql -c "ALTER DATABASE postgres SET tolvar.commands_dir = '$commands'" || exit 1

# Generators: each named after its target type.
echo_script='print "ARGS=#{ARGV.join(" ")}\nIN=#{STDIN.read.inspect}\n\n"'
echo "$echo_script" >"$commands/x"
echo "$echo_script" >"$commands/y"
echo "$echo_script" >"$commands/f"
echo 'STDIN.read' >"$commands/silent"
echo 'STDIN.read; print "\n\n"' >"$commands/nl"
echo 'print "r" * 5000, "\n"' >"$commands/long"
echo 'print "h" * (2 * 1024 * 1024)' >"$commands/huge"
# Writes more than a pipe holds before it reads its (also large) input.
echo 'print "c" * 200_000; print " #{STDIN.read.size}"' >"$commands/chatty"
echo "File.write('$scratch/sleepy.pid', Process.pid.to_s); sleep 30; print 'late'" >"$commands/sleepy"
# Failed generators, each after half a rule.
echo 'print "pass in quick"; exit 1' >"$commands/half"
echo 'print "pass in quick"; STDOUT.flush; Process.kill("KILL", Process.pid)' >"$commands/killed"
# Done with its output, yet never exits.
echo "File.write('$scratch/stalled.pid', Process.pid.to_s); print 'rule'; STDOUT.close; sleep 30" \
  >"$commands/stalled"

passed=0 failed=0
result() {   # <name> <ok?> <details>
  if [ "$2" = yes ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n%s\n' "$1" "$3"
  fi
}

# expect <name> <sql> <expected output of the last statement>
expect() {
  local out
  out=$(pgc_psql -At -P null='<null>' -c "$2" 2>&1)
  [ "$out" = "$3" ] && result "$1" yes || result "$1" no "  expected: $3"$'\n'"  got:      $out"
}

# error_in <name> <output> <error text>
error_in() {
  [[ "$2" == *"ERROR:  $3"* ]] && result "$1" yes ||
    result "$1" no "  expected: ERROR:  $3"$'\n'"  got:      $2"
}

# expect_error <name> <sql> <error text>
expect_error() {
  error_in "$1" "$(pgc_psql -At -c "$2" 2>&1)" "$3"
}

# Statements that wait out a deadline run in the background beside the
# other cases; background_error judges one once it has ended.
background=()
start_background() {   # <key> <sql>
  pgc_psql -At -c "$2" >"$scratch/$1.out" 2>&1 &
  background+=($!)
}
background_error() {   # <key given to start_background> <name> <error text>
  error_in "$2" "$(cat "$scratch/$1.out")" "$3"
}

thresholds() {   # <(host_count, min_percent) rows>...
  local rows
  rows=$(IFS=,; echo "$*")
  echo "DELETE FROM tolvar.percents; INSERT INTO tolvar.percents VALUES $rows;"
}

# A cancelled generator, and one that never exits, are checked at the end.
start_background cancel "SET statement_timeout = '1s'; SELECT tolvar.get_rule_text('sleepy', NULL, 7)"
start_background bounded "SELECT tolvar.get_rule_text('stalled', NULL, 7)"

# --- fast.pattern_from_strips --------------------------------------------
expect "text format" "SELECT fast.pattern_from_strips(1)" "3:0=0a 3:-2=ff"
expect "layer 4 cut by the limit" "SELECT fast.pattern_from_strips(2, 1)" "4:0=0a"
expect "layer 4 without a limit" "SELECT fast.pattern_from_strips(2, NULL)" "4:0=0a 4:-2=ff"
expect "limit above the count" "SELECT fast.pattern_from_strips(2, 5)" "4:0=0a 4:-2=ff"
expect "limit 0 leaves the empty text" "SELECT fast.pattern_from_strips(2, 0) = ''" "t"
expect "layer 40 never cut" "SELECT fast.pattern_from_strips(3, 1)" "40:0=0a 40:-2=ff"
expect "layers in order, each layer-4 strip cut" "SELECT fast.pattern_from_strips(8, 1)" \
  "3:5=05 4:1=01 4:3=03"
expect "extreme offsets and bytes" "SELECT fast.pattern_from_strips(9)" \
  "3:-32768=00 3:32767=7f 3:0=80"
expect "no strips gives NULL" "SELECT fast.pattern_from_strips(4)" "<null>"
expect "long text complete" \
  "SELECT fast.pattern_from_strips(6) = (SELECT string_agg(format('3:%s=%s', i, lpad(to_hex(i % 256), 2, '0')), ' ' ORDER BY i) FROM generate_series(1, 200) i)
      AND length(fast.pattern_from_strips(6)) > 1024" "t"
expect_error "length mismatch" "SELECT fast.pattern_from_strips(5)" \
  "different lengths of: offsets: 2, values: 1"
expect_error "2-dimensional offsets" "SELECT fast.pattern_from_strips(10)" \
  "offsets is not a 1-dimention array"
expect_error "null pattern id" "SELECT fast.pattern_from_strips(NULL)" "pattern_id must not be NULL"
expect_error "negative limit" "SELECT fast.pattern_from_strips(1, -1)" "limit must be >= 0 (-1)"

# --- flood.pattern_prevalent_hosts -----------------------------------------
hosts() {   # <pattern> <flood> <side> <none_when_unmet>
  echo "SELECT coalesce(string_agg(host(ip) || '=' || pkts, ' '), '-')
          FROM flood.pattern_prevalent_hosts($1, $2, 0, '$3', $4)"
}
expect "first threshold chooses all" "$(thresholds '(3, 90)' '(1, 40)') $(hosts 10 1 s false)" \
  "10.0.0.1=50 10.0.0.2=30 10.0.0.3=20"
expect "second threshold chooses one, ties by ip" \
  "$(thresholds '(2, 70)' '(1, 25)') $(hosts 11 1 s false)" "10.0.0.1=30"
expect "unmet: every host" "$(thresholds '(2, 70)') $(hosts 11 1 s false)" \
  "10.0.0.1=30 10.0.0.2=30 10.0.0.3=10"
expect "unmet: no host" "$(thresholds '(2, 70)') $(hosts 11 1 s true)" "-"
expect "host_count above the host count sums all" "$(thresholds '(5, 70)') $(hosts 11 1 s true)" \
  "10.0.0.1=30 10.0.0.2=30 10.0.0.3=10"
expect "host_count above the host count, unmet" "$(thresholds '(5, 71)') $(hosts 11 1 s true)" "-"
expect "zero host_count skipped" "$(thresholds '(0, 0)' '(-1, 0)') $(hosts 10 1 s false)" \
  "10.0.0.1=50 10.0.0.2=30 10.0.0.3=20"
expect "other side" "$(thresholds '(1, 10)') $(hosts 11 1 d true)" "10.9.0.1=30"
expect "flood -1 as NULL" "$(thresholds '(1, 50)') $(hosts 12 -1 s true)" "10.0.0.5=60"
expect "flood NULL" "$(thresholds '(1, 50)') $(hosts 12 NULL s true)" "10.0.0.5=60"
expect "composite result" \
  "$(thresholds '(1, 50)') SELECT pg_typeof(ip) || ' ' || pg_typeof(pkts) FROM flood.pattern_prevalent_hosts(10, 1, 0, 's', true)" \
  "inet bigint"
expect "one query over several patterns and sides" \
  "$(thresholds '(1, 30)') SELECT string_agg(p || h.side || '=' || host(h.ip), ' ' ORDER BY p, h.side)
     FROM (VALUES (10), (11), (12)) v(p),
          LATERAL (SELECT s AS side, x.* FROM unnest('{d,s}'::\"char\"[]) s,
                   LATERAL flood.pattern_prevalent_hosts(p, 1, 0, s, true) x) h" \
  "10s=10.0.0.1 11d=10.9.0.1 11s=10.0.0.1"
expect "in the select list" \
  "$(thresholds '(3, 90)') SELECT string_agg(host((h).ip), ' ')
     FROM (SELECT flood.pattern_prevalent_hosts(10, 1, 0, 's', false) h) r" \
  "10.0.0.1 10.0.0.2 10.0.0.3"
expect "null side: no host" \
  "$(thresholds '(1, 10)') SELECT count(*) FROM flood.pattern_prevalent_hosts(10, 1, 0, NULL, false)" "0"
expect_error "empty thresholds" "DELETE FROM tolvar.percents; $(hosts 10 1 s false)" \
  "get_host_percents(): tolvar.percents contains 0 rows"
expect "empty thresholds unread without hosts" "DELETE FROM tolvar.percents; $(hosts 10 1 d false)" "-"
expect "thresholds cached for a minute" \
  "$(thresholds '(1, 40)') $(hosts 10 1 s false); DELETE FROM tolvar.percents; $(hosts 10 1 s false)" \
  "10.0.0.1=50"$'\n'"10.0.0.1=50"

# --- tolvar.get_rule_text --------------------------------------------------
rule() {   # <type> <flood> <pattern>
  echo "SELECT tolvar.get_rule_text($1, $2, $3)"
}
in7='IN="3:0=0a 3:-2=ff\n"'
expect "no flood: no hosts, no type settings" "$(rule "'y'" NULL 7)" \
  "ARGS=-e -n Velto-Filter-7"$'\n'"$in7"
expect "flood -1 as no flood" "$(rule "'y'" -1 7)" "ARGS=-e -n Velto-Filter-7"$'\n'"$in7"
expect "thresholds settle sources, empty destinations" \
  "$(thresholds '(2, 80)' '(1, 50)') $(rule "'x'" 3 7)" \
  "ARGS=-e -n Velto-Filter-7 -s 10.0.0.1,10.0.0.2"$'\n'"$in7"
expect "one source host" "$(thresholds '(1, 50)') $(rule "'x'" 3 7)" \
  "ARGS=-e -n Velto-Filter-7 -s 10.0.0.1"$'\n'"$in7"
expect "both sides" "$(thresholds '(3, 100)' '(2, 40)') $(rule "'x'" 3 7)" \
  "ARGS=-e -n Velto-Filter-7 -s 10.0.0.1,10.0.0.2,10.0.0.3 -d 10.1.0.1,10.1.0.2"$'\n'"$in7"
expect "no thresholds: no hosts" "DELETE FROM tolvar.percents; $(rule "'x'" 3 7)" \
  "ARGS=-e -n Velto-Filter-7"$'\n'"$in7"
expect "type without processing" "$(thresholds '(1, 50)') $(rule "'f'" 3 7)" \
  "ARGS=-e -n Velto-Filter-7"$'\n'"$in7"
expect "database generator without flood" "$(rule "'db'" NULL 7)" \
  "pattern=3:0=0a 3:-2=ff src={} dst={}"
expect "database generator with hosts" "$(thresholds '(2, 80)' '(1, 50)') $(rule "'db'" 3 7)" \
  "pattern=3:0=0a 3:-2=ff src={10.0.0.1,10.0.0.2} dst={}"
expect "database generator named with a hyphen" "$(rule "'a-b'" NULL 7)" "quoted 0"
expect "only line feeds give the empty text" "$(rule "'nl'" NULL 7) = ''" "t"
expect "output past 2048 bytes complete" "SELECT length(tolvar.get_rule_text('long', NULL, 7))" "5000"
expect "large input and output at once" "SELECT right(tolvar.get_rule_text('chatty', NULL, 6), 6)" \
  "c $(( $(pgc_psql -At -c "SELECT length(fast.pattern_from_strips(6))") + 1 ))"
expect_error "empty output" "$(rule "'silent'" NULL 7)" "output returned by silent is empty"
expect_error "missing script" "$(rule "'nosuch'" NULL 7)" "nosuch exited with status 1"
expect_error "half a rule and exit 1" "$(rule "'half'" NULL 7)" "half exited with status 1"
expect_error "half a rule and a kill" "$(rule "'killed'" NULL 7)" "killed was terminated by signal 9"
expect_error "output bound" "$(rule "'huge'" NULL 7)" "output returned by huge exceeds 1048576 bytes"
expect_error "type without settings" "$(rule "'nocfg'" 3 7)" "no configuration for type: nocfg"
expect_error "unknown side" "$(thresholds '(1, 50)') $(rule "'x'" 3 8)" "Unknown side: z"
expect_error "pattern without text" "$(rule "'x'" NULL 4)" "could not get pattern text: 4"
expect_error "null target" "$(rule NULL NULL 7)" "target_name must not be NULL"
expect_error "null pattern" "$(rule "'x'" NULL NULL)" "pattern_id must not be NULL"

# --- injection attempts ----------------------------------------------------
for target in "x; touch $scratch/pwned" "\$(touch $scratch/pwned)" "x\`touch $scratch/pwned\`" \
              "../x" "x y" "$(printf 'x%.0s' {1..57})"; do
  quoted=${target//\'/\'\'}
  expect_error "bad target: $target" "$(rule "'$quoted'" NULL 7)" "invalid target name: $target"
done
shell_layer="\$(touch $scratch/pwned);\`touch $scratch/pwned\`|touch $scratch/pwned"
pgc_psql -c "INSERT INTO fast.pat_strips VALUES (40, 40);
             INSERT INTO fast.pat_contents VALUES (40, '$shell_layer', '{1}', '\\x01')" || exit 1
expect "shell syntax in the pattern reaches the generator as text" "$(rule "'y'" NULL 40)" \
  "ARGS=-e -n Velto-Filter-40"$'\n'"IN=\"\$(touch $scratch/pwned);\`touch $scratch/pwned\`|touch $scratch/pwned:1=01\\n\""
[ ! -e "$scratch/pwned" ] && result "nothing ran" yes || result "nothing ran" no "  $scratch/pwned exists"

# --- the commands folder setting -------------------------------------------
expect "commands folder default" \
  "LOAD 'libtolvar'; SELECT boot_val FROM pg_settings WHERE name = 'tolvar.commands_dir'" \
  "/opt/velto/bin/tolvar/commands"
expect_error "commands folder for superusers only" \
  "LOAD 'libtolvar'; SET ROLE plain_user; SET tolvar.commands_dir = '/tmp'" \
  'permission denied to set parameter "tolvar.commands_dir"'

# --- the statements in the background ----------------------------------
wait "${background[@]}"
# A cancelled generator is killed and reaped, not left running.
background_error cancel "cancel stops the generator" "canceling statement due to statement timeout"
sleepy_pid=$(cat "$scratch/sleepy.pid" 2>/dev/null)
[ -n "$sleepy_pid" ] && ! kill -0 "$sleepy_pid" 2>/dev/null &&
  result "cancelled generator gone" yes ||
  result "cancelled generator gone" no "  generator pid '${sleepy_pid}' still there"

# The whole exchange is bounded: a generator that never exits is killed.
background_error bounded "generator bounded in time" "stalled did not finish within 10000 ms"
stalled_pid=$(cat "$scratch/stalled.pid" 2>/dev/null)
[ -n "$stalled_pid" ] && ! kill -0 "$stalled_pid" 2>/dev/null &&
  result "stalled generator gone" yes ||
  result "stalled generator gone" no "  generator pid '${stalled_pid}' still there"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
